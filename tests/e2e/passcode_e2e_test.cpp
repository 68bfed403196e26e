// The passcode dialog in the real module, shown by the gate and worked by a
// user through window messages; pre-authentication's automatic push around it.
#include "tests/e2e/e2e_fixture.h"

namespace e2e {
namespace {

constexpr int kLogon = 1, kNone = 2;

class PasscodeTest : public E2eTest {
protected:
    // alice must present a second factor; 123456 and push2 pass, push asks
    // twice, anything else is refused with the service's text.
    void SetUp() override {
        E2eTest::SetUp();
        Load(R"({"users":{"alice":{"result":"auth","factors":{"default":"push"}}},
                 "answers":{"123456":{"txid":"TX-PASS"},
                            "Push2":{"txid":"TX-P2"},
                            "push":{"txid":"TX-PUSH","statuses":[
                               {"delay_ms":50,"result":"","status":"Pushed a login request to your device..."},
                               {"delay_ms":50,"result":"allow","status":"Success. Logging you in..."}]}},
                 "unknown_answer":{"txid":"TX-NO","statuses":[{"result":"deny","status":"Incorrect passcode"}]}})");
    }
    int Logon(std::vector<std::vector<Action>> scripts) {
        winlogon.passcodeScripts = std::move(scripts);
        Module module(L"user=alice");
        return module.LoggedOutSAS();
    }
    Lines Targets() const {
        Lines targets;
        for (const RecordedRequest& r : Requests()) targets.push_back(r.target);
        return targets;
    }
    static bool Centred(const RECT& r) {
        const int w = r.right - r.left, h = r.bottom - r.top;
        return r.left == static_cast<int>((::GetSystemMetrics(SM_CXSCREEN) - w) * 0.5) &&
               r.top == static_cast<int>((::GetSystemMetrics(SM_CYSCREEN) - h) * 0.5);
    }
};

TEST_F(PasscodeTest, EmptyOkAsksForAPasscodeAndSendsNothing) {
    EXPECT_EQ(Logon({{{Action::ClickOk}, {Action::PressEnter}, {Action::PressEscape}}}), kNone);
    const std::vector<MessageBoxCall> boxes = winlogon.MessageBoxes();
    ASSERT_EQ(boxes.size(), 2u);
    const std::vector<PasscodeDialogSeen> dialogs = winlogon.PasscodeDialogs();
    ASSERT_EQ(dialogs.size(), 1u);
    for (const MessageBoxCall& box : boxes) {
        EXPECT_EQ(box.text, L"Please enter your Vyn passcode.");
        EXPECT_EQ(box.caption, L"Vyn Security");
        EXPECT_EQ(box.style, 0x10u);
        EXPECT_EQ(box.owner, dialogs[0].window);
    }
    EXPECT_EQ(dialogs[0].focusInFieldAfterAttempt, (std::vector<bool>{true, true}));
    EXPECT_FALSE(LoggedStartingWith("Vyn passcode: "));
    EXPECT_EQ(Targets(), (Lines{"/rest/v1/preauth.bson"}));
    EXPECT_TRUE(winlogon.status.texts.empty());
}

TEST_F(PasscodeTest, EnterActsAsOk) {
    EXPECT_EQ(Logon({{{Action::TypeChars, L"123456"}, {Action::PressEnter}}}), kLogon);
    EXPECT_TRUE(InOrder({"Vyn passcode: ******", "Auth: ******", "Vyn authentication completed successfully"}));
    EXPECT_EQ(Targets(), (Lines{"/rest/v1/preauth.bson", "/rest/v1/auth.bson", "/rest/v1/status.bson?txid=TX-PASS"}));
}

TEST_F(PasscodeTest, EveryWayOutButSuccessRefusesTheLogon) {
    const struct {
        const char* name;
        Action::Kind action;
    } ways[] = {{"Escape key", Action::PressEscape},
                {"IDCANCEL command", Action::CommandCancel},
                {"Cancel button", Action::ClickCancel},
                {"WM_CLOSE", Action::Close},
                {"close box", Action::SysClose}};
    for (const auto& way : ways) {
        SCOPED_TRACE(way.name);
        winlogon.Reset();
        log.Clear();
        EXPECT_EQ(Logon({{{Action::SetText, L"123456"}, {way.action}}}), kNone);
        EXPECT_TRUE(Logged("Vyn authentication failed or was cancelled; returning WLX_SAS_ACTION_NONE"));
        EXPECT_FALSE(LoggedStartingWith("Vyn passcode: "));
    }
    EXPECT_EQ(Targets(), (Lines(5, "/rest/v1/preauth.bson")));
}

// The gate refuses for both; the end value itself is what Winlogon's dialog
// service (the stand-in) sees returned.
TEST_F(PasscodeTest, DialogEndsWithTwoForCancelAndEightForTheCloseBox) {
    for (const auto& way : {std::make_pair(Action::PressEscape, 2), std::make_pair(Action::SysClose, 8),
                            std::make_pair(Action::Close, 8), std::make_pair(Action::CommandCancel, 2)}) {
        winlogon.Reset();
        Logon({{{way.first}}});
        ASSERT_EQ(winlogon.passcodeResults.size(), 1u);
        EXPECT_EQ(winlogon.passcodeResults[0], way.second);
    }
}

TEST_F(PasscodeTest, RefusalIsShownAndTheDialogStaysOpenWithTheTextForASecondTry) {
    EXPECT_EQ(Logon({{{Action::SetText, L"000000"},
                      {Action::ClickOk},
                      {Action::SetText, L"123456"},
                      {Action::ClickOk}}}),
              kLogon);
    const std::vector<MessageBoxCall> boxes = winlogon.MessageBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, L"Incorrect passcode");
    EXPECT_EQ(boxes[0].caption, L"Vyn Security");
    EXPECT_EQ(boxes[0].style, 0x10u);
    const std::vector<PasscodeDialogSeen> dialogs = winlogon.PasscodeDialogs();
    ASSERT_EQ(dialogs.size(), 1u);
    EXPECT_EQ(boxes[0].owner, dialogs[0].window);
    EXPECT_EQ(dialogs[0].fieldAfterAttempt, (std::vector<std::wstring>{L"000000"}));
    EXPECT_EQ(dialogs[0].focusInFieldAfterAttempt, (std::vector<bool>{true}));
    EXPECT_TRUE(InOrder({"Vyn passcode: ******", "Error in Vyn login for 'alice': Incorrect passcode",
                         "Caught exception from AuthorizeVynUser: Incorrect passcode", "Vyn passcode: ******",
                         "Successful Vyn login for 'alice'", "Vyn authentication completed successfully"}));
    const std::vector<RecordedRequest> requests = Requests();
    ASSERT_EQ(requests.size(), 5u);
    EXPECT_EQ(requests[1].body, "async=1&auto=000000&factor=auto&user=alice");
    EXPECT_EQ(requests[3].body, "async=1&auto=123456&factor=auto&user=alice");
}

// A Cancel while the service holds the poll: the worker cannot notice it
// within the dialog's wait, so the logon is aborted, silently.
TEST_F(PasscodeTest, CancelledStatusDialogLeavesThePasscodeDialogOpenSilently) {
    Load(R"({"users":{"alice":{"result":"auth"}},
             "answers":{"push":{"statuses":[{"result":"","status":"Waiting"},{"hold":true,"hold_ms":5000}]}}})");
    winlogon.statusScript.cancelAfterMs = 2000;
    EXPECT_EQ(Logon({{{Action::SetText, L"push"}, {Action::ClickOk}, {Action::PressEscape}}}), kNone);
    refservice::Release(ikey);
    EXPECT_TRUE(winlogon.MessageBoxes().empty());
    const std::vector<PasscodeDialogSeen> dialogs = winlogon.PasscodeDialogs();
    ASSERT_EQ(dialogs.size(), 1u);
    EXPECT_EQ(dialogs[0].fieldAfterAttempt, (std::vector<std::wstring>{L"push"}));
    EXPECT_EQ(dialogs[0].focusInFieldAfterAttempt, (std::vector<bool>{true}));
    EXPECT_EQ(winlogon.status.cancelsPressed, 1);
}

// A Cancel during quick polls is noticed by the worker within the dialog's
// wait: the user reads the cancel in a message box over the passcode dialog,
// and the event log records it as a failed logon.
TEST_F(PasscodeTest, CancelNoticedDuringAQuickPollShowsTheUsersCancel) {
    Load(R"({"users":{"alice":{"result":"auth"}},
             "answers":{"push":{"statuses":[{"delay_ms":200,"result":"","status":"Waiting"}]}}})");
    winlogon.statusScript.cancelOnText = L"Waiting";
    EXPECT_EQ(Logon({{{Action::SetText, L"push"}, {Action::ClickOk}, {Action::PressEscape}}}), kNone);
    EXPECT_EQ(winlogon.status.cancelsPressed, 1);
    EXPECT_LT(winlogon.status.closedAt - winlogon.status.cancelPressedAt, 1000u);
    const std::vector<MessageBoxCall> boxes = winlogon.MessageBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, L"User cancelled authentication");
    EXPECT_EQ(boxes[0].caption, L"Vyn Security");
    EXPECT_EQ(boxes[0].style, 0x10u);
    const std::vector<PasscodeDialogSeen> dialogs = winlogon.PasscodeDialogs();
    ASSERT_EQ(dialogs.size(), 1u);
    EXPECT_EQ(boxes[0].owner, dialogs[0].window);
    EXPECT_TRUE(InOrder({"User cancelled authentication",
                         "Error in Vyn login for 'alice': User cancelled authentication",
                         "Caught exception from AuthorizeVynUser: User cancelled authentication"}));
    EXPECT_EQ(Events(), (std::vector<Event>{{EVENTLOG_ERROR_TYPE, 0xC0020000,
                                             {L"Error in Vyn login for 'alice': User cancelled authentication"}}}));
}

TEST_F(PasscodeTest, PasscodesAreMaskedInTheLogAndFactorWordsAreNot) {
    EXPECT_EQ(Logon({{{Action::SetText, L"98765"},
                      {Action::ClickOk},
                      {Action::SetText, L"p\u00e4ss"},
                      {Action::ClickOk},
                      {Action::SetText, L"Push2"},
                      {Action::ClickOk}}}),
              kLogon);
    // One asterisk per character typed, whatever its UTF-8 length.
    EXPECT_TRUE(InOrder({"Vyn passcode: *****", "Auth: *****", "Vyn passcode: ****", "Auth: ****",
                         "Vyn passcode: Push2", "Auth: Push2"}));
    for (const std::string& line : LogLines()) {
        EXPECT_EQ(line.find("98765"), std::string::npos) << line;
        EXPECT_EQ(line.find("p\xC3\xA4ss"), std::string::npos) << line;
    }
    // The service received the answers exactly as typed, in UTF-8.
    Lines auths;
    for (const RecordedRequest& r : Requests())
        if (r.target == "/rest/v1/auth.bson") auths.push_back(r.body);
    EXPECT_EQ(auths, (Lines{"async=1&auto=98765&factor=auto&user=alice", "async=1&auto=p%C3%A4ss&factor=auto&user=alice",
                            "async=1&auto=Push2&factor=auto&user=alice"}));
}

TEST_F(PasscodeTest, DialogSitsCentredAThirdOfTheWayDown) {
    Logon({{{Action::PressEscape}}});
    const std::vector<PasscodeDialogSeen> dialogs = winlogon.PasscodeDialogs();
    ASSERT_EQ(dialogs.size(), 1u);
    const RECT r = dialogs[0].rect;
    const int w = r.right - r.left, h = r.bottom - r.top;
    EXPECT_GT(w, 0);
    EXPECT_TRUE(dialogs[0].focusInFieldAtStart);
    EXPECT_EQ(r.left, static_cast<int>((::GetSystemMetrics(SM_CXSCREEN) - w) * 0.5));
    EXPECT_EQ(r.top, static_cast<int>((::GetSystemMetrics(SM_CYSCREEN) - h) * 0.33));
}

// --- Automatic authentication of the default factor ---------------------------

TEST_F(PasscodeTest, AutoPushThatSucceedsNeedsNoPasscodeDialog) {
    settings.autoPush = 1;
    Rewrite();
    EXPECT_EQ(Logon({}), kLogon);
    EXPECT_EQ(winlogon.templatesShown, (std::vector<int>{kStatusDialogTemplate}));
    EXPECT_EQ(winlogon.status.texts, (std::vector<std::wstring>{L"Pushed a login request to your device..."}));
    ASSERT_EQ(winlogon.statusRects.size(), 1u);
    EXPECT_TRUE(Centred(winlogon.statusRects[0]));
    EXPECT_TRUE(InOrder({"Result: auth", "Entered CVynAuthSession::AuthorizeVynUser", "Auth: push",
                         "Successful Vyn login for 'alice'", "Caught exception from PreAuthorizeVynUser: "}));
    EXPECT_FALSE(Logged("Attempting secondary authentication"));
    const std::vector<RecordedRequest> requests = Requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[1].body, "async=1&auto=push&factor=auto&user=alice");
}

TEST_F(PasscodeTest, AutoPushRefusedFallsBackToThePasscodeDialogWhoseStatusDialogIsNotCentred) {
    Load(R"({"users":{"alice":{"result":"auth","factors":{"default":"phone"}}},
             "answers":{"phone":{"statuses":[{"result":"deny","status":"Login request denied."}]},
                        "123456":{}}})");
    settings.autoPush = 1;
    Rewrite();
    EXPECT_EQ(Logon({{{Action::SetText, L"123456"}, {Action::ClickOk}}}), kLogon);
    EXPECT_EQ(winlogon.templatesShown,
              (std::vector<int>{kStatusDialogTemplate, kPasscodeTemplate, kStatusDialogTemplate}));
    EXPECT_TRUE(InOrder({"Auth: phone", "Error in Vyn login for 'alice': Login request denied.",
                         "Attempting secondary authentication", "Vyn passcode: ******",
                         "Vyn authentication completed successfully"}));
    // The refusal of the automatic attempt is not shown: the dialog follows.
    EXPECT_TRUE(winlogon.MessageBoxes().empty());
    ASSERT_EQ(winlogon.statusRects.size(), 2u);
    EXPECT_TRUE(Centred(winlogon.statusRects[0]));
    EXPECT_FALSE(Centred(winlogon.statusRects[1]));
    EXPECT_EQ(Events(), (std::vector<Event>{
                            {EVENTLOG_ERROR_TYPE, 0xC0020000, {L"Error in Vyn login for 'alice': Login request denied."}},
                            {EVENTLOG_INFORMATION_TYPE, 0xC0020000, {L"Successful Vyn login for 'alice'"}}}));
}

TEST_F(PasscodeTest, AutoPushCancelledFallsBackToThePasscodeDialog) {
    settings.autoPush = 1;
    Rewrite();
    Load(R"({"users":{"alice":{"result":"auth","factors":{"default":"push"}}},
             "answers":{"push":{"statuses":[{"result":"","status":"Pushed"},{"hold":true,"hold_ms":5000}]},
                        "Push2":{}}})");
    winlogon.statusScript.cancelOnText = L"Pushed";
    EXPECT_EQ(Logon({{{Action::SetText, L"Push2"}, {Action::ClickOk}}}), kLogon);
    refservice::Release(ikey);
    EXPECT_EQ(winlogon.status.cancelsPressed, 1);
    EXPECT_EQ(winlogon.templatesShown,
              (std::vector<int>{kStatusDialogTemplate, kPasscodeTemplate, kStatusDialogTemplate}));
    ASSERT_EQ(winlogon.statusRects.size(), 2u);
    EXPECT_TRUE(Centred(winlogon.statusRects[0]));
    EXPECT_FALSE(Centred(winlogon.statusRects[1]));
    EXPECT_TRUE(InOrder({"Auth: push", "Attempting secondary authentication", "Vyn passcode: Push2", "Auth: Push2",
                         "Vyn authentication completed successfully"}));
}

TEST_F(PasscodeTest, AutoPushNeedsTheSwitchAndADefaultFactor) {
    const struct {
        const char* name;
        int autoPush;
        const char* user;
    } cases[] = {
        {"switch off", 0, R"({"result":"auth","factors":{"default":"push"}})"},
        {"no factors", 1, R"({"result":"auth"})"},
        {"factors not a document", 1, R"({"result":"auth","factors":"push"})"},
        {"default not a string", 1, R"({"result":"auth","factors":{"default":{"$int32":1}}})"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        winlogon.Reset();
        settings.autoPush = c.autoPush;
        Rewrite();
        Load(std::string(R"({"users":{"alice":)") + c.user + "}}");
        EXPECT_EQ(Logon({{{Action::PressEscape}}}), kNone);
        EXPECT_EQ(winlogon.templatesShown, (std::vector<int>{kPasscodeTemplate}));
        EXPECT_EQ(Targets(), (Lines{"/rest/v1/preauth.bson"}));
    }
}

}  // namespace
}  // namespace e2e

// The second-factor gate and pre-authentication through the real module: what
// Winlogon is told for each outcome, on the logon path and the unlock path.
#include "tests/config/registry_helpers.h"
#include "tests/e2e/e2e_fixture.h"

namespace e2e {
namespace {

constexpr int kLogon = 1, kNone = 2, kUnlock = 8;
constexpr DWORD kEventId = 0xC0020000;

Event Information(const std::wstring& text) { return Event{EVENTLOG_INFORMATION_TYPE, kEventId, {text}}; }
Event Error(const std::wstring& text) { return Event{EVENTLOG_ERROR_TYPE, kEventId, {text}}; }
const std::wstring kUnexpectedText =
    L"There was an unexpected error while performing authentication.  Please contact your system administrator.";
const std::wstring kUnexpectedResponseText =
    L"The Vyn authentication server returned an unexpected response.  Please contact your system administrator.";
const std::wstring kCommunicationText =
    L"There was an error communicating with the Vyn authentication server.  Please try again.";
const std::wstring kNotEnrolledText =
    L"The username you have entered is not enrolled with Vyn Security. Please contact your system administrator.";
const std::wstring kDisabledText = L"This account has been disabled. Please contact your system administrator.";

// Both paths run the same gate; only msgina's passing code and the code
// Winlogon receives on success differ.
enum class Path { Logon, Unlock };

class GatePathTest : public E2eTest, public testing::WithParamInterface<Path> {
protected:
    bool Unlock() const { return GetParam() == Path::Unlock; }
    int Passing() const { return Unlock() ? kUnlock : kLogon; }
    // Logs on (the gate passing it, as set up) so an unlock has a user, then
    // runs the path under test with a clean record.
    int Run(Module& module) {
        if (!Unlock()) return module.LoggedOutSAS();
        const std::string scenario = current_;
        Load(R"({"users":{"alice":{"result":"allow"}}})");
        EXPECT_EQ(module.LoggedOutSAS(), kLogon);
        Load(scenario);
        const auto scripts = winlogon.passcodeScripts;
        winlogon.Reset();
        winlogon.passcodeScripts = scripts;
        log.Clear();
        ClearEvents();
        return module.WkstaLockedSAS();
    }
    void Scenario(const std::string& scenario) {
        current_ = scenario;
        Load(scenario);
    }
    std::string current_ = "{}";
};

INSTANTIATE_TEST_SUITE_P(Paths, GatePathTest, testing::Values(Path::Logon, Path::Unlock),
                         [](const testing::TestParamInfo<Path>& info) {
                             return info.param == Path::Logon ? std::string("Logon") : std::string("Unlock");
                         });

TEST_P(GatePathTest, MsginaAnswersOtherThanPassingGoBackUnchanged) {
    for (int code : {kNone, 3 /* logoff */, 5 /* shutdown */}) {
        SCOPED_TRACE(code);
        const std::wstring setting =
            std::wstring(Unlock() ? L"WlxWkstaLockedSAS=" : L"WlxLoggedOutSAS=") + std::to_wstring(code);
        Module module(L"user=alice;" + setting);
        log.Clear();
        const int result = Unlock() ? module.WkstaLockedSAS() : module.LoggedOutSAS();
        EXPECT_EQ(result, code);
        EXPECT_EQ(Among({"msgina.WlxLoggedOutSAS returned failure", "msgina.WlxWkstaLockedSAS returned non-unlock status",
                         "Performing secondary pre-authentication", "Logged on user: alice"}),
                  (Lines{Unlock() ? "msgina.WlxWkstaLockedSAS returned non-unlock status"
                                  : "msgina.WlxLoggedOutSAS returned failure"}));
    }
    EXPECT_TRUE(Requests().empty());
    EXPECT_TRUE(winlogon.MessageBoxes().empty());
}

TEST_P(GatePathTest, MissingOrIncompleteConfigurationLetsTheUserThroughAndIsRetriedEveryTime) {
    Module module(L"user=alice");
    ClearSettings();
    // Host and keys absent, then the secret key alone missing.
    EXPECT_EQ(Unlock() ? module.WkstaLockedSAS() : module.LoggedOutSAS(), Passing());
    WriteSettings(Settings{settings.host, settings.ikey, ""});
    EXPECT_EQ(Unlock() ? module.WkstaLockedSAS() : module.LoggedOutSAS(), Passing());
    EXPECT_EQ(Count("ERROR: VynAuth not configured"), 2u);
    EXPECT_EQ(Count("Unable to load configuration; bypassing"), 2u);
    EXPECT_EQ(Count("Performing secondary pre-authentication"), 0u);
    EXPECT_EQ(Events(), (std::vector<Event>{Error(L"VynAuth not configured"), Error(L"VynAuth not configured")}));
    EXPECT_TRUE(InOrder({"ERROR: VynAuth not configured", "VynAuth not configured",
                         "Unable to load configuration; bypassing"}));

    // Once complete, the next run reads it and challenges.
    Rewrite();
    Load(R"({"users":{"alice":{"result":"deny"}}})");
    EXPECT_EQ(Unlock() ? module.WkstaLockedSAS() : module.LoggedOutSAS(), kNone);
    EXPECT_EQ(Count("Performing secondary pre-authentication"), 1u);
    EXPECT_TRUE(winlogon.driverErrors.empty());
}

TEST_P(GatePathTest, ConsoleSessionWithRdpOnlyIsNotChallenged) {
    Module module(L"user=alice");
    settings.rdpOnly = 1;
    Rewrite();
    Scenario(R"({"users":{"alice":{"result":"deny"}}})");
    // The unlock's preceding logon is bypassed as well.
    EXPECT_EQ(Unlock() ? (module.LoggedOutSAS(), module.WkstaLockedSAS()) : module.LoggedOutSAS(), Passing());
    EXPECT_EQ(Count("Not configured to challenge in a non-RDP context; bypassing"), Unlock() ? 2u : 1u);
    EXPECT_TRUE(Requests().empty());

    // Any other value, or another type, does not switch it on.
    settings.rdpOnly = 2;
    Rewrite();
    EXPECT_EQ(Unlock() ? module.WkstaLockedSAS() : module.LoggedOutSAS(), kNone);
    EXPECT_EQ(Wire(), (Lines{"POST /rest/v1/preauth.bson user=alice"}));
}

TEST_P(GatePathTest, AllowLetsTheUserThroughWithAnInformationEvent) {
    Module module(L"user=alice");
    Scenario(R"({"users":{"alice":{"result":"allow","status":"Bypass user"}}})");
    EXPECT_EQ(Run(module), Passing());
    EXPECT_TRUE(InOrder({"Performing secondary pre-authentication", "Entered CVynAuthSession::PreAuthorizeVynUser",
                         "User: alice", "Result: allow", "Status: Bypass user", "Skipped Vyn login for 'alice'",
                         "Caught exception from PreAuthorizeVynUser: "}));
    EXPECT_FALSE(Logged("Attempting secondary authentication"));
    EXPECT_EQ(Wire(), (Lines{"POST /rest/v1/preauth.bson user=alice"}));
    EXPECT_TRUE(winlogon.templatesShown.empty());
    EXPECT_TRUE(winlogon.MessageBoxes().empty());
    EXPECT_EQ(Events(), (std::vector<Event>{Information(L"Skipped Vyn login for 'alice'")}));
}

struct Refusal {
    const char* name;
    const char* payload;
    std::wstring text;
    const char* extraLine;  // a line the decision writes, or null
};

TEST_P(GatePathTest, RefusalsShowTheirTextInAnErrorBoxWithoutOwnerAndKeepTheUserOut) {
    const Refusal refusals[] = {
        {"deny with status", R"({"result":"deny","status":"Locked by policy"})", L"Locked by policy", nullptr},
        {"deny", R"({"result":"deny"})", kDisabledText, nullptr},
        {"enroll with status", R"({"result":"enroll","status":"Enroll at the portal"})", kNotEnrolledText, nullptr},
        {"unknown with status", R"({"result":"Allow","status":"Ask the help desk"})", L"Ask the help desk", nullptr},
        {"unknown", R"({"result":"Allow"})", kUnexpectedResponseText, "ERROR: result not understood"},
        {"result as int32", R"({"result":{"$int32":1}})", kUnexpectedResponseText, "ERROR: No result element found"},
        {"no result", R"({"status":"Hello"})", kUnexpectedResponseText, "ERROR: No result element found"},
    };
    Module module(L"user=alice");
    for (const Refusal& r : refusals) {
        SCOPED_TRACE(r.name);
        Scenario(std::string(R"({"users":{"alice":)") + r.payload + "}}");
        winlogon.Reset();
        log.Clear();
        EXPECT_EQ(Run(module), kNone);
        const std::vector<MessageBoxCall> boxes = winlogon.MessageBoxes();
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].text, r.text);
        EXPECT_EQ(boxes[0].caption, L"Vyn Security");
        EXPECT_EQ(boxes[0].style, 0x10u);
        EXPECT_EQ(boxes[0].owner, nullptr);
        if (r.extraLine) {
            EXPECT_TRUE(Logged(r.extraLine));
        }
        EXPECT_TRUE(InOrder({"Performing secondary pre-authentication",
                             "Caught exception from PreAuthorizeVynUser: " + Utf8(r.text)}));
        EXPECT_FALSE(Logged("Attempting secondary authentication"));
        EXPECT_TRUE(winlogon.templatesShown.empty());
        EXPECT_TRUE(Events().empty());
    }
}

TEST_P(GatePathTest, AuthDecisionShowsThePasscodeDialogAndItsSuccessPasses) {
    Module module(L"user=alice");
    Scenario(R"({"users":{"alice":{"result":"auth","status":"Account active"}},
                 "answers":{"123456":{"txid":"TX-1"}}})");
    winlogon.passcodeScripts = {{{Action::SetText, L"123456"}, {Action::ClickOk}}};
    EXPECT_EQ(Run(module), Passing());
    EXPECT_TRUE(InOrder({"Performing secondary pre-authentication", "Result: auth", "Status: Account active",
                         "Attempting secondary authentication", "Vyn passcode: ******",
                         "Entered CVynAuthSession::AuthorizeVynUser", "User: alice", "Auth: ******",
                         "Successful Vyn login for 'alice'", "Vyn authentication completed successfully"}));
    EXPECT_EQ(Wire(), (Lines{"POST /rest/v1/preauth.bson user=alice",
                             "POST /rest/v1/auth.bson async=1&auto=123456&factor=auto&user=alice",
                             "GET /rest/v1/status.bson?txid=TX-1 txid=TX-1"}));
    EXPECT_EQ(winlogon.templatesShown, (std::vector<int>{kPasscodeTemplate, kStatusDialogTemplate}));
    EXPECT_TRUE(winlogon.MessageBoxes().empty());
    EXPECT_EQ(Events(), (std::vector<Event>{Information(L"Successful Vyn login for 'alice'")}));
}

TEST_P(GatePathTest, DialogEndingOtherwiseKeepsTheUserOut) {
    Module module(L"user=alice");
    Scenario(R"({"users":{"alice":{"result":"auth"}}})");
    winlogon.passcodeScripts = {{{Action::ClickCancel}}};
    EXPECT_EQ(Run(module), kNone);
    EXPECT_TRUE(InOrder({"Attempting secondary authentication",
                         "Vyn authentication failed or was cancelled; returning WLX_SAS_ACTION_NONE"}));
    EXPECT_EQ(Wire(), (Lines{"POST /rest/v1/preauth.bson user=alice"}));
}

TEST_P(GatePathTest, PasscodeDialogThatCannotBeCreatedKeepsTheUserOut) {
    Module module(L"user=alice");
    Scenario(R"({"users":{"alice":{"result":"auth"}}})");
    winlogon.failTemplate = kPasscodeTemplate;
    if (Unlock()) {
        Load(R"({"users":{"alice":{"result":"allow"}}})");
        ASSERT_EQ(module.LoggedOutSAS(), kLogon);
        Load(current_);
    }
    EXPECT_EQ(Unlock() ? module.WkstaLockedSAS() : module.LoggedOutSAS(), kNone);
    EXPECT_TRUE(InOrder({"Attempting secondary authentication",
                         "Vyn authentication failed or was cancelled; returning WLX_SAS_ACTION_NONE"}));
    EXPECT_TRUE(winlogon.MessageBoxes().empty());
}

TEST_P(GatePathTest, ServiceDownFailsOpenOrClosedAsConfigured) {
    settings.host = "localhost:" + std::to_string(refservice::ClosedPort());
    settings.failOpen = 1;
    Rewrite();
    {
        Module module(L"user=alice");
        EXPECT_EQ(Unlock() ? (module.LoggedOutSAS(), module.WkstaLockedSAS()) : module.LoggedOutSAS(), Passing());
        EXPECT_TRUE(InOrder({"Performing secondary pre-authentication",
                             "Timeout or network error on all attempts to connect to Vyn; failing open",
                             "Failsafe Vyn login: timeout or other network error",
                             "Caught exception from PreAuthorizeVynUser: "}));
        EXPECT_EQ(Count("Failsafe Vyn login: timeout or other network error"), Unlock() ? 2u : 1u);
        EXPECT_TRUE(winlogon.MessageBoxes().empty());
        EXPECT_TRUE(winlogon.templatesShown.empty());
        EXPECT_EQ(Events().back(), Error(L"Failsafe Vyn login: timeout or other network error"));
    }

    // Fail-closed: the module is loaded afresh to read the changed setting
    // (a complete configuration is read once per process). An unlock with no
    // logon before it is challenged all the same.
    settings.failOpen = 0;
    Rewrite();
    Module module(L"user=alice");
    log.Clear();
    EXPECT_EQ(Unlock() ? module.WkstaLockedSAS() : module.LoggedOutSAS(), kNone);
    EXPECT_FALSE(Logged("Failsafe Vyn login: timeout or other network error"));
    const std::vector<MessageBoxCall> boxes = winlogon.MessageBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text.substr(0, kCommunicationText.size()), kCommunicationText);
    EXPECT_EQ(boxes[0].caption, L"Vyn Security");
    EXPECT_EQ(boxes[0].style, 0x10u);
    EXPECT_EQ(boxes[0].owner, nullptr);
    EXPECT_TRUE(Logged("Caught exception from PreAuthorizeVynUser: " + Utf8(boxes[0].text)));
}

TEST_P(GatePathTest, ForeignExceptionFromTheDialogStepIsRefusedWithoutCrashing) {
    Module module(L"user=alice");
    Scenario(R"({"users":{"alice":{"result":"auth"}}})");
    if (Unlock()) {
        Load(R"({"users":{"alice":{"result":"allow"}}})");
        ASSERT_EQ(module.LoggedOutSAS(), kLogon);
        Load(current_);
        log.Clear();
    }
    winlogon.throwOnTemplate = kPasscodeTemplate;
    EXPECT_EQ(Unlock() ? module.WkstaLockedSAS() : module.LoggedOutSAS(), kNone);
    EXPECT_TRUE(InOrder({"Attempting secondary authentication",
                         "ERROR: Unexpected exception from the passcode dialog; refusing"}));
    const std::vector<MessageBoxCall> boxes = winlogon.MessageBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, kUnexpectedText);
    EXPECT_EQ(boxes[0].owner, nullptr);
    EXPECT_EQ(boxes[0].style, 0x10u);
}

TEST_P(GatePathTest, ForeignExceptionDuringAuthenticationEndsTheDialogAndRefuses) {
    Module module(L"user=alice");
    Scenario(R"({"users":{"alice":{"result":"auth"}}})");
    winlogon.passcodeScripts = {{{Action::SetText, L"push"}, {Action::ClickOk}}};
    if (Unlock()) {
        Load(R"({"users":{"alice":{"result":"allow"}}})");
        ASSERT_EQ(module.LoggedOutSAS(), kLogon);
        Load(current_);
        log.Clear();
    }
    winlogon.throwOnTemplate = kStatusDialogTemplate;
    EXPECT_EQ(Unlock() ? module.WkstaLockedSAS() : module.LoggedOutSAS(), kNone);
    EXPECT_TRUE(InOrder({"Vyn passcode: push", "ERROR: Unexpected exception during authentication",
                         "ERROR: Unexpected exception from AuthorizeVynUser; refusing"}));
    EXPECT_FALSE(Logged("Vyn authentication completed successfully"));
    const std::vector<MessageBoxCall> boxes = winlogon.MessageBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, kUnexpectedText);
    EXPECT_EQ(boxes[0].owner, nullptr);
}

// --- Unlock only -----------------------------------------------------------

using UnlockTest = E2eTest;

TEST_F(UnlockTest, LogonOnlySkipsTheChallengeWithoutReadingSettingsOrTheService) {
    Module module(L"user=alice");
    settings.logonOnly = 1;
    Rewrite();
    Load(R"({"users":{"alice":{"result":"deny"}}})");
    EXPECT_EQ(module.WkstaLockedSAS(), kUnlock);
    EXPECT_TRUE(InOrder({"Entered WlxWkstaLockedSAS", "Not configured to challenge when unlocking; bypassing"}));
    EXPECT_FALSE(LoggedStartingWith("Host: "));
    EXPECT_FALSE(Logged("Performing secondary pre-authentication"));
    EXPECT_TRUE(Requests().empty());

    // Read afresh at every unlock: 0, or a value of another type, challenges.
    SetDwordSetting("LogonOnly", 0);
    EXPECT_EQ(module.WkstaLockedSAS(), kNone);
    EXPECT_EQ(Count("Performing secondary pre-authentication"), 1u);
    testreg::SetString(testreg::kNormalKey, "LogonOnly", "1");
    EXPECT_EQ(module.WkstaLockedSAS(), kNone);
    EXPECT_EQ(Count("Performing secondary pre-authentication"), 2u);
}

TEST_F(UnlockTest, TheChallengeIsForTheUserOfTheLastLogon) {
    Module module(L"user=alice;domain=CORP");
    Load(R"({"users":{"corp\\alice":{"result":"allow"}}})");
    ASSERT_EQ(module.LoggedOutSAS(), kLogon);
    // The unlock dialog's account does not matter to the challenge.
    ASSERT_TRUE(module.loaded.Configure(L"user=mallory;domain="));
    EXPECT_EQ(module.WkstaLockedSAS(), kUnlock);
    EXPECT_EQ(Wire(), (Lines{"POST /rest/v1/preauth.bson user=corp%5Calice",
                             "POST /rest/v1/preauth.bson user=corp%5Calice"}));
    EXPECT_EQ(Count("User: CORP\\alice"), 2u);
}

// --- Logon names -------------------------------------------------------------

using LogonNameTest = E2eTest;

TEST_F(LogonNameTest, SecondLogonWarnsAndReplacesTheName) {
    Module module(L"user=alice");
    Load(R"({"users":{"alice":{"result":"allow"},"corp\\bob":{"result":"allow"}}})");
    ASSERT_EQ(module.LoggedOutSAS(), kLogon);
    EXPECT_FALSE(Logged("WARNING: gCurrentUsername not empty"));
    ASSERT_TRUE(module.loaded.Configure(L"user=Bob;domain=CORP"));
    EXPECT_EQ(module.LoggedOutSAS(), kLogon);
    EXPECT_TRUE(InOrder({"Logged on user: alice", "Skipped Vyn login for 'alice'",
                         "msgina.WlxLoggedOutSAS returned WLX_SAS_ACTION_LOGON", "WARNING: gCurrentUsername not empty",
                         "Logged on user: CORP\\Bob", "User: CORP\\Bob", "Skipped Vyn login for 'CORP\\Bob'"}));
    EXPECT_EQ(Wire(),
              (Lines{"POST /rest/v1/preauth.bson user=alice", "POST /rest/v1/preauth.bson user=corp%5Cbob"}));

    // A failed logon leaves the name as it was.
    ASSERT_TRUE(module.loaded.Configure(L"WlxLoggedOutSAS=2;user=carol"));
    EXPECT_EQ(module.LoggedOutSAS(), kNone);
    ASSERT_TRUE(module.loaded.Configure(L"user=carol"));
    EXPECT_EQ(module.WkstaLockedSAS(), kUnlock);
    EXPECT_EQ(Count("User: CORP\\Bob"), 2u);
}

TEST_F(LogonNameTest, NonAsciiNamesAreUtf8InTheLogAndNormalisedOnTheWire) {
    // "MÜNCHEN\Jürgen": only ASCII capitals are lowered for the service.
    const std::string domain = "M\xC3\x9C" "NCHEN", user = "J\xC3\xBCrgen";
    Module module(L"user=" + W(user) + L";domain=" + W(domain));
    Load(R"({"users":{"m\u00dcnchen\\j\u00fcrgen":{"result":"allow"}}})");
    EXPECT_EQ(module.LoggedOutSAS(), kLogon);
    const std::string account = domain + "\\" + user;
    EXPECT_TRUE(InOrder({"Logged on user: " + account, "User: " + account,
                         "Skipped Vyn login for '" + account + "'"}));
    EXPECT_EQ(Wire(), (Lines{"POST /rest/v1/preauth.bson user=m%C3%9Cnchen%5Cj%C3%BCrgen"}));
    // The event carries the name in UTF-16.
    EXPECT_EQ(Events(), (std::vector<Event>{Information(L"Skipped Vyn login for 'M\u00dcNCHEN\\J\u00fcrgen'")}));
}

// --- No Winlogon dispatch table ------------------------------------------------

struct FoundBox {
    std::wstring text;
    bool iconShown = false, okShown = false, cancelShown = false;
};

// Finds the plain message box captioned "Vyn Security" on `thread`, reads it
// and presses its OK.
void AnswerPlainMessageBox(DWORD thread, FoundBox* found) {
    struct Search {
        HWND box = nullptr;
    } search;
    const DWORD start = ::GetTickCount();
    while (!search.box && ::GetTickCount() - start < 15000) {
        ::EnumThreadWindows(
            thread,
            [](HWND window, LPARAM lParam) -> BOOL {
                wchar_t caption[64] = {};
                ::GetWindowTextW(window, caption, 64);
                if (std::wstring(caption) == kCaption && ::IsWindowVisible(window) && !::GetDlgItem(window, kEditId)) {
                    reinterpret_cast<Search*>(lParam)->box = window;
                    return FALSE;
                }
                return TRUE;
            },
            reinterpret_cast<LPARAM>(&search));
        if (!search.box) ::Sleep(5);
    }
    if (!search.box) return;
    // The message box template's own controls: text 0xFFFF, icon 0x0440.
    wchar_t text[512] = {};
    ::GetDlgItemTextW(search.box, 0xFFFF, text, 512);
    found->text = text;
    found->iconShown = ::IsWindowVisible(::GetDlgItem(search.box, 0x0440)) != FALSE;
    found->okShown = ::IsWindowVisible(::GetDlgItem(search.box, IDOK)) != FALSE;
    found->cancelShown = ::IsWindowVisible(::GetDlgItem(search.box, IDCANCEL)) != FALSE;
    ::PostMessageW(search.box, WM_COMMAND, IDOK, 0);
}

TEST_F(E2eTest, WithoutDispatchTableMessagesFallBackToPlainMessageBoxes) {
    Module module(L"user=alice", /*initialize=*/false);
    Load(R"({"users":{"alice":{"result":"deny","status":"No entry"}}})");
    FoundBox found;
    Thread user([&] { AnswerPlainMessageBox(winlogon.threadId, &found); });
    EXPECT_EQ(module.LoggedOutSAS(), kNone);
    user.Join();
    EXPECT_EQ(found.text, L"No entry");
    EXPECT_TRUE(found.iconShown);
    EXPECT_TRUE(found.okShown);
    EXPECT_FALSE(found.cancelShown);
    EXPECT_TRUE(winlogon.MessageBoxes().empty());
}

}  // namespace
}  // namespace e2e

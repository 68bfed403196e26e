// Authentication and transaction polling end to end on this side: the real
// status dialog and its worker, WinHTTP over TLS to the reference service,
// the log as written, and the event-log reports recorded.
#include <winsock2.h>

#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "auth/session.h"
#include "common/handles.h"
#include "common/strings.h"
#include "diag/errors.h"
#include "ui/dialog_host.h"
#include "tests/support/log_capture.h"
#include "tests/support/refservice.h"
#include "tests/transport/event_recorder.h"
#include "tools/logon_host/dialog_watch.h"

namespace {

constexpr char kSkey[] = "authflow-secret-key-0123456789abcdefghij";

using Events = EventRecorder::Events;
using Texts = std::vector<std::wstring>;
using Lines = std::vector<std::string>;

const std::string kDeniedText =
    "Your Vyn authentication information was incorrect.  Please try again.";
const std::string kUnexpectedResponseText =
    "The Vyn authentication server returned an unexpected response.  Please contact your system administrator.";

class AuthFlowTest : public testing::Test {
protected:
    void SetUp() override {
        gModuleInstance = ::GetModuleHandleW(nullptr);
        savedHook_ = gDialogBoxHook();
        // The status dialog is shown the way the logon host shows it, watched:
        // every status text is recorded, and Cancel is pressed when scripted.
        gDialogBoxHook() = [this](uint32_t id, HWND owner, DLGPROC proc, LPVOID param) {
            return ShowWatchedDialog(gModuleInstance, MAKEINTRESOURCEW(id), owner, proc,
                                     reinterpret_cast<LPARAM>(param), script, record);
        };
        ikey = refservice::UniqueIkey();
        session.config.host = "localhost";
        session.config.port = refservice::Port();
        session.config.ikey = ikey;
        session.config.skey = kSkey;
        session.config.failOpen = false;
    }
    void TearDown() override { gDialogBoxHook() = savedHook_; }

    void Load(const std::string& scenario) {
        std::string error;
        ASSERT_TRUE(refservice::LoadScenario(ikey, kSkey, scenario, &error)) << error;
    }

    // The log lines that begin with `prefix`, in order.
    Lines LinesStartingWith(const std::string& prefix) const {
        Lines lines;
        for (const std::string& text : log.Texts())
            if (text.compare(0, prefix.size(), prefix) == 0) lines.push_back(text);
        return lines;
    }

    // Runs AuthorizeVynUser expecting an exception of the family; returns it.
    CVynException AuthorizeExpectingException(const std::string& user, const std::string& answer) {
        try {
            session.AuthorizeVynUser(nullptr, user, answer);
        } catch (const CVynException& e) {
            return e;
        }
        ADD_FAILURE() << "no exception";
        return CVynException(-1, "");
    }

    std::vector<RecordedRequest> StatusRequests() const {
        std::vector<RecordedRequest> polls;
        for (const RecordedRequest& r : refservice::Requests(ikey))
            if (r.target.rfind("/rest/v1/status.bson", 0) == 0) polls.push_back(r);
        return polls;
    }

    LogCapture log;
    EventRecorder events;
    CVynAuthSession session{"VynGina/1.1.8"};
    std::string ikey;
    StatusDialogScript script;
    StatusDialogRecord record;

private:
    DialogBoxHook savedHook_;
};

TEST_F(AuthFlowTest, ProgressTextsAreShownButNeverTheFinalOne) {
    Load(R"({"answers":{"push":{"txid":"TX-ABC","statuses":[
        {"result":"","status":"Pushed a login request to your device..."},
        {"result":"","status":"Still waiting"},
        {"result":"allow","status":"Success. Logging you in..."}]}}})");

    EXPECT_TRUE(session.AuthorizeVynUser(nullptr, "alice", "push"));

    EXPECT_EQ(record.dialogsShown, 1);
    EXPECT_EQ(record.texts, (Texts{L"Pushed a login request to your device...", L"Still waiting"}));
    EXPECT_EQ(LinesStartingWith("Status: "), (Lines{"Status: Pushed a login request to your device...",
                                                    "Status: Still waiting",
                                                    "Status: Success. Logging you in..."}));
    EXPECT_EQ(LinesStartingWith("Txid: "), (Lines{"Txid: TX-ABC"}));
    EXPECT_EQ(LinesStartingWith("Result: "), (Lines{"Result: allow"}));
    EXPECT_EQ(events.events(), (Events{{EVENTLOG_INFORMATION_TYPE, "Successful Vyn login for 'alice'"}}));

    const Lines texts = log.Texts();
    ASSERT_GE(texts.size(), 3u);
    EXPECT_EQ(texts[0], "Entered CVynAuthSession::AuthorizeVynUser");
    EXPECT_EQ(texts[1], "User: alice");
    EXPECT_EQ(texts[2], "Auth: push");
    EXPECT_EQ(LinesStartingWith("Entered CVynAuthSession::CheckTransactionStatus").size(), 3u);
    EXPECT_EQ(LinesStartingWith("Leaving CVynAuthSession::CheckTransactionStatus").size(), 3u);

    const std::vector<RecordedRequest> requests = refservice::Requests(ikey);
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].target, "/rest/v1/auth.bson");
    EXPECT_EQ(requests[0].body, "async=1&auto=push&factor=auto&user=alice");
    for (size_t i = 1; i < 4; ++i) {
        EXPECT_EQ(requests[i].method, "GET");
        EXPECT_EQ(requests[i].target, "/rest/v1/status.bson?txid=TX-ABC");
    }
}

TEST_F(AuthFlowTest, UserIsSentNormalisedButReportedAsGiven) {
    Load(R"({"answers":{"push":{}}})");
    EXPECT_TRUE(session.AuthorizeVynUser(nullptr, "CORP\\Alice", "push"));
    const std::vector<RecordedRequest> requests = refservice::Requests(ikey);
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests[0].body, "async=1&auto=push&factor=auto&user=corp%5Calice");
    EXPECT_EQ(events.events(), (Events{{EVENTLOG_INFORMATION_TYPE, "Successful Vyn login for 'CORP\\Alice'"}}));
}

TEST_F(AuthFlowTest, PasscodeNeverReachesTheLog) {
    Load(R"({"answers":{"904217":{}}})");
    EXPECT_TRUE(session.AuthorizeVynUser(nullptr, "alice", "904217"));
    EXPECT_EQ(LinesStartingWith("Auth: "), (Lines{"Auth: ******"}));
    for (const std::string& line : log.Texts()) EXPECT_EQ(line.find("904217"), std::string::npos) << line;
    // ...while the service receives it.
    const std::vector<RecordedRequest> requests = refservice::Requests(ikey);
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests[0].body, "async=1&auto=904217&factor=auto&user=alice");
}

TEST_F(AuthFlowTest, RefusalCarriesTheLastStatusTextToTheUserAndTheEventLog) {
    Load(R"({"answers":{"push":{"statuses":[
        {"result":"","status":"Pushed"},
        {"result":"deny","status":"Login request denied"}]}}})");

    const CVynException e = AuthorizeExpectingException("alice", "push");
    EXPECT_EQ(e.GetKind(), AuthenticationDenied);
    EXPECT_EQ(e.GetUserMessage(), L"Login request denied");
    EXPECT_EQ(record.texts, (Texts{L"Pushed"}));
    EXPECT_EQ(LinesStartingWith("Result: "), (Lines{"Result: deny"}));
    EXPECT_EQ(LinesStartingWith("WARNING: "), (Lines{"WARNING: Vyn server denied access"}));
    EXPECT_EQ(events.events(),
              (Events{{EVENTLOG_ERROR_TYPE, "Error in Vyn login for 'alice': Login request denied"}}));
}

// A service text as long as an answer may carry (the answer itself stays
// under 64 KiB): every log line and the event hold its first 512 bytes and
// the count of the rest; the dialog and the user's message get it whole.
TEST_F(AuthFlowTest, LongStatusTextsAreCutInTheLogOnly) {
    const std::string progress(60000, 'p');
    const std::string refusal(60000, 'r');
    Load(R"({"answers":{"push":{"statuses":[{"result":"","status":")" + progress + R"("},
        {"result":"deny","status":")" + refusal + R"("}]}}})");

    const CVynException e = AuthorizeExpectingException("alice", "push");
    EXPECT_EQ(e.GetUserMessage(), std::wstring(refusal.begin(), refusal.end()));
    EXPECT_EQ(record.texts, (Texts{std::wstring(progress.begin(), progress.end())}));
    const std::string note = " ... (59488 bytes left out)";
    EXPECT_EQ(LinesStartingWith("Status: "),
              (Lines{"Status: " + progress.substr(0, 512) + note, "Status: " + refusal.substr(0, 512) + note}));
    EXPECT_EQ(events.events(),
              (Events{{EVENTLOG_ERROR_TYPE, "Error in Vyn login for 'alice': " + refusal.substr(0, 512) + note}}));
    for (const std::string& line : log.Texts()) EXPECT_LT(line.size(), 700u) << line.substr(0, 80);
}

TEST_F(AuthFlowTest, RefusalWithoutTextGivesTheDefaultDeniedMessage) {
    Load(R"({"answers":{"push":{"statuses":[{"result":"deny"}]}}})");
    const CVynException e = AuthorizeExpectingException("alice", "push");
    EXPECT_EQ(e.GetKind(), AuthenticationDenied);
    EXPECT_EQ(e.GetUserMessage(), DefaultUserMessage(AuthenticationDenied));
    EXPECT_EQ(LinesStartingWith("Status: "), (Lines{"Status: "}));
    EXPECT_EQ(events.events(), (Events{{EVENTLOG_ERROR_TYPE, "Error in Vyn login for 'alice': " + kDeniedText}}));
}

class MissingTxidTest : public AuthFlowTest, public testing::WithParamInterface<const char*> {};

TEST_P(MissingTxidTest, EndsWithUnexpectedResponseAndNoPoll) {
    Load(std::string(R"({"answers":{"push":{"txid":)") + GetParam() + "}}}");
    const CVynException e = AuthorizeExpectingException("alice", "push");
    EXPECT_EQ(e.GetKind(), UnexpectedResponse);
    EXPECT_EQ(LinesStartingWith("ERROR: No txid"), (Lines{"ERROR: No txid element found"}));
    EXPECT_TRUE(LinesStartingWith("Txid: ").empty());
    EXPECT_TRUE(StatusRequests().empty());
    EXPECT_EQ(events.events(),
              (Events{{EVENTLOG_ERROR_TYPE, "Error in Vyn login for 'alice': " + kUnexpectedResponseText}}));
}

INSTANTIATE_TEST_SUITE_P(Txid, MissingTxidTest, testing::Values("null", R"({"$int32":7})", R"("")"));

TEST_F(AuthFlowTest, FailOpenDuringTheAuthRequestAllows) {
    session.config.failOpen = true;
    Load(R"({"operations":{"auth":[{"http_status":503}]}})");
    EXPECT_TRUE(session.AuthorizeVynUser(nullptr, "alice", "push"));
    EXPECT_TRUE(StatusRequests().empty());
    EXPECT_EQ(events.events(), (Events{{EVENTLOG_ERROR_TYPE, "Failsafe Vyn login: Vyn response not understood"},
                                       {EVENTLOG_INFORMATION_TYPE, "Successful Vyn login for 'alice'"}}));
}

// The status-poll fault table: once the service has given a transaction id,
// no failed poll lets the user in, with fail-open on or off. A failed poll is
// logged with its code and polled again after a pause (1 s, doubling to at
// most 5 s); only the service's "allow" passes, and when no poll has reached
// the service for the bound (shortened here) the logon is refused with the
// last failure, as a failed poll without fail-open always was.
enum class PollFault {
    ServerErrorTwiceThenAllow,
    ServerErrorEveryPoll,
    ResetEveryPoll,
    BrokenAnswerEveryPoll,
    ReachedBetweenFailures,
    ClientErrorEveryPoll
};

// The transaction's answers unless a row gives its own: allowed at the first
// poll that reaches it.
constexpr char kAllowAtOnce[] = R"([{"result":"allow","status":"Approved"}])";

struct PollFaultCase {
    PollFault fault;
    const char* name;
    const char* operation;   // the status action, for every poll or as given
    int32_t boundSeconds;
    size_t polls;            // status requests the service sees
    std::string failedLine;  // logged after each failed poll that is polled again
    size_t failedLines;
    // From the Auth answer to the outcome: the pauses, plus slack for the
    // exchanges on a busy machine; rows whose pauses add up to 3 s stay under
    // 6 s, what pauses of 2 and 4 s would take.
    DWORD minMs, maxMs;
    std::wstring message;    // the refusal the user reads; empty: allowed
    const char* statuses = kAllowAtOnce;  // the transaction's answers, in order
    int32_t answerSeconds = 0;            // the poll's answer bound; 0: the session's own
};

class PollFaultTable : public AuthFlowTest, public testing::WithParamInterface<std::tuple<PollFaultCase, bool>> {};

TEST_P(PollFaultTable, NoFailedPollLetsTheUserIn) {
    const PollFaultCase& c = std::get<0>(GetParam());
    session.config.failOpen = std::get<1>(GetParam());
    session.statusFailureSeconds = c.boundSeconds;
    if (c.answerSeconds != 0) session.statusAnswerSeconds = c.answerSeconds;
    Load(std::string(R"({"answers":{"push":{"statuses":)") + c.statuses + R"(}},"operations":{"status":[)" +
         c.operation + "]}}");

    const DWORD start = ::GetTickCount();
    std::wstring message;
    try {
        EXPECT_TRUE(session.AuthorizeVynUser(nullptr, "alice", "push"));
    } catch (const CVynException& e) {
        message = e.GetUserMessage();
    }
    const DWORD elapsed = ::GetTickCount() - start;

    EXPECT_EQ(message, c.message);
    EXPECT_EQ(StatusRequests().size(), c.polls);
    EXPECT_EQ(LinesStartingWith("Status poll failed"), Lines(c.failedLines, c.failedLine));
    // A refusal after failed polls comes when the bound has passed; a refusal
    // without one comes at once.
    EXPECT_EQ(LinesStartingWith("Status polls failed for"),
              c.message.empty() || c.failedLines == 0 ? Lines{} : Lines{"Status polls failed for 60 s; refusing"});
    EXPECT_TRUE(LinesStartingWith("Caught WinHttp exception; retrying").empty());
    EXPECT_TRUE(LinesStartingWith("HTTP response status is a permanent failure").empty());
    EXPECT_GE(elapsed, c.minMs);
    EXPECT_LT(elapsed, c.maxMs);
    const std::string outcome = c.message.empty() ? std::string() : ToUtf8(c.message);
    EXPECT_EQ(events.events(),
              c.message.empty() ? (Events{{EVENTLOG_INFORMATION_TYPE, "Successful Vyn login for 'alice'"}})
                                : (Events{{EVENTLOG_ERROR_TYPE, "Error in Vyn login for 'alice': " + outcome}}));
}

const std::wstring kUnexpectedResponse = DefaultUserMessage(UnexpectedResponse);

std::string PollFaultName(const testing::TestParamInfo<std::tuple<PollFaultCase, bool>>& info) {
    return std::string(std::get<0>(info.param).name) + (std::get<1>(info.param) ? "_FailOpen" : "_FailClosed");
}

INSTANTIATE_TEST_SUITE_P(
    Faults, PollFaultTable,
    testing::Combine(
        testing::Values(
            // Pauses of 1 s and 2 s, then the service's answer.
            PollFaultCase{PollFault::ServerErrorTwiceThenAllow, "GatewayTimeoutTwiceThenAllow",
                          R"({"http_status":504,"repeat":2})", 60, 3,
                          "Status poll failed; polling again (504)", 2, 2900, 5900, L""},
            // Pauses of 1, 2, 4 and (not 8) 5 s: polls at 0, 1, 3, 7 and 12 s,
            // the last one past the 8 s bound.
            PollFaultCase{PollFault::ServerErrorEveryPoll, "GatewayTimeoutEveryPoll",
                          R"({"http_status":504,"repeat":-1})", 8, 5,
                          "Status poll failed; polling again (504)", 4, 11900, 14500, kUnexpectedResponse},
            // The service takes each poll and the connection ends before the answer.
            PollFaultCase{PollFault::ResetEveryPoll, "ConnectionEndsAfterTheRequestEveryPoll",
                          R"({"drop_after_bytes":0,"repeat":-1})", 2, 3,
                          "Status poll failed; polling again (12030)", 2, 2900, 5900,
                          L"There was an error communicating with the Vyn authentication server.  Please try "
                          L"again. (12030)"},
            PollFaultCase{PollFault::BrokenAnswerEveryPoll, "UnreadableAnswerEveryPoll",
                          R"({"malformed":"truncated","repeat":-1})", 2, 3,
                          "Status poll failed; polling again (200)", 2, 2900, 5900, kUnexpectedResponse},
            // Each poll that reaches the service, answered (at 3 s) or held
            // past its 1 s bound (from 6 to 7 s), starts the 2 s bound and
            // the pauses again: failures at 0, 1 | 3, 4 | 7, 8 s, then allowed
            // at 10 s (pauses that were not started again would reach 22 s).
            // The held poll may take the transaction's last answer; the last
            // answer repeats.
            PollFaultCase{PollFault::ReachedBetweenFailures, "AReachedPollStartsTheBoundAgain",
                          R"({"http_status":504,"repeat":2},{},{"http_status":504,"repeat":2},
                             {"hold":true,"hold_ms":1500},{"http_status":504,"repeat":2})",
                          2, 9, "Status poll failed; polling again (504)", 6, 9900, 16500, L"",
                          R"([{"result":"","status":"Waiting"},{"result":"allow","status":"Approved"}])", 1},
            // A 4xx is the service's refusal: never polled again.
            PollFaultCase{PollFault::ClientErrorEveryPoll, "ClientErrorIsRefusedAtOnce",
                          R"({"http_status":403,"repeat":-1})", 2, 1, "", 0, 0, 2500, kUnexpectedResponse}),
        testing::Bool()),
    PollFaultName);

// Cancel ends the pause between failed polls at once, with the user's cancel.
TEST_F(AuthFlowTest, CancelDuringThePauseAfterAFailedPollEndsAtOnce) {
    session.config.failOpen = true;
    Load(R"({"operations":{"status":[{"http_status":504,"repeat":-1}]}})");
    // Polls at about 0 and 1 s; the second pause lasts until about 3 s. On a
    // busy machine the first poll goes out late, and the Cancel may fall in
    // the first pause instead: either way no poll follows it.
    script.cancelAfterMs = 2000;

    const CVynException e = AuthorizeExpectingException("alice", "push");
    const DWORD returnedAt = ::GetTickCount();
    EXPECT_EQ(e.GetKind(), AuthenticationDenied);
    EXPECT_EQ(e.GetUserMessage(), L"User cancelled authentication");
    EXPECT_LT(returnedAt - record.cancelPressedAt, 500u);
    const size_t polls = StatusRequests().size();
    EXPECT_GE(polls, 1u);
    EXPECT_LE(polls, 2u);
    EXPECT_EQ(LinesStartingWith("Status poll failed"), Lines(polls, "Status poll failed; polling again (504)"));
    EXPECT_EQ(events.events(),
              (Events{{EVENTLOG_ERROR_TYPE, "Error in Vyn login for 'alice': User cancelled authentication"}}));
}

// Polls the service holds past the answer bound (shortened to 1 s here) are
// neither failures nor attempts: with fail-open on, four in a row still do
// not let the user in, and each is followed at once by the next poll.
TEST_F(AuthFlowTest, HeldPollsNeverFailOpenAndArePolledAgain) {
    session.config.failOpen = true;
    session.statusAnswerSeconds = 1;
    const std::string held = R"({"hold":true,"hold_ms":4000,"result":"allow","status":"Too late"},)";
    Load(R"({"answers":{"push":{"statuses":[{"result":"","status":"Pushed"},)" + held + held + held + held +
         R"({"result":"deny","status":"Login timed out"}]}}})");

    const DWORD start = ::GetTickCount();
    const CVynException e = AuthorizeExpectingException("alice", "push");
    const DWORD elapsed = ::GetTickCount() - start;

    EXPECT_EQ(e.GetKind(), AuthenticationDenied);
    EXPECT_EQ(e.GetUserMessage(), L"Login timed out");
    EXPECT_EQ(StatusRequests().size(), 6u);
    EXPECT_EQ(LinesStartingWith("Status poll held"), Lines(4, "Status poll held past its bound; polling again"));
    EXPECT_TRUE(LinesStartingWith("Caught WinHttp exception; retrying").empty());
    EXPECT_EQ(LinesStartingWith("Status: "), (Lines{"Status: Pushed", "Status: Login timed out"}));
    EXPECT_EQ(record.texts, Texts(5, L"Pushed"));
    EXPECT_EQ(events.events(),
              (Events{{EVENTLOG_ERROR_TYPE, "Error in Vyn login for 'alice': Login timed out"}}));
    // Four bounds and no pause between polls.
    EXPECT_GE(elapsed, 4000u);
    EXPECT_LT(elapsed, 8000u);
}

// Cancel still ends a run of held polls: the worker sees it at the cancel
// check before the next poll, or the dialog stops waiting for it.
TEST_F(AuthFlowTest, CancelEndsARunOfHeldPolls) {
    session.config.failOpen = true;
    session.statusAnswerSeconds = 1;
    Load(R"({"answers":{"push":{"statuses":[{"result":"","status":"Pushed"},
             {"hold":true,"hold_ms":4000,"result":"allow","status":"Too late"}]}}})");
    script.cancelAfterMs = 2500;

    // The worker that sees the cancel ends with its cancel exception; a
    // dialog that stopped waiting first reports the logon aborted.
    bool allowed = true;
    try {
        allowed = session.AuthorizeVynUser(nullptr, "alice", "push");
    } catch (const CVynException& e) {
        allowed = false;
        EXPECT_EQ(e.GetUserMessage(), L"User cancelled authentication");
    }
    const DWORD returnedAt = ::GetTickCount();
    EXPECT_FALSE(allowed);
    EXPECT_EQ(record.cancelsPressed, 1);
    EXPECT_LT(returnedAt - record.cancelPressedAt, 2000u);
    EXPECT_GE(StatusRequests().size(), 3u);
    const Events seen = events.events();
    EXPECT_TRUE(seen == (Events{{EVENTLOG_WARNING_TYPE, "Aborted Vyn login for 'alice'"}}) ||
                seen == (Events{{EVENTLOG_ERROR_TYPE, "Error in Vyn login for 'alice': User cancelled authentication"}}))
        << seen.size();
    refservice::Release(ikey);
}

TEST_F(AuthFlowTest, CancelBeforeTheAuthRequestSendsNothing) {
    Load(R"({"answers":{"push":{}}})");
    unique_handle cancel(::CreateEventW(nullptr, FALSE, TRUE, nullptr));
    session.OpenHttpSession();
    try {
        session.RunAuthTransaction("alice", "push", nullptr, cancel.get());
        ADD_FAILURE() << "no exception";
    } catch (const CVynException& e) {
        EXPECT_EQ(e.GetKind(), AuthenticationDenied);
        EXPECT_EQ(e.GetUserMessage(), L"User cancelled authentication");
    }
    EXPECT_TRUE(refservice::Requests(ikey).empty());
    EXPECT_EQ(::WaitForSingleObject(cancel.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));  // the check consumed it
}

TEST_F(AuthFlowTest, CancelFromAnEarlierCallDoesNotReachTheNext) {
    Load(R"({"answers":{"push":{}}})");
    session.CancelAuthentication();
    EXPECT_EQ(LinesStartingWith("User cancelled"), (Lines{"User cancelled authentication"}));
    EXPECT_TRUE(session.AuthorizeVynUser(nullptr, "alice", "push"));
    EXPECT_EQ(::WaitForSingleObject(session.cancelEvent.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(events.events(), (Events{{EVENTLOG_INFORMATION_TYPE, "Successful Vyn login for 'alice'"}}));
}

// A Cancel while the service holds a poll: the worker cannot notice it, so
// the dialog waits its second, then ends the request. With the module's own
// TLS client the request ends at once and the worker with it, before the
// dialog returns (nothing is abandoned); the logon counts as aborted.
TEST_F(AuthFlowTest, CancelDuringAHeldPollEndsItsRequestOnceTheDialogsWaitRunsOut) {
    session.config.tls = TlsMode::ModuleOnly;
    Load(R"({"answers":{"push":{"statuses":[
        {"result":"","status":"Pushed"},
        {"hold":true,"hold_ms":600000,"result":"allow","status":"Approved late"}]}}})");
    script.cancelAfterMs = 2000;  // well after the held poll went out, even on a busy machine

    EXPECT_FALSE(session.AuthorizeVynUser(nullptr, "alice", "push"));
    const DWORD returnedAt = ::GetTickCount();
    EXPECT_EQ(record.cancelsPressed, 1);
    EXPECT_EQ(StatusRequests().size(), 2u);  // the held poll was out when Cancel came
    EXPECT_GE(returnedAt - record.cancelPressedAt, 950u);
    EXPECT_LT(returnedAt - record.cancelPressedAt, 1500u);
    // Logged by the worker before the dialog returned.
    EXPECT_EQ(LinesStartingWith("Operation cancelled"), (Lines{"Operation cancelled"}));
    EXPECT_TRUE(LinesStartingWith("Event not reported").empty());
    EXPECT_TRUE(LinesStartingWith("Status: Approved").empty());
    EXPECT_EQ(events.events(), (Events{{EVENTLOG_WARNING_TYPE, "Aborted Vyn login for 'alice'"}}));
    refservice::Release(ikey);
}

// Where the platform cannot end a request in progress (Wine's WinHTTP runs a
// closed request on until the service answers), the dialog still stops
// waiting after a second and abandons the worker; a new authentication runs
// beside it undisturbed. Released, the abandoned poll ends as cancelled,
// whatever the service answered: no text, no event, nothing thrown anywhere.
TEST_F(AuthFlowTest, CancelDuringAHeldPollThePlatformCannotEndReturnsPromptlyAndTheNextLoginWorks) {
    session.config.tls = TlsMode::SystemOnly;
    Load(R"({"answers":{
        "push":{"statuses":[{"result":"","status":"Pushed"},{"hold":true,"result":"allow","status":"Approved late"}]},
        "123456":{"statuses":[{"result":"","status":"Checking"},{"result":"allow","status":"Success"}]}}})");
    // Well inside the held poll (a Cancel as it goes out would be noticed).
    script.cancelAfterMs = 2000;

    EXPECT_FALSE(session.AuthorizeVynUser(nullptr, "alice", "push"));
    const DWORD returnedAt = ::GetTickCount();
    EXPECT_EQ(record.cancelsPressed, 1);
    EXPECT_LT(returnedAt - record.cancelPressedAt, 3000u);
    EXPECT_EQ(events.events(), (Events{{EVENTLOG_WARNING_TYPE, "Aborted Vyn login for 'alice'"}}));

    script.cancelAfterMs = INFINITE;
    EXPECT_TRUE(session.AuthorizeVynUser(nullptr, "alice", "123456"));
    EXPECT_EQ(record.texts, (Texts{L"Pushed", L"Checking"}));
    EXPECT_EQ(events.events(), (Events{{EVENTLOG_WARNING_TYPE, "Aborted Vyn login for 'alice'"},
                                       {EVENTLOG_INFORMATION_TYPE, "Successful Vyn login for 'alice'"}}));

    refservice::Release(ikey);
    for (int i = 0; i < 500 && LinesStartingWith("Operation cancelled").empty(); ++i) ::Sleep(10);
    EXPECT_EQ(LinesStartingWith("Operation cancelled"), (Lines{"Operation cancelled"}));
    ::Sleep(100);
    EXPECT_TRUE(LinesStartingWith("Status: Approved late").empty());
    EXPECT_EQ(record.texts, (Texts{L"Pushed", L"Checking"}));
    EXPECT_EQ(events.events().size(), 2u);
}

}  // namespace

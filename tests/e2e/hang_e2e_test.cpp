// Winlogon never waits on a hung service: the real module, with its own 10 s
// bound, against a service that holds the pre-authentication answer and a
// listener that never accepts (the answer Winlogon gets, and that it comes
// within three bounds), and the status
// dialog's Cancel against a held authentication answer, whose late outcome must
// not reach the event log, and a status poll held past the module's own 30 s
// answer bound, which is polled again and never fails open. The in-process fault matrix (tests/transport)
// covers every failure mode with a shorter bound.
#include "tests/e2e/e2e_fixture.h"
#include "tests/transport/silent_listeners.h"

namespace e2e {
namespace {

constexpr int kLogon = 1, kNone = 2;
constexpr DWORD kEventId = 0xC0020000;
// Three attempts of at most 10 s each, plus slack for a busy machine; the
// bound is the property under test.
constexpr DWORD kWinlogonLimitMs = 3 * 10 * 1000 + 5000;
constexpr char kRetry[] = "Caught WinHttp exception; retrying up to limit";
constexpr char kTimedOut[] = "ERROR: Failure in system call 'WinHttpReceiveResponse' (12002)";
const std::wstring kCommunicationText =
    L"There was an error communicating with the Vyn authentication server.  Please try again.";

class HungServiceTest : public E2eTest {
protected:
    void TearDown() override {
        refservice::Release(ikey);
        E2eTest::TearDown();
    }
    // Logs alice on and measures how long Winlogon's thread was held.
    int Logon(DWORD& elapsedMs) {
        Module module(L"user=alice");
        const DWORD start = ::GetTickCount();
        const int result = module.LoggedOutSAS();
        elapsedMs = ::GetTickCount() - start;
        return result;
    }
    // Waits (up to `ms`) until the log holds `line`.
    bool WaitForLine(const std::string& line, DWORD ms) const {
        const DWORD start = ::GetTickCount();
        while (!Logged(line)) {
            if (::GetTickCount() - start > ms) return false;
            ::Sleep(50);
        }
        return true;
    }
};

TEST_F(HungServiceTest, HeldPreauthFailsOpenWithinThreeBounds) {
    Load(R"({"operations":{"preauth":[{"hold":true,"hold_ms":40000,"repeat":-1}]}})");
    settings.failOpen = 1;
    Rewrite();
    DWORD elapsed = 0;
    EXPECT_EQ(Logon(elapsed), kLogon);
    EXPECT_LE(elapsed, kWinlogonLimitMs);
    // Wine ends the wait for the held headers in either call.
    EXPECT_EQ(Count(kTimedOut) + Count("ERROR: Failure in system call 'WinHttpSendRequest' (12002)"), 3u);
    EXPECT_EQ(Count(kRetry), 3u);
    EXPECT_TRUE(InOrder({"Performing secondary pre-authentication",
                         "Timeout or network error on all attempts to connect to Vyn; failing open",
                         "Failsafe Vyn login: timeout or other network error",
                         "Caught exception from PreAuthorizeVynUser: "}));
    EXPECT_EQ(Requests().size(), 3u);
    EXPECT_TRUE(winlogon.MessageBoxes().empty());
    EXPECT_TRUE(winlogon.templatesShown.empty());
    EXPECT_EQ(Events(), (std::vector<Event>{{EVENTLOG_ERROR_TYPE, kEventId,
                                             {L"Failsafe Vyn login: timeout or other network error"}}}));
}

// A listener whose accept queue is full never answers the connection: the
// connection time-out, three times, then the refusal Winlogon shows.
TEST_F(HungServiceTest, ListenerThatNeverAcceptsWithoutFailOpenIsRefusedWithinThreeBounds) {
    silent::NeverAcceptingListener listener;
    ASSERT_NE(listener.Port(), 0);
    settings.host = "localhost:" + std::to_string(listener.Port());
    Rewrite();
    DWORD elapsed = 0;
    EXPECT_EQ(Logon(elapsed), kNone);
    EXPECT_LE(elapsed, kWinlogonLimitMs);
    EXPECT_EQ(Count("ERROR: Failure in system call 'WinHttpSendRequest' (12002)"), 3u);
    EXPECT_EQ(Count(kRetry), 3u);
    EXPECT_FALSE(Logged("Timeout or network error on all attempts to connect to Vyn; failing open"));
    const std::vector<MessageBoxCall> boxes = winlogon.MessageBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text.substr(0, kCommunicationText.size()), kCommunicationText);
    EXPECT_NE(boxes[0].text.find(L"12002"), std::wstring::npos) << Utf8(boxes[0].text);
    EXPECT_TRUE(Logged("Caught exception from PreAuthorizeVynUser: " + Utf8(boxes[0].text)));
    EXPECT_TRUE(Events().empty());
}

// With AutoPush the authentication runs behind the status dialog, whose Cancel
// ends a held answer's wait within about a second. The worker is abandoned; its
// request, failing later with fail-open set, still logs but reports no event:
// the logon it belonged to was aborted.
TEST_F(HungServiceTest, CancelEndsAHeldAutoPushAndItsLateOutcomeReportsNoEvent) {
    settings.autoPush = 1;
    settings.failOpen = 1;
    Rewrite();
    Load(R"({"users":{"alice":{"result":"auth","factors":{"default":"push"}}},
             "operations":{"auth":[{"hold":true,"hold_ms":30000,"http_status":503}]}})");
    winlogon.statusScript.cancelAfterMs = 500;
    winlogon.passcodeScripts = {{{Action::PressEscape}}};
    DWORD elapsed = 0;
    EXPECT_EQ(Logon(elapsed), kNone);
    EXPECT_EQ(winlogon.status.cancelsPressed, 1);
    // Cancel to closed: the 1 s wait for the worker, and not the held answer.
    EXPECT_LE(winlogon.status.closedAt - winlogon.status.cancelPressedAt, 2500u);
    EXPECT_LE(elapsed, 10000u);
    EXPECT_EQ(winlogon.templatesShown, (std::vector<int>{kStatusDialogTemplate, kPasscodeTemplate}));
    const std::vector<Event> aborted = {{EVENTLOG_WARNING_TYPE, kEventId, {L"Aborted Vyn login for 'alice'"}}};
    EXPECT_EQ(Events(), aborted);

    // The service now answers the abandoned request with a server error.
    EXPECT_EQ(refservice::Release(ikey), 1);
    ASSERT_TRUE(WaitForLine("Event not reported: the authentication was abandoned before this outcome", 10000));
    EXPECT_TRUE(InOrder({"HTTP response status is a permanent failure; failing open",
                         "Failsafe Vyn login: Vyn response not understood",
                         "Event not reported: the authentication was abandoned before this outcome"}));
    EXPECT_EQ(Events(), aborted);
}

// A push nobody answers, with the service holding a poll longer than the
// module's 30 s bound (Wine has no default bound of its own): the poll ends at
// the bound, is not a failure though fail-open is set, and the next poll goes
// out at once. Were the held poll waited out, its late "allow" would let the
// user in.
TEST_F(HungServiceTest, StatusPollHeldPastTheBoundIsPolledAgainAndNeverFailsOpen) {
    settings.autoPush = 1;
    settings.failOpen = 1;
    Rewrite();
    Load(R"({"users":{"alice":{"result":"auth","factors":{"default":"push"}}},
             "answers":{"push":{"statuses":[{"result":"","status":"Pushed"},
                 {"hold":true,"hold_ms":36000,"result":"allow","status":"Approved too late"},
                 {"result":"deny","status":"Login timed out"}]}}})");
    winlogon.passcodeScripts = {{{Action::PressEscape}}};
    DWORD elapsed = 0;
    EXPECT_EQ(Logon(elapsed), kNone);
    EXPECT_GE(elapsed, 29000u);
    EXPECT_LE(elapsed, 34000u);
    EXPECT_EQ(Count("Status poll held past its bound; polling again"), 1u);
    EXPECT_FALSE(Logged("Status: Approved too late"));
    EXPECT_FALSE(Logged("Failsafe Vyn login: timeout or other network error"));
    EXPECT_EQ(Events(), (std::vector<Event>{{EVENTLOG_ERROR_TYPE, kEventId,
                                             {L"Error in Vyn login for 'alice': Login timed out"}}}));
}

}  // namespace
}  // namespace e2e

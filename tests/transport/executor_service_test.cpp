// The request executor against the reference service over TLS on loopback:
// the signed requests as the service received them, each status class with
// fail-open on and off, and transport failures with their retries.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "auth/session.h"
#include "diag/errors.h"
#include "net/signing.h"
#include "tests/support/log_capture.h"
#include "tests/support/refservice.h"
#include "tests/transport/service_session.h"
#include "tests/transport/event_recorder.h"

namespace {

using Lines = std::vector<std::string>;

const char kSkey[] = "executor-test-secret";

class ExecutorService : public ServiceSessionTest {
protected:
    ExecutorService() : ServiceSessionTest(kSkey) {}

    ParamMap Preauth() const { return ParamMap{{"user", "bob"}, {"ipaddr", "192.0.2.10"}}; }
};

TEST_F(ExecutorService, PreauthGoesOutSignedAsAPost) {
    Load(R"({"users": {"bob": {"result": "allow", "status": "Bypass"}}})");
    LogCapture log;
    std::string response;
    session.MakeRequest(VynOperation::Preauth, Preauth(), response, 10);
    EXPECT_EQ(log.Texts(), (Lines{"HTTP request completed successfully"}));

    const auto requests = refservice::Requests(ikey);
    ASSERT_EQ(requests.size(), 1u);
    const auto& r = requests[0];
    EXPECT_EQ(r.method, "POST");
    EXPECT_EQ(r.target, "/rest/v1/preauth.bson");
    EXPECT_EQ(r.body, "ipaddr=192.0.2.10&user=bob");
    EXPECT_EQ(r.Header("Content-Type"), "application/x-www-form-urlencoded");
    EXPECT_EQ("Authorization: " + r.Header("Authorization") + "\r\n",
              FormatAuthHeader(ikey, kSkey, "localhost", "POST", "/rest/v1/preauth.bson",
                               "ipaddr=192.0.2.10&user=bob"));
    EXPECT_NE(response.find("Bypass"), std::string::npos);
}

TEST_F(ExecutorService, StatusPollCarriesTxidInTargetAndBodySignedWithoutQuery) {
    Load(R"({"answers": {"123456": {"txid": "TX+1"}}})");
    std::string response;
    session.MakeRequest(VynOperation::Auth,
                        ParamMap{{"user", "bob"}, {"factor", "auto"}, {"auto", "123456"}, {"async", "1"}},
                        response, 10);
    response.clear();
    session.MakeRequest(VynOperation::Status, ParamMap{{"txid", "TX+1"}}, response, 0);

    const auto requests = refservice::Requests(ikey);
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].body, "async=1&auto=123456&factor=auto&user=bob");
    const auto& r = requests[1];
    EXPECT_EQ(r.method, "GET");
    EXPECT_EQ(r.target, "/rest/v1/status.bson?txid=TX%2B1");
    EXPECT_EQ(r.body, "txid=TX%2B1");
    EXPECT_TRUE(r.Header("Content-Type").empty());
    EXPECT_EQ("Authorization: " + r.Header("Authorization") + "\r\n",
              FormatAuthHeader(ikey, kSkey, "localhost", "GET", "/rest/v1/status.bson", "txid=TX%2B1"));
}

TEST_F(ExecutorService, PingIsUnsigned) {
    std::string response;
    session.MakeRequest(VynOperation::Ping, ParamMap{}, response, 0);
    bool found = false;
    for (const auto& r : refservice::Requests("")) {
        if (r.target != "/rest/v1/ping.bson") continue;
        found = true;
        EXPECT_EQ(r.method, "GET");
        EXPECT_TRUE(r.Header("Authorization").empty());
        EXPECT_TRUE(r.body.empty());
    }
    EXPECT_TRUE(found);
}

// What each answer status leads to: a normal return, or an exception kind.
struct StatusCase {
    int status;
    bool failOpen;
    int kind;  // -1: normal return
    Lines lines;
    EventRecorder::Events events;
};

std::string StatusName(const ::testing::TestParamInfo<StatusCase>& info) {
    return std::to_string(info.param.status) + (info.param.failOpen ? "_FailOpen" : "_FailClosed");
}

class ExecutorStatus : public ExecutorService, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(ExecutorStatus, IsFinalAfterOneAttempt) {
    const StatusCase& c = GetParam();
    Load(R"({"operations": {"preauth": [{"http_status": )" + std::to_string(c.status) +
         (c.status == 204 ? R"(, "empty_body": true)" : "") +
         (c.status == 302 ? R"(, "headers": {"Location": "https://localhost/"})" : "") + "}]}}");
    session.config.failOpen = c.failOpen;
    EventRecorder events;
    LogCapture log;
    std::string response;
    int kind = -1;
    try {
        session.MakeRequest(VynOperation::Preauth, Preauth(), response, 10);
    } catch (const CINetException&) {
        kind = 100;
    } catch (const CVynException& e) {
        kind = e.GetKind();
        EXPECT_EQ(e.GetUserMessage(), DefaultUserMessage(kind));
    }
    EXPECT_EQ(kind, c.kind);
    EXPECT_EQ(log.Texts(), c.lines);
    EXPECT_EQ(events.events(), c.events);
    EXPECT_EQ(refservice::Requests(ikey).size(), 1u);
}

const char kAbort[] = "HTTP response status not understood; aborting";
const char kFailsafe[] = "Failsafe Vyn login: Vyn response not understood";

Lines Refused(int status) { return {"ERROR: Server returned non-success status: " + std::to_string(status), kAbort}; }
Lines FailedOpen(int status) {
    return {"ERROR: Server returned non-success status: " + std::to_string(status),
            "HTTP response status is a permanent failure; failing open", kFailsafe};
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, ExecutorStatus,
    ::testing::Values(
        StatusCase{200, true, -1, {"HTTP request completed successfully"}, {}},
        StatusCase{204, false, -1,
                   {"ERROR: Server returned non-success status: 204", "HTTP request completed successfully"}, {}},
        StatusCase{302, true, UnexpectedResponse, Refused(302), {}},
        StatusCase{401, true, UnexpectedResponse, Refused(401), {}},
        StatusCase{404, true, UnexpectedResponse, Refused(404), {}},
        StatusCase{401, false, UnexpectedResponse, Refused(401), {}},
        StatusCase{500, true, NoError, FailedOpen(500), {{EVENTLOG_ERROR_TYPE, kFailsafe}}},
        StatusCase{503, true, NoError, FailedOpen(503), {{EVENTLOG_ERROR_TYPE, kFailsafe}}},
        StatusCase{500, false, UnexpectedResponse, Refused(500), {}},
        StatusCase{503, false, UnexpectedResponse, Refused(503), {}}),
    StatusName);

// A session whose waiter gave up (the status dialog abandoned its worker)
// still fails open and logs, but raises no event; until then it reports.
TEST_F(ExecutorService, FailOpenOfAnAbandonedRequestIsLoggedWithoutAnEvent) {
    Load(R"({"operations": {"preauth": [{"http_status": 503, "repeat": -1}]}})");
    session.config.failOpen = true;
    auto abandoned = std::make_shared<std::atomic<bool>>(false);
    session.abandoned = abandoned;
    for (const bool given : {false, true}) {
        abandoned->store(given);
        EventRecorder events;
        LogCapture log;
        std::string response;
        try {
            session.MakeRequest(VynOperation::Preauth, Preauth(), response, 10);
            ADD_FAILURE() << "expected the fail-open exception";
        } catch (const CVynException& e) {
            EXPECT_EQ(e.GetKind(), NoError);
        }
        Lines expected = FailedOpen(503);
        if (given) expected.push_back("Event not reported: the authentication was abandoned before this outcome");
        EXPECT_EQ(log.Texts(), expected) << "abandoned: " << given;
        const EventRecorder::Events reported = {{EVENTLOG_ERROR_TYPE, kFailsafe}};
        EXPECT_EQ(events.events(), given ? EventRecorder::Events() : reported);
    }
}

TEST_F(ExecutorService, SecondAttemptSucceedsAfterABodyCutShort) {
    Load(R"({"users": {"bob": {"result": "auth", "status": "Account active"}},
             "operations": {"preauth": [{"drop_after_bytes": 12}]}})");
    session.config.failOpen = false;
    std::string clean;
    LogCapture log;
    std::string response;
    session.MakeRequest(VynOperation::Preauth, Preauth(), response, 10);
    const Lines lines = log.Texts();
    session.MakeRequest(VynOperation::Preauth, Preauth(), clean, 10);

    // Exactly one answer's body, without the first attempt's 12 bytes in front.
    EXPECT_TRUE(response == clean) << response.size() << " vs " << clean.size();
    EXPECT_EQ(lines, (Lines{"ERROR: Failure in system call 'WinHttpQueryDataAvailable' (12030)",
                            "Caught WinHttp exception", "Caught WinHttp exception; retrying up to limit",
                            "HTTP request completed successfully"}));
    EXPECT_EQ(refservice::Requests(ikey).size(), 3u);
}

TEST_F(ExecutorService, BodyCutShortOnEveryAttemptIsATransportFailure) {
    Load(R"({"operations": {"preauth": [{"drop_after_bytes": 12, "repeat": -1}]}})");
    session.config.failOpen = false;
    std::string response = "caller:";
    try {
        session.MakeRequest(VynOperation::Preauth, Preauth(), response, 10);
        FAIL() << "expected CINetException";
    } catch (const CINetException& e) {
        EXPECT_EQ(e.GetErrorCode(), 12030u);
    }
    // Neither the partial bodies nor anything else is left behind.
    EXPECT_EQ(response, "caller:");
    EXPECT_EQ(refservice::Requests(ikey).size(), 3u);
}

TEST_F(ExecutorService, UntrustedCertificateIsRetriedThenFails) {
    Load("{}");
    session.config.port = refservice::UntrustedPort();
    session.config.failOpen = false;
    std::string response;
    try {
        session.MakeRequest(VynOperation::Preauth, Preauth(), response, 10);
        FAIL() << "expected CINetException";
    } catch (const CINetException& e) {
        // The system's TLS fails the handshake (12157 on Wine) and hands each
        // attempt to the module's own client, which refuses the certificate.
        EXPECT_EQ(e.GetErrorCode(), 12175u);
    }
    EXPECT_TRUE(refservice::Requests(ikey).empty());
}

}  // namespace

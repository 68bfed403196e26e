// The transport against the reference service over TLS on loopback: requests
// as the service received them, statuses and bodies as the module got them.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>
#include <winhttp.h>

#include <cstdio>
#include <string>
#include <vector>

#include "auth/session.h"
#include "common/handles.h"
#include "diag/errors.h"
#include "net/signing.h"
#include "tests/support/log_capture.h"
#include "tests/support/refservice.h"
#include "tests/transport/service_session.h"
#include "tests/transport/winhttp_seam.h"

namespace {

using Lines = std::vector<std::string>;

const char kSkey[] = "transport-test-secret-0123456789abcdef";
const char kUserAgent[] = "VynGina/1.1.8 (Windows NT 6.1.7601 x64)";
const char kPreauth[] = "/rest/v1/preauth.bson";

bool HasHeader(const RecordedRequest& r, const std::string& name) {
    for (const auto& h : r.headers) {
        if (_stricmp(h.first.c_str(), name.c_str()) == 0) return true;
    }
    return false;
}

class TransportService : public ServiceSessionTest {
protected:
    TransportService() : ServiceSessionTest(kSkey) {}

    std::string Sign(const std::string& method, const std::string& path, const std::string& query) const {
        return FormatAuthHeader(ikey, kSkey, "localhost", method, path, query);
    }

    std::string Host() const { return "localhost:" + std::to_string(refservice::Port()); }
};

TEST_F(TransportService, PostCarriesTypedBodyAndSignature) {
    Load(R"({"users": {"corp\\alice": {"result": "auth", "status": "Account active"}}})");
    const std::string query = "ipaddr=192.0.2.10&user=corp%5Calice";
    const std::string header = Sign("POST", kPreauth, query);
    std::string response;
    EXPECT_EQ(session.MakeHttpRequest("POST", kPreauth, header, query, 10, response), 200);

    const auto requests = refservice::Requests(ikey);
    ASSERT_EQ(requests.size(), 1u);
    const auto& r = requests[0];
    EXPECT_EQ(r.listener, "main");
    EXPECT_EQ(r.method, "POST");
    EXPECT_EQ(r.target, kPreauth);
    EXPECT_EQ(r.Header("Host"), Host());
    EXPECT_EQ(r.Header("User-Agent"), kUserAgent);
    EXPECT_EQ("Authorization: " + r.Header("Authorization") + "\r\n", header);
    EXPECT_EQ(r.Header("Content-Type"), "application/x-www-form-urlencoded");
    EXPECT_EQ(r.body, query);

    // The whole BSON answer arrived: its declared length is its size.
    ASSERT_GE(response.size(), 5u);
    const auto declared = static_cast<uint32_t>(static_cast<uint8_t>(response[0])) |
                          static_cast<uint32_t>(static_cast<uint8_t>(response[1])) << 8 |
                          static_cast<uint32_t>(static_cast<uint8_t>(response[2])) << 16 |
                          static_cast<uint32_t>(static_cast<uint8_t>(response[3])) << 24;
    EXPECT_EQ(declared, response.size());
}

TEST_F(TransportService, GetCarriesParametersInTargetAndUntypedBody) {
    Load(R"({"answers": {"123456": {"txid": "TX 1/2"}}})");
    const std::string path = "/rest/v1/status.bson";
    const std::string query = "txid=TX%201%2F2";
    std::string response;
    // The transaction exists once an auth request created it.
    const std::string authQuery = "async=1&auto=123456&factor=auto&user=bob";
    ASSERT_EQ(session.MakeHttpRequest("POST", "/rest/v1/auth.bson", Sign("POST", "/rest/v1/auth.bson", authQuery),
                                      authQuery, 10, response),
              200);
    response.clear();
    EXPECT_EQ(session.MakeHttpRequest("GET", path + "?" + query, Sign("GET", path, query), query, 0, response), 200);

    const auto requests = refservice::Requests(ikey);
    ASSERT_EQ(requests.size(), 2u);
    const auto& r = requests[1];
    EXPECT_EQ(r.method, "GET");
    EXPECT_EQ(r.target, path + "?" + query);
    EXPECT_EQ(r.body, query);
    EXPECT_FALSE(HasHeader(r, "Content-Type"));
    EXPECT_EQ(r.Header("User-Agent"), kUserAgent);
    EXPECT_EQ("Authorization: " + r.Header("Authorization") + "\r\n", Sign("GET", path, query));
}

TEST_F(TransportService, PostWithoutBodyHasNoContentType) {
    Load("{}");
    std::string response;
    session.MakeHttpRequest("POST", kPreauth, Sign("POST", kPreauth, ""), "", 10, response);
    const auto requests = refservice::Requests(ikey);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_FALSE(HasHeader(requests[0], "Content-Type"));
    EXPECT_TRUE(requests[0].body.empty());
}

TEST_F(TransportService, EmptyExtraHeadersSendNoAuthorization) {
    // An unsigned request reaches the service as the ping does: recorded with
    // no tenant, so it is found by its unique target.
    const std::string target = "/rest/v1/ping.bson?probe=" + ikey;
    std::string response;
    EXPECT_EQ(session.MakeHttpRequest("GET", target, "", "", 0, response), 200);
    bool found = false;
    for (const auto& r : refservice::Requests("")) {
        if (r.target != target) continue;
        found = true;
        EXPECT_EQ(r.method, "GET");
        EXPECT_FALSE(HasHeader(r, "Authorization"));
        EXPECT_FALSE(HasHeader(r, "Content-Type"));
        EXPECT_TRUE(r.body.empty());
    }
    EXPECT_TRUE(found);
}

TEST_F(TransportService, RedirectComesBackUnfollowed) {
    Load(R"({"operations": {"preauth": [{"http_status": 302,
              "headers": {"Location": "https://localhost/rest/v1/ping.bson"}}]}})");
    LogCapture log;
    std::string response;
    const std::string query = "user=bob";
    EXPECT_EQ(session.MakeHttpRequest("POST", kPreauth, Sign("POST", kPreauth, query), query, 10, response), 302);
    EXPECT_EQ(log.Texts(), (Lines{"ERROR: Server returned non-success status: 302"}));
    EXPECT_EQ(refservice::Requests(ikey).size(), 1u);
}

TEST_F(TransportService, ErrorStatusIsReturnedWithItsBody) {
    Load(R"({"operations": {"preauth": [{"http_status": 401, "body_base64": "ZmF1bHQ="}]}})");
    LogCapture log;
    std::string response = "kept:";
    const std::string query = "user=bob";
    EXPECT_EQ(session.MakeHttpRequest("POST", kPreauth, Sign("POST", kPreauth, query), query, 10, response), 401);
    EXPECT_EQ(response, "kept:fault");  // appended to what the caller held
    EXPECT_EQ(log.Texts(), (Lines{"ERROR: Server returned non-success status: 401"}));
}

TEST_F(TransportService, EmptyBodyStillYieldsItsStatus) {
    Load(R"({"operations": {"preauth": [{"http_status": 204, "empty_body": true}]}})");
    std::string response;
    const std::string query = "user=bob";
    EXPECT_EQ(session.MakeHttpRequest("POST", kPreauth, Sign("POST", kPreauth, query), query, 10, response), 204);
    EXPECT_TRUE(response.empty());
}

// Bodies of bytes 0..255 (zeros included), far more than one read delivers:
// 64 KiB arrives whole; one byte more is a broken exchange, like a body cut
// short.
TEST_F(TransportService, BodiesUpTo64KiBArriveWholeAndLongerOnesAreBroken) {
    for (const size_t size : {size_t{64 * 1024}, size_t{64 * 1024 + 1}, size_t{1024 * 1024}}) {
        std::string bytes;
        for (size_t i = 0; i < size; ++i) bytes.push_back(static_cast<char>(i % 256));
        Load(R"({"operations": {"preauth": [{"body_base64": ")" + Base64Encode(bytes) + R"("}]}})");
        LogCapture log;
        std::string response;
        const std::string query = "user=bob";
        if (size == 64 * 1024) {
            EXPECT_EQ(session.MakeHttpRequest("POST", kPreauth, Sign("POST", kPreauth, query), query, 10, response),
                      200);
            EXPECT_TRUE(response == bytes) << response.size();
            continue;
        }
        try {
            session.MakeHttpRequest("POST", kPreauth, Sign("POST", kPreauth, query), query, 10, response);
            ADD_FAILURE() << size << " bytes passed for an answer";
        } catch (const CINetException& e) {
            EXPECT_EQ(e.GetErrorCode(), 12030u);
        }
        EXPECT_EQ(log.Texts(), (Lines{"ERROR: Failure in system call 'WinHttpReadData' (12030)"})) << size;
        // Reading stopped at the bound: nothing near the whole body is held.
        EXPECT_LT(response.size(), size_t{64 * 1024 + 64 * 1024}) << size;
    }
}

TEST_F(TransportService, DebugLinesFrameTheExchange) {
    Load("{}");
    const bool saved = gDebugLogging;
    gDebugLogging = true;
    LogCapture log;
    std::string response;
    const std::string query = "user=bob";
    session.MakeHttpRequest("POST", kPreauth, Sign("POST", kPreauth, query), query, 10, response);
    gDebugLogging = saved;
    EXPECT_EQ(log.Texts(), (Lines{"DEBUG: Entered CVynAuthSession::MakeHttpRequest",
                                  "DEBUG: Connected to localhost:" + std::to_string(refservice::Port()) +
                                      " through the system's TLS (WinHTTP)",
                                  "DEBUG: Leaving CVynAuthSession::MakeHttpRequest"}));
}

TEST_F(TransportService, ConnectionDroppedMidBodyIsATransportFailure) {
    Load(R"({"operations": {"preauth": [{"drop_after_bytes": 12}]}})");
    LogCapture log;
    std::string response = "caller:";
    const std::string query = "user=bob";
    try {
        session.MakeHttpRequest("POST", kPreauth, Sign("POST", kPreauth, query), query, 10, response);
        FAIL() << "a body cut short must not pass for a whole answer";
    } catch (const CINetException& e) {
        EXPECT_EQ(e.GetErrorCode(), 12030u);
    }
    EXPECT_EQ(log.Texts(), (Lines{"ERROR: Failure in system call 'WinHttpQueryDataAvailable' (12030)"}));
    // What arrived stays appended; the executor is the one that discards it.
    EXPECT_EQ(response.size(), std::string("caller:").size() + 12);
    EXPECT_EQ(response.rfind("caller:", 0), 0u);
}

BOOL WINAPI BrokenQueryDataAvailable(HINTERNET, LPDWORD) {
    ::SetLastError(12030);  // ERROR_WINHTTP_CONNECTION_ERROR
    return FALSE;
}

TEST_F(TransportService, FailureBeforeAnyBodyByteIsNotAnEmptyAnswer) {
    Load("{}");
    ScopedWinHttpApi api;
    api->QueryDataAvailable = BrokenQueryDataAvailable;
    LogCapture log;
    std::string response;
    const std::string query = "user=bob";
    try {
        session.MakeHttpRequest("POST", kPreauth, Sign("POST", kPreauth, query), query, 10, response);
        FAIL() << "expected CINetException";
    } catch (const CINetException& e) {
        EXPECT_EQ(e.GetErrorCode(), 12030u);
    }
    EXPECT_EQ(log.Texts(), (Lines{"ERROR: Failure in system call 'WinHttpQueryDataAvailable' (12030)"}));
}

// Passes the real counts on, but signals the end of the body with the
// end-of-data code instead of a zero count.
BOOL WINAPI EndOfDataQuery(HINTERNET request, LPDWORD available) {
    if (!RealWinHttpApi().QueryDataAvailable(request, available)) return FALSE;
    if (*available != 0) return TRUE;
    ::SetLastError(ERROR_NO_MORE_FILES);
    return FALSE;
}

TEST_F(TransportService, EndOfDataCodeEndsTheBodyQuietly) {
    Load("{}");
    ScopedWinHttpApi api;
    api->QueryDataAvailable = EndOfDataQuery;
    LogCapture log;
    std::string response;
    const std::string query = "user=bob";
    EXPECT_EQ(session.MakeHttpRequest("POST", kPreauth, Sign("POST", kPreauth, query), query, 10, response), 200);
    EXPECT_TRUE(log.Texts().empty());
    EXPECT_FALSE(response.empty());
}

struct CertificateCase {
    const char* name;
    uint16_t (*port)();
    const char* reason;  // the module's own client's line naming its refusal
};

class TransportCertificate : public TransportService, public ::testing::WithParamInterface<CertificateCase> {};

// By the system's TLS alone, and in automatic mode, where the failed system
// handshake hands the attempt to the module's own client, which refuses the
// certificate as well.
TEST_P(TransportCertificate, IsNeverAccepted) {
    Load("{}");
    session.config.port = GetParam().port();
    const std::string where = "localhost:" + std::to_string(session.config.port);
    // Wine's WinHTTP reports 12157 where Windows reports 12175 (or 12038 for the name).
    const std::string systemRefuses = "ERROR: Failure in system call 'WinHttpSendRequest' (12157)";
    const struct {
        TlsMode mode;
        DWORD code;
        Lines log;
    } rows[] = {
        {TlsMode::SystemOnly, 12157, {systemRefuses}},
        {TlsMode::Automatic, 12175,
         {systemRefuses, "WARNING: The system's TLS could not connect to " + where + "; trying the module's own TLS client",
          GetParam().reason, "ERROR: Failure in system call 'TLS handshake with " + where + "' (12175)"}},
    };
    for (const auto& row : rows) {
        session.config.tls = row.mode;
        LogCapture log;
        std::string response;
        const std::string query = "user=bob";
        try {
            session.MakeHttpRequest("POST", kPreauth, Sign("POST", kPreauth, query), query, 10, response);
            ADD_FAILURE() << "a certificate that does not check out must fail the request";
        } catch (const CINetException& e) {
            EXPECT_EQ(e.GetErrorCode(), row.code);
        }
        EXPECT_EQ(log.Texts(), row.log);
        EXPECT_TRUE(response.empty());
        EXPECT_TRUE(refservice::Requests(ikey).empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Certificates, TransportCertificate,
                         ::testing::Values(CertificateCase{"Untrusted", refservice::UntrustedPort,
                                                           "ERROR: The server's chain does not end at a root of "
                                                           "the machine's ROOT store"},
                                           CertificateCase{"WrongName", refservice::WrongNamePort,
                                                           "ERROR: The server's certificate does not name localhost"}),
                         [](const auto& info) { return std::string(info.param.name); });

// A cancel that lands just before an exchange starts: the cancel event is
// signalled and the Abort has come and gone while no exchange was under way.
// Each client tests the event once an Abort could reach the exchange, so the
// exchange still ends as cancelled, unsent, and uses the signal up; the next
// one is answered.
struct CancelledBeforeCase {
    const char* name;
    TlsMode mode;
    const char* failedCall;  // the call the failure line names ("%d": the service's port)
};

class CancelledBeforeTheExchange : public TransportService,
                                   public ::testing::WithParamInterface<CancelledBeforeCase> {};

TEST_P(CancelledBeforeTheExchange, EndsItUnsentAsCancelled) {
    Load("{}");
    session.config.tls = GetParam().mode;
    const unique_handle cancel(::CreateEventW(nullptr, FALSE, TRUE, nullptr));
    ASSERT_TRUE(cancel);
    session.requestCancelEvent = cancel.get();
    session.http.Abort();
    const std::string query = "user=bob";
    const std::string header = Sign("POST", kPreauth, query);
    std::string response;
    LogCapture log;
    try {
        session.MakeHttpRequest("POST", kPreauth, header, query, 10, response);
        FAIL() << "a cancelled exchange must not be answered";
    } catch (const CINetException& e) {
        EXPECT_EQ(e.GetErrorCode(), 12017u);
    }
    char call[128];
    std::snprintf(call, sizeof call, GetParam().failedCall, static_cast<int>(refservice::Port()));
    EXPECT_EQ(log.Texts(), (Lines{std::string("ERROR: Failure in system call '") + call + "' (12017)"}));
    EXPECT_TRUE(refservice::Requests(ikey).empty());
    EXPECT_EQ(::WaitForSingleObject(cancel.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));

    EXPECT_EQ(session.MakeHttpRequest("POST", kPreauth, header, query, 10, response), 200);
    EXPECT_EQ(refservice::Requests(ikey).size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Clients, CancelledBeforeTheExchange,
    ::testing::Values(CancelledBeforeCase{"SystemTls", TlsMode::SystemOnly, "WinHttpOpenRequest"},
                      CancelledBeforeCase{"ModuleTls", TlsMode::ModuleOnly, "Sending the request to localhost:%d"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

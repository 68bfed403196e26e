// The module's own TLS client against the reference service (the request on
// the wire, redirects, binary bodies), through a loopback CONNECT proxy, and
// against silent listeners (the time-out scopes and Abort).
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>
#include <winhttp.h>

#include <psa/crypto.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "auth/session.h"
#include "common/handles.h"
#include "diag/errors.h"
#include "net/builtin_tls.h"
#include "net/https_client.h"
#include "net/signing.h"
#include "tests/support/log_capture.h"
#include "tests/support/refservice.h"
#include "tests/transport/silent_listeners.h"
#include "tests/tls/tls_test_support.h"

namespace {

using namespace tls_test;

// --- Against the reference service ----------------------------------------------

TEST_F(BuiltinTls, SendsTheRequestWinHttpSends) {
    const std::string ikey = refservice::UniqueIkey();
    ASSERT_TRUE(refservice::LoadScenario(ikey, kSkey, "{}"));
    const std::string authorization = AuthorizationLine(ikey);
    const std::string body("a=1&b=\0x", 7);

    // The module's WinHTTP transport first, then this client.
    CVynAuthSession session("VynGina/1.1.8");
    session.config.host = "localhost";
    session.config.port = refservice::Port();
    session.OpenHttpSession();
    std::string winhttpAnswer;
    session.MakeHttpRequest("POST", "/rest/v1/ping.bson?x=1", authorization, body, 10, winhttpAnswer,
                            TimeoutScope::WholeExchange);
    CBuiltinTlsClient client;
    HttpsRequest post = Get(refservice::Port(), "/rest/v1/ping.bson?x=1");
    post.method = "POST";
    post.userAgent = session.http.UserAgent();
    post.headers = authorization;
    post.body = body;
    std::string answer;
    client.Send(post, answer);

    const auto requests = refservice::Requests(ikey);
    ASSERT_EQ(requests.size(), 2u);
    const RecordedRequest& winhttp = requests[0];
    const RecordedRequest& own = requests[1];
    EXPECT_EQ(own.method, winhttp.method);
    EXPECT_EQ(own.target, winhttp.target);
    EXPECT_EQ(own.body, body);
    EXPECT_EQ(own.body, winhttp.body);
    EXPECT_EQ(own.headers, winhttp.headers);  // the same lines in the same order
}

TEST_F(BuiltinTls, ReturnsRedirectsAndKeepsZeroBytes) {
    const std::string ikey = refservice::UniqueIkey();
    ASSERT_TRUE(refservice::LoadScenario(
        ikey, kSkey,
        R"({"operations": {"ping": [{"http_status": 302, "headers": {"Location": "https://localhost/elsewhere"}},
                                    {"body_base64": "AAEAAgAA"}]}})"));
    CBuiltinTlsClient client;
    HttpsRequest ping = Get(refservice::Port(), "/rest/v1/ping.bson");
    ping.headers = AuthorizationLine(ikey);
    std::string redirect, binary;
    LogCapture log;
    EXPECT_EQ(client.Send(ping, redirect), 302);
    EXPECT_EQ(client.Send(ping, binary), 200);
    EXPECT_EQ(binary, std::string("\0\1\0\2\0\0", 6));
    EXPECT_EQ(refservice::Requests(ikey).size(), 2u);  // the Location was not followed
    const auto lines = log.Texts();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "ERROR: Server returned non-success status: 302"), 1);
}

// --- Through a proxy -------------------------------------------------------------

// A loopback proxy that answers each CONNECT with `answer`; on a 200 it relays
// the tunnel to 127.0.0.1:<requested port> until either side closes.
class ConnectProxy {
public:
    explicit ConnectProxy(std::string answer) : answer_(std::move(answer)) {
        listener_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof(a));
        int length = sizeof(a);
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &length);
        port_ = ntohs(a.sin_port);
        ::listen(listener_, 4);
        run_ = [this] { Run(); };
        thread_ = StartThread(&run_);
    }
    ~ConnectProxy() {
        stopping_ = true;
        ::closesocket(listener_);
        ::WaitForSingleObject(thread_.get(), INFINITE);
    }
    uint16_t Port() const { return port_; }
    int Tunnels() const { return tunnels_; }
    // Ends the open tunnel as a server ends an idle connection.
    void DropTunnel() {
        const SOCKET s = current_.exchange(INVALID_SOCKET);
        if (s != INVALID_SOCKET) ::shutdown(s, SD_BOTH);
    }
    std::string LastConnectLine() const { return lastLine_; }

private:
    static bool Readable(SOCKET s) {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(s, &set);
        timeval wait = {0, 100000};
        return ::select(0, &set, nullptr, nullptr, &wait) == 1;
    }
    void Run() {
        while (!stopping_) {
            if (!Readable(listener_)) continue;
            SOCKET client = ::accept(listener_, nullptr, nullptr);
            if (client == INVALID_SOCKET) return;
            std::string request;
            char ch;
            while (request.find("\r\n\r\n") == std::string::npos && ::recv(client, &ch, 1, 0) == 1) request += ch;
            lastLine_ = request.substr(0, request.find("\r\n"));
            ++tunnels_;
            ::send(client, answer_.data(), static_cast<int>(answer_.size()), 0);
            current_ = client;
            if (answer_.compare(0, 12, "HTTP/1.1 200") == 0) Relay(client, request);
            current_ = INVALID_SOCKET;
            ::closesocket(client);
        }
    }
    void Relay(SOCKET client, const std::string& request) {
        const size_t colon = request.find(':');
        const int port = std::atoi(request.c_str() + colon + 1);
        SOCKET server = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<u_short>(port));
        if (::connect(server, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0) {
            char buffer[16384];
            while (!stopping_) {
                fd_set set;
                FD_ZERO(&set);
                FD_SET(client, &set);
                FD_SET(server, &set);
                timeval wait = {0, 100000};
                if (::select(0, &set, nullptr, nullptr, &wait) <= 0) continue;
                const SOCKET from = FD_ISSET(client, &set) ? client : server;
                const int n = ::recv(from, buffer, sizeof(buffer), 0);
                if (n <= 0) break;
                ::send(from == client ? server : client, buffer, n, 0);
            }
        }
        ::closesocket(server);
    }

    std::string answer_;
    SOCKET listener_ = INVALID_SOCKET;
    uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<int> tunnels_{0};
    std::atomic<SOCKET> current_{INVALID_SOCKET};
    std::string lastLine_;
    std::function<void()> run_;
    unique_handle thread_;
};

// Sets the prefix's WinHTTP proxy configuration for the test's life.
class MachineProxy {
public:
    MachineProxy(const std::wstring& proxy, const std::wstring& bypass) {
        ::WinHttpGetDefaultProxyConfiguration(&saved_);
        WINHTTP_PROXY_INFO info = {};
        info.dwAccessType = WINHTTP_ACCESS_TYPE_NAMED_PROXY;
        info.lpszProxy = const_cast<wchar_t*>(proxy.c_str());
        info.lpszProxyBypass = bypass.empty() ? nullptr : const_cast<wchar_t*>(bypass.c_str());
        EXPECT_TRUE(::WinHttpSetDefaultProxyConfiguration(&info));
    }
    ~MachineProxy() {
        ::WinHttpSetDefaultProxyConfiguration(&saved_);
        if (saved_.lpszProxy) ::GlobalFree(saved_.lpszProxy);
        if (saved_.lpszProxyBypass) ::GlobalFree(saved_.lpszProxyBypass);
    }

private:
    WINHTTP_PROXY_INFO saved_ = {};
};

struct ProxyCase {
    const char* name;
    const char* answer;
    const wchar_t* bypass;
    DWORD code;         // 0: the answer arrives
    int tunnels;        // CONNECT requests the proxy saw for two requests
    bool dropBetween = false;  // the tunnel is closed while idle between them
};

// A tunnel's answer whose header block never ends inside 64 KiB.
const std::string kEndlessConnectAnswer =
    "HTTP/1.1 200 Connection established\r\nX-Pad: " + std::string(64 * 1024, 'p') + "\r\n\r\n";

const ProxyCase kProxyCases[] = {
    {"TunnelKeepsOneConnection", "HTTP/1.1 200 Connection established\r\n\r\n", L"", 0, 1},
    {"ClosedWhileIdleIsReopened", "HTTP/1.1 200 Connection established\r\n\r\n", L"", 0, 2, true},
    {"ProxyAuthenticationRequired", "HTTP/1.1 407 Proxy Authentication Required\r\nContent-Length: 0\r\n\r\n", L"",
     12029, 2},
    {"BadGateway", "HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\n\r\n", L"", 12029, 2},
    {"MalformedAnswer", "SOCKS5 what?\r\n\r\n", L"", 12029, 2},
    {"AnswerOver64KiB", kEndlessConnectAnswer.c_str(), L"", 12029, 2},
    {"BypassLocal", "HTTP/1.1 502 Bad Gateway\r\n\r\n", L"<local>", 0, 0},
    {"BypassNamedHost", "HTTP/1.1 502 Bad Gateway\r\n\r\n", L"*.example.test; LOCALHOST", 0, 0},
};

class Proxy : public BuiltinTls, public ::testing::WithParamInterface<ProxyCase> {};

TEST_P(Proxy, FollowsTheMachineConfiguration) {
    const ProxyCase& c = GetParam();
    ConnectProxy proxy(c.answer);
    MachineProxy configured(L"http=127.0.0.1:1;https=127.0.0.1:" + std::to_wstring(proxy.Port()), c.bypass);
    // Two status-poll-like requests to the reference service, which keeps
    // connections open: through a working tunnel both share one.
    const std::string ikey = refservice::UniqueIkey();
    ASSERT_TRUE(refservice::LoadScenario(ikey, kSkey, "{}"));
    const uint16_t port = refservice::Port();
    HttpsRequest ping = Get(port, "/rest/v1/ping.bson");
    ping.headers = AuthorizationLine(ikey);
    CBuiltinTlsClient client;
    LogCapture log;
    for (int i = 0; i < 2; ++i) {
        if (c.code != 0) {
            EXPECT_EQ(FailureOf(client, ping), c.code);
            continue;
        }
        std::string body;
        EXPECT_EQ(client.Send(ping, body), 200);
        if (c.dropBetween) {
            proxy.DropTunnel();
            ::Sleep(200);
        }
    }
    EXPECT_EQ(refservice::Requests(ikey).size(), c.code == 0 ? 2u : 0u);
    EXPECT_EQ(proxy.Tunnels(), c.tunnels);
    if (c.tunnels > 0) {
        EXPECT_EQ(proxy.LastConnectLine(), "CONNECT localhost:" + std::to_string(port) + " HTTP/1.1");
    }
    if (c.code != 0) {
        const std::string name = "127.0.0.1:" + std::to_string(proxy.Port());
        const auto lines = log.Texts();
        EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string& l) {
            return l.compare(0, 6, "ERROR:") == 0 && l.find("proxy " + name) != std::string::npos;
        })) << "no error line names the proxy";
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, Proxy, ::testing::ValuesIn(kProxyCases),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Time-out scopes and Abort ----------------------------------------------------

struct TimingCase {
    const char* name;
    std::string scenario;  // the reference service's answer to a ping; "": a silent listener
    TimeoutScope scope;
    int32_t timeoutSeconds;
    DWORD code;            // 0: the answer arrives
    DWORD minMs, maxMs;    // elapsed
    int32_t answerSeconds = 0;
    // Whether the failure ends the wait for the answer to a sent request (a
    // held status poll, polled again rather than counted).
    bool awaitingAnswer = false;
};

const std::string kHeld = R"({"operations": {"ping": [{"delay_ms": 3000}]}})";
const std::string kStalledBody = R"({"operations": {"ping": [{"stall_after_bytes": 5, "hold_ms": 4000}]}})";
const std::string kCutBody = R"({"operations": {"ping": [{"drop_after_bytes": 5}]}})";
// Each byte well inside the one-second bound of each read; the whole body
// would take far longer than the exchange's deadline.
const std::string kTrickled = R"({"operations": {"ping": [{"trickle_ms": 300}]}})";

std::string BodyOf(size_t bytes) {
    return R"({"operations": {"ping": [{"body_base64": ")" + Base64Encode(std::string(bytes, 'v')) + R"("}]}})";
}

const TimingCase kTimings[] = {
    {"StalledHandshakeWholeExchange", "", TimeoutScope::WholeExchange, 1, 12002, 900, 2500},
    // The handshake belongs to the connection set-up, which a connect-only
    // time-out bounds as well.
    {"StalledHandshakeConnectOnly", "", TimeoutScope::ConnectOnly, 1, 12002, 900, 2500},
    {"HeldAnswerWholeExchange", kHeld, TimeoutScope::WholeExchange, 1, 12002, 900, 2500, 0, true},
    {"HeldAnswerConnectOnly", kHeld, TimeoutScope::ConnectOnly, 1, 0, 2900, 6000},
    // A status poll: connect-only with a long bound, its answer bounded alone.
    {"HeldPollBoundedByItsAnswerTime", kHeld, TimeoutScope::ConnectOnly, 10, 12002, 900, 2500, 1, true},
    {"StalledBodyWholeExchange", kStalledBody, TimeoutScope::WholeExchange, 1, 12002, 900, 2500, 0, true},
    // Every read inside its bound; the exchange ends at its deadline (the
    // bound plus the slack), not after the whole body.
    {"TrickledBodyEndsAtTheDeadline", kTrickled, TimeoutScope::WholeExchange, 1, 12002, 1200, 2500, 0, true},
    {"BodyCutShort", kCutBody, TimeoutScope::WholeExchange, 5, 12030, 0, 2500},
    {"BodyOf64KiBArrives", BodyOf(64 * 1024), TimeoutScope::WholeExchange, 5, 0, 0, 2500},
    {"BodyOver64KiBIsBroken", BodyOf(64 * 1024 + 1), TimeoutScope::WholeExchange, 5, 12030, 0, 2500},
};

class Timing : public BuiltinTls, public ::testing::WithParamInterface<TimingCase> {};

TEST_P(Timing, BoundsTheWaitsOfItsScope) {
    const TimingCase& c = GetParam();
    silent::NoTlsListener silent;
    const std::string ikey = refservice::UniqueIkey();
    std::string error;
    ASSERT_TRUE(refservice::LoadScenario(ikey, kSkey, c.scenario.empty() ? "{}" : c.scenario, &error)) << error;
    HttpsRequest request = Get(c.scenario.empty() ? silent.Port() : refservice::Port(), "/rest/v1/ping.bson");
    request.headers = AuthorizationLine(ikey);
    request.scope = c.scope;
    request.timeoutSeconds = c.timeoutSeconds;
    request.answerSeconds = c.answerSeconds;
    CBuiltinTlsClient client;
    const DWORD start = ::GetTickCount();
    DWORD code = 0;
    bool awaitingAnswer = false;
    std::string body;
    try {
        client.Send(request, body);
    } catch (const CINetException& e) {
        code = e.GetErrorCode();
        awaitingAnswer = e.TimedOutAwaitingAnswer();
    }
    const DWORD elapsed = ::GetTickCount() - start;
    EXPECT_EQ(code, c.code);
    EXPECT_EQ(awaitingAnswer, c.awaitingAnswer);
    // A body over the bound is never held whole.
    EXPECT_LE(body.size(), size_t{64 * 1024});
    EXPECT_GE(elapsed, c.minMs);
    EXPECT_LE(elapsed, c.maxMs);
    refservice::Release(ikey);
}

INSTANTIATE_TEST_SUITE_P(Cases, Timing, ::testing::ValuesIn(kTimings),
                         [](const auto& info) { return std::string(info.param.name); });

// Abort on the client itself, and on the HTTPS client that carries the
// request through it ("Tls" = 2): either reaches the Send in progress.
TEST_F(BuiltinTls, AbortEndsAHandshakeAtOnceAndOnlyThatSend) {
    for (const bool throughHttpsClient : {false, true}) {
        SCOPED_TRACE(throughHttpsClient ? "through CHttpsClient" : "the client itself");
        silent::NoTlsListener silent;
        CBuiltinTlsClient direct;
        CHttpsClient https("VynGina/1.1.8");
        https.Open();
        auto send = [&](const HttpsRequest& r, std::string& body) {
            return throughHttpsClient ? https.Send(r, body, TlsMode::ModuleOnly) : direct.Send(r, body);
        };
        HttpsRequest request = Get(silent.Port(), "/");
        request.timeoutSeconds = -1;
        std::function<void()> abort = [&] {
            while (silent.Accepted() == 0) ::Sleep(10);
            ::Sleep(200);
            if (throughHttpsClient)
                https.Abort();
            else
                direct.Abort();
        };
        unique_handle aborter = StartThread(&abort);
        const DWORD start = ::GetTickCount();
        DWORD code = 0;
        try {
            std::string body;
            send(request, body);
        } catch (const CINetException& e) {
            code = e.GetErrorCode();
        }
        EXPECT_EQ(code, 12017u);
        EXPECT_LE(::GetTickCount() - start, 1500u);
        ::WaitForSingleObject(aborter.get(), INFINITE);
        // The next Send is not cancelled by the Abort that came before it.
        std::string body;
        EXPECT_EQ(send(Get(static_cast<uint16_t>(VYN_TLS_PORT_BASE), "/answer.txt"), body), 200);
    }
}
// The TLS library's crypto core found stopped at a request (as after a start
// that failed) is started again then, not given up for the process's life.
TEST_F(BuiltinTls, TlsLibraryIsStartedAgainAtTheNextRequest) {
    std::string body;
    {
        CBuiltinTlsClient first;
        ASSERT_EQ(first.Send(Get(static_cast<uint16_t>(VYN_TLS_PORT_BASE), "/answer.txt"), body), 200);
    }
    mbedtls_psa_crypto_free();
    CBuiltinTlsClient second;
    body.clear();
    EXPECT_EQ(second.Send(Get(static_cast<uint16_t>(VYN_TLS_PORT_BASE), "/answer.txt"), body), 200);
    EXPECT_EQ(body, kAnswer);
}

}  // namespace

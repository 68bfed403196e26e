// The module's own TLS client against real servers: openssl s_server with each
// protocol, suite and certificate case; the reference service for the request
// on the wire, redirects and binary bodies; a loopback CONNECT proxy; and
// silent listeners for the time-out scopes and Abort.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>
#include <wincrypt.h>
#include <winhttp.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <iterator>
#include <string>
#include <functional>
#include <vector>

#include <psa/crypto.h>

#include "auth/session.h"
#include "common/handles.h"
#include "config/config.h"
#include "diag/errors.h"
#include "net/builtin_tls.h"
#include "net/crypt_handles.h"
#include "net/https_client.h"
#include "net/signing.h"
#include "net/tls/name_checks.h"
#include "net/tls/root_update.h"
#include "tests/support/log_capture.h"
#include "tests/support/refservice.h"
#include "tests/transport/silent_listeners.h"

namespace {

constexpr char kAnswer[] = "Answer of the TLS test server.\n";
constexpr char kSkey[] = "builtin-tls-secret";

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Adds a DER certificate to one of the local machine's system stores.
void AddToMachineStore(const wchar_t* store, const std::string& derPath) {
    const std::string der = ReadFile(derPath);
    ASSERT_FALSE(der.empty()) << derPath;
    HCERTSTORE s = ::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, store);
    ASSERT_NE(s, nullptr);
    EXPECT_TRUE(::CertAddEncodedCertificateToStore(s, X509_ASN_ENCODING,
                                                   reinterpret_cast<const BYTE*>(der.data()),
                                                   static_cast<DWORD>(der.size()), CERT_STORE_ADD_REPLACE_EXISTING,
                                                   nullptr));
    ::CertCloseStore(s, 0);
}

// Takes a DER certificate out of one of the local machine's system stores,
// by deleting its registry key: Wine's CertDeleteCertificateFromStore on a
// system store does not reach the registry.
void RemoveFromMachineStore(const wchar_t* store, const std::string& derPath) {
    const std::string der = ReadFile(derPath);
    unique_cert_context certificate(::CertCreateCertificateContext(
        X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()), static_cast<DWORD>(der.size())));
    ASSERT_TRUE(certificate) << derPath;
    BYTE hash[20];
    DWORD size = sizeof(hash);
    ASSERT_TRUE(::CertGetCertificateContextProperty(certificate.get(), CERT_SHA1_HASH_PROP_ID, hash, &size));
    std::wstring key = std::wstring(L"SOFTWARE\\Microsoft\\SystemCertificates\\") + store + L"\\Certificates\\";
    for (BYTE b : hash) {
        wchar_t digits[3];
        ::wsprintfW(digits, L"%02X", b);
        key += digits;
    }
    const LONG rc = ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, key.c_str());
    EXPECT_TRUE(rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND) << rc;
}

// Trusts a root in the local machine's "ROOT" store with every purpose
// disabled, as "Disable all purposes for this certificate" in the
// Certificates console leaves it.
void AddRootWithPurposesDisabled(const std::string& derPath) {
    const std::string der = ReadFile(derPath);
    unique_cert_context root(::CertCreateCertificateContext(
        X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()), static_cast<DWORD>(der.size())));
    ASSERT_TRUE(root) << derPath;
    CERT_ENHKEY_USAGE none = {};
    ASSERT_TRUE(::CertSetEnhancedKeyUsage(root.get(), &none));
    unique_hcertstore s(::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"ROOT"));
    ASSERT_TRUE(s);
    EXPECT_TRUE(::CertAddCertificateContextToStore(s.get(), root.get(), CERT_STORE_ADD_REPLACE_EXISTING, nullptr));
}

// "Authorization: Basic base64(ikey:signature)": the service files the request
// under the tenant (a ping's signature is not checked).
std::string AuthorizationLine(const std::string& ikey) {
    static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const std::string in = ikey + ":0000";
    std::string out;
    for (size_t i = 0; i < in.size(); i += 3) {
        const size_t n = std::min<size_t>(3, in.size() - i);
        unsigned v = 0;
        for (size_t k = 0; k < 3; ++k) v = (v << 8) | (k < n ? static_cast<unsigned char>(in[i + k]) : 0u);
        for (size_t k = 0; k < 4; ++k) out += k <= n ? kDigits[(v >> (18 - 6 * k)) & 63] : '=';
    }
    return "Authorization: Basic " + out + "\r\n";
}

// A thread running `body` (this toolchain's thread model has no std::thread);
// joined by waiting on the handle.
unique_handle StartThread(std::function<void()>* body) {
    return unique_handle(::CreateThread(
        nullptr, 0, [](LPVOID p) -> DWORD { (*static_cast<std::function<void()>*>(p))(); return 0; }, body, 0,
        nullptr));
}

HttpsRequest Get(uint16_t port, const std::string& objectName) {
    HttpsRequest r;
    r.host = "localhost";
    r.port = port;
    r.userAgent = "VynGina/1.1.8";
    r.method = "GET";
    r.objectName = objectName;
    r.timeoutSeconds = 10;
    return r;
}

// The code of the CINetException a Send throws; 0 when it returns.
DWORD FailureOf(CBuiltinTlsClient& client, const HttpsRequest& request) {
    std::string body;
    try {
        client.Send(request, body);
    } catch (const CINetException& e) {
        return e.GetErrorCode();
    }
    return 0;
}

class BuiltinTls : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        WSADATA data;
        ::WSAStartup(MAKEWORD(2, 2), &data);
        gDebugLogging = true;
        // The ECDSA chain's CA is trusted here; the RSA leaves come from the
        // reference service's CA, which the prefix already trusts.
        AddToMachineStore(L"ROOT", std::string(VYN_TLS_PKI) + "/ecdsa-ca.der");
        AddToMachineStore(L"Disallowed", std::string(VYN_TLS_PKI) + "/disallowed.der");
        AddToMachineStore(L"Disallowed", std::string(VYN_TLS_PKI) + "/denied-ca.der");
        AddRootWithPurposesDisabled(std::string(VYN_TLS_PKI) + "/purpose-ca.der");
    }
};

// --- Handshakes ---------------------------------------------------------------

constexpr DWORD kWineAccepts = 0;

struct HandshakeCase {
    const char* name;
    int portOffset;   // tests/tls/tls_servers.sh.in
    DWORD code;       // 0: connects
    const char* version;
    const char* host = "localhost";
    // The reason the module's own client logs for its refusal.
    const char* reason = nullptr;
    // What the WinHTTP path gets under Wine, where it refuses (12157 for
    // every certificate problem, 12175 on Windows). kWineAccepts where Wine
    // accepts what Windows refuses: not run, as Wine's WinHTTP then waits on
    // s_server's answer beyond any bound.
    DWORD winhttp = kWineAccepts;
};

const char kClientAuthOnlyAtDepth1[] =
    "ERROR: A certificate of the server's chain (depth 1) is not valid for server authentication (its extended key "
    "usage)";
const char kClientAuthOnlyAtDepth0[] =
    "ERROR: A certificate of the server's chain (depth 0) is not valid for server authentication (its extended key "
    "usage)";

const HandshakeCase kHandshakes[] = {
    {"Tls13", 0, 0, "TLSv1.3"},
    {"Tls12EcdheRsaAes128Gcm", 1, 0, "TLSv1.2"},
    {"Tls12ChaCha20Poly1305", 2, 0, "TLSv1.2"},
    {"EcdsaCertificate", 3, 0, "TLSv1.2"},
    {"Tls10OnlyServer", 4, 12157, nullptr},
    {"UntrustedIssuer", 5, 12175, nullptr},
    {"CertificateForAnotherName", 6, 12175, nullptr},
    {"ExpiredCertificate", 7, 12175, nullptr},
    {"CertificateInDisallowedStore", 8, 12175, nullptr},
    // A TLS 1.2 server that picks its own signature scheme signs with RSA-PSS.
    {"Tls12ServerPreferringRsaPss", 9, 0, "TLSv1.2"},
    // An address is matched against the certificate's IP address entries.
    {"AddressInIpSan", 1, 0, "TLSv1.2", "127.0.0.1"},
    {"AddressWithoutIpSan", 6, 12175, nullptr, "127.0.0.1", "ERROR: The server's certificate does not name 127.0.0.1",
     12157},
    // What Windows refuses and the TLS library alone would accept.
    {"RootWithServerAuthDisabled", 10, 12175, nullptr, "localhost",
     "ERROR: The root certificate \"VynGina Test purpose-ca\" of the server's chain is not enabled for server "
     "authentication in the machine's ROOT store",
     kWineAccepts},
    {"IntermediateWithClientAuthOnly", 11, 12175, nullptr, "localhost", kClientAuthOnlyAtDepth1, kWineAccepts},
    {"ConstrainedIntermediateNamesOutside", 12, 12175, nullptr, "localhost",
     "ERROR: A certificate of the server's chain (depth 0) names localhost outside the name constraints of the CA "
     "at depth 1",
     12157},
    {"ConstrainedIntermediateAddressOutside", 19, 12175, nullptr, "127.0.0.1",
     "ERROR: A certificate of the server's chain (depth 0) names 127.0.0.1 outside the name constraints of the CA "
     "at depth 1",
     12157},
    {"ConstrainedIntermediateInside", 13, 0, "TLSv1.3"},
    {"ConstrainedIntermediateInsideByAddress", 13, 0, "TLSv1.3", "127.0.0.1"},
    {"LeafWithClientAuthOnly", 14, 12175, nullptr, "localhost", kClientAuthOnlyAtDepth0, 12157},
    // The TLS library's own checks of the leaf are refusals of the certificate too.
    {"LeafKeyUsageWithoutSignature", 20, 12175, nullptr, "localhost",
     "ERROR: The server's certificate does not allow its key to be used for this connection (its key usage)",
     12157},
    // A wildcard label never stands for part of an address.
    {"WildcardOverAnAddress", 15, 12175, nullptr, "127.0.0.1",
     "ERROR: The server's certificate does not name 127.0.0.1", kWineAccepts},
    {"IntermediateInDisallowedStore", 16, 12175, nullptr, "localhost",
     "ERROR: A certificate of the server's chain (depth 1) is in the machine's Disallowed store", kWineAccepts},
    // The server refuses any SNI but its own, and takes a hello without one:
    // an address is sent as none, a name as itself.
    {"AddressSendsNoSni", 18, 0, "TLSv1.3", "127.0.0.1"},
    {"NameSendsItsSni", 18, 12157, nullptr},
};

class Handshake : public BuiltinTls, public ::testing::WithParamInterface<HandshakeCase> {};

TEST_P(Handshake, ConnectsOrRefusesWithTheWinHttpCode) {
    const HandshakeCase& c = GetParam();
    const uint16_t port = static_cast<uint16_t>(VYN_TLS_PORT_BASE + c.portOffset);
    CBuiltinTlsClient client;
    LogCapture log;
    HttpsRequest request = Get(port, "/answer.txt");
    request.host = c.host;
    std::string body = "kept|";
    if (c.code != 0) {
        EXPECT_EQ(FailureOf(client, request), c.code);
        EXPECT_FALSE(client.HandshakeCompleted());
        if (c.reason) {
            const auto lines = log.Texts();
            EXPECT_EQ(std::count(lines.begin(), lines.end(), c.reason), 1) << c.reason;
        }
        if (c.winhttp != kWineAccepts) {
            CHttpsClient https("VynGina/1.1.8");
            https.Open();
            std::string ignored;
            DWORD winhttp = 0;
            try {
                https.Send(request, ignored, TlsMode::SystemOnly);
            } catch (const CINetException& e) {
                winhttp = e.GetErrorCode();
            }
            EXPECT_EQ(winhttp, c.winhttp) << "the WinHTTP path";
        }
        return;
    }
    EXPECT_EQ(client.Send(request, body), 200);
    EXPECT_EQ(body, std::string("kept|") + kAnswer);
    EXPECT_TRUE(client.HandshakeCompleted());
    const std::string expected = "DEBUG: Connected to " + std::string(c.host) + ":" + std::to_string(port) +
                                 " through the module's own TLS client (" + c.version + ")";
    const auto lines = log.Texts();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), expected), 1) << expected;
}

INSTANTIATE_TEST_SUITE_P(Servers, Handshake, ::testing::ValuesIn(kHandshakes),
                         [](const auto& info) { return std::string(info.param.name); });

// The wildcard rules, each row a name the host table cannot serve on loopback.
struct WildcardCase {
    const char* pattern;
    const char* host;
    bool matches;
};

const WildcardCase kWildcards[] = {
    {"*.vyngina.test", "Logon.VYNGINA.test", true},
    {"*.vyngina.test", "a.b.vyngina.test", false},  // one label only
    {"*.vyngina.test", "vyngina.test", false},      // not the name itself
    {"*.test", "vyngina.test", false},              // two labels after it at least
    {"*.test.", "vyngina.test.", false},
    {"l*.vyngina.test", "logon.vyngina.test", false},  // not part of a label
    {"logon.*.test", "logon.vyngina.test", false},     // left-most label only
    {"*.0.0.1", "127.0.0.1", false},                   // an address, even taken for a name
};

TEST(HostNames, WildcardCoversOneLeftMostLabelOverTwoOrMore) {
    for (const WildcardCase& c : kWildcards) {
        EXPECT_EQ(DnsNameMatches(c.pattern, c.host), c.matches) << c.pattern << " for " << c.host;
    }
}

// --- A root the store has not fetched yet -------------------------------------------

// Stands in for Windows' chain engine: records the call, adds the root to the
// machine's store as Windows' root update does, then builds the real chain.
struct FetchingEngine {
    static int calls;
    static HCERTCHAINENGINE engine;
    static std::string endName;
    static BOOL WINAPI GetChain(HCERTCHAINENGINE e, PCCERT_CONTEXT certificate, LPFILETIME time, HCERTSTORE others,
                                PCERT_CHAIN_PARA para, DWORD flags, LPVOID reserved, PCCERT_CHAIN_CONTEXT* chain) {
        ++calls;
        engine = e;
        char name[128] = "";
        ::CertGetNameStringA(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name, sizeof(name));
        endName = name;
        AddToMachineStore(L"ROOT", std::string(VYN_TLS_PKI) + "/fetch-ca.der");
        return ::CertGetCertificateChain(e, certificate, time, others, para, flags, reserved, chain);
    }
};
int FetchingEngine::calls = 0;
HCERTCHAINENGINE FetchingEngine::engine = nullptr;
std::string FetchingEngine::endName;

TEST_F(BuiltinTls, LetsWindowsFetchAMissingRootOncePerProcess) {
    const std::string root = std::string(VYN_TLS_PKI) + "/fetch-ca.der";
    RemoveFromMachineStore(L"ROOT", root);
    const RootUpdateApi saved = gRootUpdateApi;
    gRootUpdateApi.getChain = FetchingEngine::GetChain;
    const uint16_t fetchPort = static_cast<uint16_t>(VYN_TLS_PORT_BASE + 17);
    std::string body;
    {
        // A root the store holds: Windows is not asked.
        CBuiltinTlsClient client;
        EXPECT_EQ(client.Send(Get(static_cast<uint16_t>(VYN_TLS_PORT_BASE), "/answer.txt"), body), 200);
        EXPECT_EQ(FetchingEngine::calls, 0);
    }
    {
        // The missing root: Windows builds the chain, then the store is
        // looked at again and holds it.
        CBuiltinTlsClient client;
        EXPECT_EQ(client.Send(Get(fetchPort, "/answer.txt"), body), 200);
        EXPECT_EQ(FetchingEngine::calls, 1);
        EXPECT_EQ(FetchingEngine::engine, HCCE_LOCAL_MACHINE);
        EXPECT_EQ(FetchingEngine::endName, "fetch");
    }
    RemoveFromMachineStore(L"ROOT", root);
    {
        // Once per process: the same missing root again is refused at once.
        CBuiltinTlsClient client;
        EXPECT_EQ(FailureOf(client, Get(fetchPort, "/answer.txt")), 12175u);
        EXPECT_EQ(FetchingEngine::calls, 1);
        EXPECT_EQ(FetchMissingRoot({ReadFile(std::string(VYN_TLS_PKI) + "/fetch.der")}), RootFetch::AlreadyTried);
    }
    gRootUpdateApi = saved;
}

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
    bool dropBetween;   // the tunnel is closed while idle between them
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

// --- Framing, against the scripted server (tests/tls/scripted_server.py) --------

constexpr int kScriptedOffset = 22;

struct FramingCase {
    const char* name;
    const char* script;   // the first segment of the path, which picks the server's answer
    int sends;            // requests made through one client; each but the last must succeed
    DWORD code;           // the last request's failure; 0: it succeeds too
    const char* seen;     // "<requests> <connections>" the server saw carry the path
    const char* notified = nullptr;  // connections the client ended with close_notify; null: not asked
    bool abort = false;   // Abort once the server holds the request
};

const FramingCase kFramings[] = {
    // The bound holds for the framing bytes, not only the data.
    {"EndlessChunkSizeDigits", "endless-chunk-size", 1, 12030, "1 1"},
    {"EndlessTrailer", "endless-trailer", 1, 12030, "1 1"},
    // An answer without a length cut by a bare TCP close is not whole.
    {"FinWithoutCloseNotify", "fin-without-close-notify", 1, 12030, "1 1"},
    // Both framings: the next request goes on a new connection.
    {"BothTransferEncodingAndLength", "te-and-cl", 2, 0, "2 2"},
    // The server closes the kept connection after reading the second request:
    // it fails, and is not sent again on a new connection.
    {"WrittenRequestIsNotSentAgain", "second-dropped", 2, 12030, "2 1"},
    {"ClosedWithCloseNotify", "plain", 1, 0, "1 1", "1"},
    {"AbortWhileTheAnswerIsAwaited", "held", 1, 12017, "1 1", nullptr, true},
};

class Framing : public BuiltinTls, public ::testing::WithParamInterface<FramingCase> {
protected:
    static constexpr uint16_t kPort = static_cast<uint16_t>(VYN_TLS_PORT_BASE + kScriptedOffset);

    // The scripted server's answer to a question about `path`, on a connection
    // of its own; asked until it reads `expected` (the server records a
    // connection's end after the client has gone) or for 3 s.
    static std::string Ask(const std::string& question, const std::string& expected) {
        std::string answer;
        for (int i = 0; i < 30; ++i) {
            CBuiltinTlsClient asker;
            answer.clear();
            try {
                asker.Send(Get(kPort, question), answer);
            } catch (const CINetException& e) {
                answer = "failed with " + std::to_string(e.GetErrorCode());
            }
            if (answer == expected) break;
            ::Sleep(100);
        }
        return answer;
    }
};

TEST_P(Framing, EndsEachAnswerWhereItsFramingEnds) {
    const FramingCase& c = GetParam();
    const std::string path = std::string("/") + c.script + "/" + std::to_string(::GetCurrentProcessId()) + "-" +
                             std::to_string(::GetTickCount());
    const DWORD start = ::GetTickCount();
    {
        CBuiltinTlsClient client;
        std::function<void()> abort = [&] {
            Ask("/seen?" + path, c.seen);
            client.Abort();
        };
        unique_handle aborter;
        if (c.abort) aborter = StartThread(&abort);
        for (int i = 1; i <= c.sends; ++i) {
            SCOPED_TRACE("request " + std::to_string(i));
            std::string body;
            DWORD code = 0;
            try {
                EXPECT_EQ(client.Send(Get(kPort, path), body), 200);
            } catch (const CINetException& e) {
                code = e.GetErrorCode();
            }
            EXPECT_EQ(code, i == c.sends ? c.code : 0u);
            if (code == 0) {
                EXPECT_EQ(body, "whole");
            }
        }
        if (aborter) ::WaitForSingleObject(aborter.get(), INFINITE);
    }  // the client closes its connection here
    // Every failure comes from a bound of framing or from Abort, not from the
    // request's 10 s time-out.
    EXPECT_LE(::GetTickCount() - start, 5000u);
    EXPECT_EQ(Ask("/seen?" + path, c.seen), c.seen);
    if (c.notified) {
        EXPECT_EQ(Ask("/notified?" + path, c.notified), c.notified);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, Framing, ::testing::ValuesIn(kFramings),
                         [](const auto& info) { return std::string(info.param.name); });

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

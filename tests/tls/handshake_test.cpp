// The module's own TLS client's handshakes against openssl s_server: each
// protocol, suite and certificate case, the names a chain may carry, and the
// root Windows is asked for.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>
#include <wincrypt.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "common/handles.h"
#include "config/config.h"
#include "diag/errors.h"
#include "net/builtin_tls.h"
#include "net/https_client.h"
#include "net/tls/name_checks.h"
#include "net/tls/root_update.h"
#include "tests/support/log_capture.h"
#include "tests/tls/tls_test_support.h"

namespace {

using namespace tls_test;

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

// The reasons of the library's own refusals.
const char kUntrusted[] = "ERROR: The server's chain does not end at a root of the machine's ROOT store";
const char kExpired[] = "ERROR: A certificate of the server's chain is outside its validity period";
const char kNotCarried[] =
    "ERROR: A certificate of the server's chain uses a key or signature algorithm this client does not carry";
const char kWeakKey[] =
    "ERROR: A certificate of the server's chain has a key too weak for this client (RSA under 2048 bits, or a curve "
    "it does not accept)";
const char kConstraintsUnchecked[] =
    "ERROR: The name constraints of the CA at depth 1 of the server's chain cannot be checked by this client "
    "(unreadable, an empty list, or a kind of name it does not check)";
const char kLocalhostExcluded[] =
    "ERROR: A certificate of the server's chain (depth 0) names localhost outside the name constraints of the CA at "
    "depth 1";

const HandshakeCase kHandshakes[] = {
    {"Tls13", 0, 0, "TLSv1.3"},
    {"Tls12EcdheRsaAes128Gcm", 1, 0, "TLSv1.2"},
    {"Tls12ChaCha20Poly1305", 2, 0, "TLSv1.2"},
    {"EcdsaCertificate", 3, 0, "TLSv1.2"},
    {"Tls10OnlyServer", 4, 12157, nullptr},
    {"UntrustedIssuer", 5, 12175, nullptr, "localhost", kUntrusted},
    {"CertificateForAnotherName", 6, 12175, nullptr, "localhost",
     "ERROR: The server's certificate does not name localhost"},
    {"ExpiredCertificate", 7, 12175, nullptr, "localhost", kExpired},
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
    // Keys and signatures the TLS library cannot read, and a weak key: each a
    // refused certificate, as Windows reports it, with its reason.
    {"Secp256k1Intermediate", 23, 12175, nullptr, "localhost", kNotCarried},
    {"BrainpoolIntermediate", 24, 12175, nullptr, "localhost", kNotCarried},
    {"Ed25519Intermediate", 25, 12175, nullptr, "localhost", kNotCarried},
    {"Md5Signature", 26, 12175, nullptr, "localhost", kNotCarried},
    {"Rsa1024Key", 27, 12175, nullptr, "localhost", kWeakKey},
    // Name constraints this client cannot check refuse the chain.
    {"ConstraintOfDirectoryName", 28, 12175, nullptr, "localhost", kConstraintsUnchecked},
    {"ConstraintOfEmailAddress", 29, 12175, nullptr, "localhost", kConstraintsUnchecked},
    {"ConstraintOfUri", 30, 12175, nullptr, "localhost", kConstraintsUnchecked},
    {"ConstraintOfOtherName", 31, 12175, nullptr, "localhost", kConstraintsUnchecked},
    {"EmptyPermittedList", 32, 12175, nullptr, "localhost", kConstraintsUnchecked},
    // Excluded subtrees, and one trailing dot dropped from constraints and names.
    {"ExcludedNameWithTrailingDot", 33, 12175, nullptr, "localhost", kLocalhostExcluded},
    {"ExcludedAddress", 34, 12175, nullptr, "127.0.0.1",
     "ERROR: A certificate of the server's chain (depth 0) names 127.0.0.1 outside the name constraints of the CA "
     "at depth 1"},
    {"LeafNameWithTrailingDotExcluded", 35, 12175, nullptr, "localhost",
     "ERROR: A certificate of the server's chain (depth 0) names logon.vyngina.test outside the name constraints of "
     "the CA at depth 1"},
    {"PermittedNameWithTrailingDot", 36, 0, "TLSv1.3"},
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
        AddToMachineStore(L"ROOT", Pki("fetch-ca.der"));
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

// --- A root whose CA issuers URL never answers ----------------------------------

constexpr int kAiaOffset = 37;       // the leaf whose CA issuers URL names the hold port
constexpr int kScriptedPort = 22;   // the scripted server, which counts the hold port's connections

int HoldAccepted() {
    CBuiltinTlsClient asker;
    std::string answer;
    try {
        asker.Send(Get(TlsPort(kScriptedPort), "/hold-accepted"), answer);
    } catch (const CINetException&) {
        return -1;
    }
    return std::atoi(answer.c_str());
}

struct AiaCase {
    const char* name;
    const char* host;
    int32_t timeoutSeconds;  // whole exchange; -1: unbounded
    bool abort;              // Abort once the hold port has accepted Windows' request
    DWORD code;
    DWORD maxMs;             // from the start, or from the Abort
    bool asked;              // whether Windows fetched the URL
};

const AiaCase kAiaCases[] = {
    // Winlogon's bound holds: the wait ends at the attempt's deadline (2 s
    // and the slack), however long Windows would wait for the URL.
    {"DeadlineEndsTheSearch", "localhost", 2, false, 12002, 3000, true},
    // Cancel ends it within the dialog's second.
    {"AbortEndsTheSearch", "localhost", -1, true, 12017, 1000, true},
    // A leaf that does not name the host costs no search at all: refused well
    // before the 10 s a search could take, even on a busy machine.
    {"NoSearchForALeafNotNamingTheHost", "127.0.0.1", 10, false, 12175, 5000, false},
};

// Counts the chain builds this process asks Windows for. The hold port's count
// is shared by every test process running at the time, so it can only show
// that a search happened, never that none did.
class AiaSearch : public BuiltinTls, public ::testing::WithParamInterface<AiaCase> {
protected:
    void SetUp() override {
        BuiltinTls::SetUp();
        saved_ = gRootUpdateApi;
        forward_ = saved_.getChain;
        builds_ = 0;
        gRootUpdateApi.getChain = [](HCERTCHAINENGINE e, PCCERT_CONTEXT certificate, LPFILETIME time, HCERTSTORE others,
                                     PCERT_CHAIN_PARA para, DWORD flags, LPVOID reserved,
                                     PCCERT_CHAIN_CONTEXT* chain) -> BOOL {
            ++builds_;
            return forward_(e, certificate, time, others, para, flags, reserved, chain);
        };
    }
    void TearDown() override {
        gRootUpdateApi = saved_;
        BuiltinTls::TearDown();
    }
    static std::atomic<int> builds_;
    static decltype(&::CertGetCertificateChain) forward_;

private:
    RootUpdateApi saved_{};
};
std::atomic<int> AiaSearch::builds_{0};
decltype(&::CertGetCertificateChain) AiaSearch::forward_ = nullptr;

TEST_P(AiaSearch, NeverHoldsTheAttemptPastItsBound) {
    const AiaCase& c = GetParam();
    const int acceptedBefore = HoldAccepted();
    ASSERT_GE(acceptedBefore, 0);
    CBuiltinTlsClient client;
    HttpsRequest request = Get(TlsPort(kAiaOffset), "/answer.txt");
    request.host = c.host;
    request.scope = TimeoutScope::WholeExchange;
    request.timeoutSeconds = c.timeoutSeconds;
    DWORD abortedAt = 0;
    // Cancel once this process has asked Windows and the hold port has taken
    // a request (the count alone may be another test process's).
    std::function<void()> abort = [&] {
        for (int i = 0; i < 100 && (builds_ == 0 || HoldAccepted() <= acceptedBefore); ++i) ::Sleep(50);
        abortedAt = ::GetTickCount();
        client.Abort();
    };
    unique_handle aborter;
    if (c.abort) aborter = StartThread(&abort);
    LogCapture log;
    const DWORD start = ::GetTickCount();
    EXPECT_EQ(FailureOf(client, request), c.code);
    const DWORD end = ::GetTickCount();
    if (aborter) ::WaitForSingleObject(aborter.get(), INFINITE);
    EXPECT_LE(end - (c.abort ? abortedAt : start), c.maxMs);
    EXPECT_EQ(builds_ > 0, c.asked);
    if (c.asked) {
        EXPECT_GT(HoldAccepted(), acceptedBefore);
    }
    if (!c.asked) {
        const auto lines = log.Texts();
        EXPECT_EQ(std::count(lines.begin(), lines.end(), "ERROR: The server's certificate does not name 127.0.0.1"), 1);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, AiaSearch, ::testing::ValuesIn(kAiaCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A peer naming a new issuer on every connection gets Windows asked for a few
// of them, then for none: each self-signed certificate is an issuer of its own.
TEST(RootFetchLimit, AsksWindowsForFourDistinctIssuersAtMost) {
    static int calls = 0;
    const RootUpdateApi saved = gRootUpdateApi;
    gRootUpdateApi.getChain = [](HCERTCHAINENGINE e, PCCERT_CONTEXT certificate, LPFILETIME time, HCERTSTORE others,
                                 PCERT_CHAIN_PARA para, DWORD flags, LPVOID reserved,
                                 PCCERT_CHAIN_CONTEXT* chain) -> BOOL {
        ++calls;
        return ::CertGetCertificateChain(e, certificate, time, others, para, flags, reserved, chain);
    };
    const RootFetch expected[] = {RootFetch::NotFound,     RootFetch::NotFound,     RootFetch::NotFound,
                                  RootFetch::NotFound,     RootFetch::LimitReached, RootFetch::LimitReached};
    for (int n = 1; n <= 6; ++n) {
        const std::string file = "budget-" + std::to_string(n) + ".der";
        EXPECT_EQ(FetchMissingRoot({ReadFile(Pki(file.c_str()))}, 5000), expected[n - 1]) << file;
    }
    EXPECT_EQ(FetchMissingRoot({ReadFile(Pki("budget-1.der"))}, 5000), RootFetch::AlreadyTried);
    EXPECT_EQ(calls, 4);
    gRootUpdateApi = saved;
}

}  // namespace

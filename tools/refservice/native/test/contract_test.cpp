// The requests kept for the tests, the contract's plain parts, TLS bounds and the command line.
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include <gtest/gtest.h>

#include "test/client.h"

namespace {

using namespace vynref;
using namespace refservice_test;

// ---------------------------------------------------------------------------
// Records and the rest of the contract

TEST(Records, RequestsAreKeptExactlyAsReceived) {
    const std::string ikey = UniqueIkey();
    Load(ikey, kSkey, "{}");
    std::string body("user=bob&x=\x01\x00\xff", 15);
    std::string sig = HmacSha1Hex(kSkey, "POST\nlocalhost\n/rest/v1/preauth.bson\n" + body);
    std::string raw = "POST /rest/v1/preauth.bson HTTP/1.1\r\nhost: localhost:" + std::to_string(MainPort()) +
                      "\r\nX-Second: 2\r\nx-first: 1\r\n" + AuthHeader(ikey, sig) +
                      "Content-Length: 15\r\nConnection: close\r\n\r\n" + body;
    ASSERT_EQ(SendRaw(raw).status, 200);
    SendRaw(Request("GET", "/rest/v1/status.bson?b=2&a=1", "", AuthHeader(ikey, "0")));
    Json records = Records(ikey);
    ASSERT_EQ(records.size(), 2u);
    const Json& r = records[0];
    EXPECT_EQ(r["listener"], "main");
    EXPECT_EQ(r["method"], "POST");
    EXPECT_EQ(r["target"], "/rest/v1/preauth.bson");
    std::string decoded;
    ASSERT_TRUE(Base64Decode(r["body_base64"].get<std::string>(), &decoded));
    EXPECT_EQ(decoded, body);
    ASSERT_EQ(r["headers"].size(), 6u);
    EXPECT_EQ(r["headers"][0], Json::array({"host", "localhost:" + std::to_string(MainPort())}));
    EXPECT_EQ(r["headers"][1], Json::array({"X-Second", "2"}));
    EXPECT_EQ(r["headers"][2], Json::array({"x-first", "1"}));
    EXPECT_EQ(records[1]["target"], "/rest/v1/status.bson?b=2&a=1");

    auto text = Control().Get(("/control/requests?format=text&ikey=" + ikey).c_str());
    ASSERT_TRUE(text);
    EXPECT_EQ(text->body.compare(0, 2, "R "), 0);
    EXPECT_EQ(std::count(text->body.begin(), text->body.end(), '\n'), 2);

    ASSERT_TRUE(Control().Post(("/control/clear?ikey=" + ikey).c_str(), "", "text/plain"));
    EXPECT_TRUE(Records(ikey).empty());
}

TEST(Records, UnknownIkeysAreRecordedUnderTheEmptyKey) {
    const std::string ikey = UniqueIkey();
    SendRaw(Request("GET", "/rest/v1/check.bson?marker=" + ikey, "", AuthHeader(ikey + "UNKNOWN", "0")));
    bool found = false;
    for (const Json& r : Records("")) found = found || r["target"] == "/rest/v1/check.bson?marker=" + ikey;
    EXPECT_TRUE(found);
}

TEST(Contract, PingNeedsNoCredentials) {
    Reply r = SendRaw(Request("GET", "/rest/v1/ping.bson", "", ""));
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(Doc(r.body).Str("stat"), "OK");
    EXPECT_EQ(Doc(r.body).Type("response.time"), BSON_TYPE_INT32);
}

TEST(Contract, KeepAliveServesSeveralRequestsOnOneConnection) {
    std::string one = "GET /rest/v1/ping.bson HTTP/1.1\r\nHost: localhost\r\n\r\n";
    Reply r = SendRaw(one + one + "GET /rest/v1/ping.bson HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n");
    ASSERT_TRUE(r.ok);
    size_t count = 0;
    for (size_t pos = 0; (pos = (r.head + r.body).find("HTTP/1.1 200", pos)) != std::string::npos; ++pos) ++count;
    EXPECT_EQ(count, 3u);
}

// The version a client limited to `clientMax` negotiates with a listener on
// the build's localhost certificate bounded by `server`; 0 when the handshake fails.
int NegotiatedVersion(TlsVersions server, int clientMax) {
    // A refused handshake ends with one side writing its alert to a socket the
    // other has closed; the service itself ignores SIGPIPE for the same reason.
    signal(SIGPIPE, SIG_IGN);
    std::string error;
    SSL_CTX* serverCtx = MakeServerContext(PkiDir() + "/localhost.pem", PkiDir() + "/localhost.key", &error, server);
    EXPECT_NE(serverCtx, nullptr) << error;
    if (!serverCtx) return 0;
    Listener listener("versions", serverCtx, [](const RawRequest&) { return RawResponse{}; });
    EXPECT_TRUE(listener.Start(0, &error)) << error;
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_max_proto_version(ctx, clientMax);
    SSL_CTX_load_verify_locations(ctx, (PkiDir() + "/ca.pem").c_str(), nullptr);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int version = 0;
    if (ConnectLoopback(fd, listener.Port())) {
        SSL* ssl = SSL_new(ctx);
        SSL_set_fd(ssl, fd);
        SSL_set_tlsext_host_name(ssl, "localhost");
        if (SSL_connect(ssl) == 1) version = SSL_version(ssl);
        SSL_free(ssl);
    }
    close(fd);
    SSL_CTX_free(ctx);
    listener.Stop();
    SSL_CTX_free(serverCtx);
    return version;
}

TEST(TlsVersions, ListenersRefuseClientsOutsideTheirBounds) {
    const struct {
        TlsVersions server;
        int clientMax;
        int negotiated;
    } cases[] = {
        {{TLS1_3_VERSION, 0}, TLS1_2_VERSION, 0},  // a TLS 1.3-only service
        {{TLS1_3_VERSION, 0}, TLS1_3_VERSION, TLS1_3_VERSION},
        {{TLS1_2_VERSION, TLS1_2_VERSION}, TLS1_3_VERSION, TLS1_2_VERSION},  // a TLS 1.2-only service
        {{TLS1_2_VERSION, TLS1_2_VERSION}, TLS1_2_VERSION, TLS1_2_VERSION},
        {{}, TLS1_3_VERSION, TLS1_3_VERSION},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.server.minimum << "-" << c.server.maximum << " client "
                                        << c.clientMax);
        EXPECT_EQ(NegotiatedVersion(c.server, c.clientMax), c.negotiated);
    }
}

TEST(CommandLine, HelpAndBadArguments) {
    char self[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
    std::string exe = std::string(self).substr(0, std::string(self).rfind('/')) + "/vyn-refservice";
    FILE* p = popen((exe + " --help").c_str(), "r");
    std::string out;
    char buf[512];
    while (size_t n = fread(buf, 1, sizeof buf, p)) out.append(buf, n);
    EXPECT_EQ(pclose(p), 0);
    EXPECT_NE(out.find("--wrong-name-port"), std::string::npos);
    EXPECT_NE(out.find("--min-tls 1.2|1.3"), std::string::npos);
    EXPECT_EQ(WEXITSTATUS(system((exe + " --cert x --key y 2>/dev/null").c_str())), 2);
    EXPECT_EQ(WEXITSTATUS(system((exe + " --port 70000 2>/dev/null").c_str())), 2);
    EXPECT_EQ(WEXITSTATUS(system((exe + " --port 1 --cert x --key y --min-tls 1.1 2>/dev/null").c_str())), 2);
    EXPECT_EQ(WEXITSTATUS(system((exe + " --port 1 --cert x --key y --min-tls 1.3 --max-tls 1.2 2>/dev/null").c_str())),
              2);
}

}  // namespace

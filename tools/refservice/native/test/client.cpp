// The client of the running reference service that the test files share.
#include "test/client.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>

namespace refservice_test {

using namespace vynref;

namespace {

uint16_t EnvPort(const char* name) {
    const char* v = std::getenv(name);
    return v ? static_cast<uint16_t>(std::atoi(v)) : 0;
}

}  // namespace

uint16_t MainPort() { return EnvPort("VYN_REFSVC_PORT"); }
uint16_t ControlPort() { return EnvPort("VYN_REFSVC_CONTROL_PORT"); }
std::string PkiDir() {
    const char* v = std::getenv("VYN_REFSVC_PKI_DIR");
    return v ? v : "";
}

std::string UniqueIkey() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string key = "N";
    for (char c : std::string(info->test_suite_name()) + info->name())
        if (std::isalnum(static_cast<unsigned char>(c)))
            key += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return key + "P" + std::to_string(getpid());
}


bool ConnectLoopback(int fd, uint16_t port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    return connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
}

// Sends raw request bytes over TLS (verifying the server against the test CA
// and the name localhost) and reads until the server closes.
Reply SendRaw(const std::string& request, uint16_t port) {
    Reply r;
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    SSL_CTX_load_verify_locations(ctx, (PkiDir() + "/ca.pem").c_str(), nullptr);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    SSL* ssl = nullptr;
    if (ConnectLoopback(fd, port)) {
        ssl = SSL_new(ctx);
        SSL_set_fd(ssl, fd);
        SSL_set_tlsext_host_name(ssl, "localhost");
        SSL_set1_host(ssl, "localhost");
        if (SSL_connect(ssl) == 1 && SSL_write(ssl, request.data(), static_cast<int>(request.size())) > 0) {
            std::string all;
            char buf[8192];
            int n;
            while ((n = SSL_read(ssl, buf, sizeof buf)) > 0) all.append(buf, static_cast<size_t>(n));
            size_t end = all.find("\r\n\r\n");
            if (all.compare(0, 9, "HTTP/1.1 ") == 0 && end != std::string::npos) {
                r.ok = true;
                r.status = std::atoi(all.c_str() + 9);
                r.head = all.substr(0, end + 2);
                r.body = all.substr(end + 4);
            }
        }
        SSL_free(ssl);
    }
    close(fd);
    SSL_CTX_free(ctx);
    return r;
}

std::string Request(const std::string& method, const std::string& target, const std::string& body,
                    const std::string& extraHeaders) {
    return method + " " + target + " HTTP/1.1\r\nHost: localhost:" + std::to_string(MainPort()) + "\r\n" +
           extraHeaders + "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

std::string AuthHeader(const std::string& ikey, const std::string& signature) {
    return "Authorization: Basic " + Base64Encode(ikey + ":" + signature) + "\r\n";
}

// A request signed the way the module signs: the query string is the POST body
// and the GET URL query (and the GET body, too).
Reply SendSigned(const std::string& ikey, const std::string& skey, const std::string& method, const std::string& path,
                 const std::string& query) {
    std::string sig = HmacSha1Hex(skey, method + "\nlocalhost\n" + path + "\n" + query);
    std::string target = method == "GET" && !query.empty() ? path + "?" + query : path;
    return SendRaw(Request(method, target, query, AuthHeader(ikey, sig)));
}

httplib::Client Control() { return httplib::Client("127.0.0.1", ControlPort()); }

void Load(const std::string& ikey, const std::string& skey, const std::string& scenario) {
    auto res =
        Control().Post(("/control/tenants?ikey=" + ikey + "&skey=" + skey).c_str(), scenario, "application/json");
    ASSERT_TRUE(res);
    ASSERT_EQ(res->status, 200) << res->body;
}

Json Records(const std::string& ikey) {
    auto res = Control().Get(("/control/requests?ikey=" + ikey).c_str());
    return res ? Json::parse(res->body) : Json();
}


int32_t DeclaredLength(const std::string& body) {
    if (body.size() < 4) return -1;
    uint32_t u = 0;
    for (int i = 3; i >= 0; --i) u = (u << 8) | static_cast<unsigned char>(body[i]);
    return static_cast<int32_t>(u);
}


}  // namespace refservice_test

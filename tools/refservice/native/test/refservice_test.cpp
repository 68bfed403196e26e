// Tests of the reference service against the running fixture instance (ports
// from the environment), over real TLS with the build's test CA.
#include <arpa/inet.h>
#include <bson/bson.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>

#include "auth_check.h"
#include "bson_build.h"
#include "wire.h"

namespace {

using namespace vynref;
using Clock = std::chrono::steady_clock;

uint16_t EnvPort(const char* name) {
    const char* v = std::getenv(name);
    return v ? static_cast<uint16_t>(std::atoi(v)) : 0;
}
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

struct Reply {
    bool ok = false;  // a status line arrived
    int status = 0;
    std::string head, body;
    std::string Header(const std::string& name) const {
        size_t pos = 0;
        while ((pos = head.find("\r\n", pos)) != std::string::npos) {
            pos += 2;
            size_t colon = head.find(':', pos);
            size_t end = head.find("\r\n", pos);
            if (colon != std::string::npos && colon < end && EqualsNoCase(head.substr(pos, colon - pos), name))
                return head.substr(colon + 2, end - colon - 2);
        }
        return "";
    }
};

bool ConnectLoopback(int fd, uint16_t port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    return connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
}

// Sends raw request bytes over TLS (verifying the server against the test CA
// and the name localhost) and reads until the server closes.
Reply SendRaw(const std::string& request, uint16_t port = MainPort()) {
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

// Reads a string element of the payload (or of the envelope when payload is false).
struct Doc {
    std::string bytes;  // owned: the view below points into it
    bson_t doc;
    bool valid;
    explicit Doc(std::string body)
        : bytes(std::move(body)),
          valid(bson_init_static(&doc, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size())) {}
    Doc(const Doc&) = delete;
    bson_type_t Type(const char* dotted) const {
        bson_iter_t it, child;
        if (!valid || !bson_iter_init(&it, &doc) || !bson_iter_find_descendant(&it, dotted, &child))
            return BSON_TYPE_EOD;
        return bson_iter_type(&child);
    }
    std::string Str(const char* dotted) const {
        bson_iter_t it, child;
        if (!valid || !bson_iter_init(&it, &doc) || !bson_iter_find_descendant(&it, dotted, &child) ||
            !BSON_ITER_HOLDS_UTF8(&child))
            return "<absent>";
        uint32_t len = 0;
        const char* s = bson_iter_utf8(&child, &len);
        return std::string(s, len);
    }
    int32_t Int(const char* dotted) const {
        bson_iter_t it, child;
        if (!valid || !bson_iter_init(&it, &doc) || !bson_iter_find_descendant(&it, dotted, &child) ||
            !BSON_ITER_HOLDS_INT32(&child))
            return INT32_MIN;
        return bson_iter_int32(&child);
    }
};

int32_t DeclaredLength(const std::string& body) {
    if (body.size() < 4) return -1;
    uint32_t u = 0;
    for (int i = 3; i >= 0; --i) u = (u << 8) | static_cast<unsigned char>(body[i]);
    return static_cast<int32_t>(u);
}

const char kSkey[] = "refservice-test-secret";

// ---------------------------------------------------------------------------
// Signing: known answers computed with the openssl command line, e.g.
//   printf 'GET\nlocalhost\n/rest/v1/check.bson\n' | openssl dgst -sha1 -hmac k
struct KnownAnswer {
    std::string key, canonical, signature;
};
const std::string kWorkedExample = "POST\nlocalhost\n/rest/v1/auth.bson\nfactor=auto&ipaddr=192.0.2.10&user=j%20doe";
const std::string kEmptyQuery = "GET\nlocalhost\n/rest/v1/check.bson\n";
const std::string kNonAscii = "POST\nlocalhost\n/rest/v1/preauth.bson\nuser=corp%5C%C3%96sten";
const std::string kKey70(70, 'x');
const KnownAnswer kKnownAnswers[] = {
    {"k", kWorkedExample, "D68FD3B1B143827EB1A3EE9EB4E9395E4E0B0798"},
    {"k", kEmptyQuery, "BB9BAC653F312EA5FCB18F20001FFE2927DA6F99"},
    {"k", kNonAscii, "77780B7DC3C2D80546F77A8A7BB7A01B635D24C2"},
    {"sixteen-byte-key", kWorkedExample, "9810A4A417D9558ACCAE376D10042F1F96D57A09"},
    {"a-key-longer-than-sixteen-bytes", kWorkedExample, "7044D74BB811D301209493A3850A502511C5DB7B"},
    {"a-key-longer-than-sixteen-bytes", kNonAscii, "F9150A259B692DA75948DC2845133C00DDFFA44E"},
    {kKey70, kWorkedExample, "4A095371A4D5F1B6DBE76E2E2DFE5102364A08F9"},
    {kKey70, kEmptyQuery, "FD4CA8363455F11D379AD21A1E50E1888C692541"},
};

TEST(Signing, KnownAnswersMatch) {
    for (const auto& v : kKnownAnswers) EXPECT_EQ(HmacSha1Hex(v.key, v.canonical), v.signature) << v.key;
}

TEST(Signing, WorkedExampleSignedOutsideIsAccepted) {
    const std::string ikey = UniqueIkey();
    Load(ikey, "k", R"({"unknown_answer": {"txid": "TX-WORKED"}})");
    // The worked example's parameters as the service receives them; signature from openssl.
    Reply r = SendRaw(Request("POST", "/rest/v1/auth.bson", "factor=auto&ipaddr=192.0.2.10&user=j%20doe",
                              AuthHeader(ikey, "D68FD3B1B143827EB1A3EE9EB4E9395E4E0B0798")));
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(Doc(r.body).Str("response.txid"), "TX-WORKED");
    EXPECT_EQ(r.Header("Content-Type"), "application/bson");
}

TEST(Signing, EmptyQueryAndLongKeyAccepted) {
    const std::string ikey = UniqueIkey();
    Load(ikey, kKey70, "{}");
    Reply r = SendRaw(
        Request("GET", "/rest/v1/check.bson", "", AuthHeader(ikey, "FD4CA8363455F11D379AD21A1E50E1888C692541")));
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(Doc(r.body).Str("stat"), "OK");
    EXPECT_EQ(Doc(r.body).Type("response.time"), BSON_TYPE_INT32);
}

struct Rejection {
    const char* name;
    std::string request;
    int code;
};

TEST(Signing, AlteredRequestsAreRejected) {
    const std::string ikey = UniqueIkey();
    Load(ikey, kSkey, R"({"users": {"bob": {"result": "allow"}}})");
    const std::string port = std::to_string(MainPort());
    auto sig = [&](const std::string& canonical) { return HmacSha1Hex(kSkey, canonical); };
    const std::string good = sig("POST\nlocalhost\n/rest/v1/preauth.bson\nipaddr=1.2.3.4&user=bob");
    const Rejection cases[] = {
        {"altered body", Request("POST", "/rest/v1/preauth.bson", "ipaddr=1.2.3.4&user=bob2", AuthHeader(ikey, good)),
         40103},
        {"parameters reordered",
         Request("POST", "/rest/v1/preauth.bson", "user=bob&ipaddr=1.2.3.4", AuthHeader(ikey, good)), 40103},
        {"other host signed",
         Request("POST", "/rest/v1/preauth.bson", "ipaddr=1.2.3.4&user=bob",
                 AuthHeader(ikey,
                            sig("POST\nlocalhost." + std::string("\n/rest/v1/preauth.bson\nipaddr=1.2.3.4&user=bob")))),
         40103},
        {"host with port signed",
         Request("POST", "/rest/v1/preauth.bson", "ipaddr=1.2.3.4&user=bob",
                 AuthHeader(ikey, sig("POST\nlocalhost:" + port + "\n/rest/v1/preauth.bson\nipaddr=1.2.3.4&user=bob"))),
         40103},
        {"method signed as GET",
         Request("POST", "/rest/v1/preauth.bson", "ipaddr=1.2.3.4&user=bob",
                 AuthHeader(ikey, sig("GET\nlocalhost\n/rest/v1/preauth.bson\nipaddr=1.2.3.4&user=bob"))),
         40103},
        {"lower-case hex",
         Request("POST", "/rest/v1/preauth.bson", "ipaddr=1.2.3.4&user=bob",
                 AuthHeader(ikey,
                            [&] {
                                std::string s = good;
                                for (char& c : s) c = static_cast<char>(std::tolower(c));
                                return s;
                            }())),
         40103},
        {"unknown ikey",
         Request("POST", "/rest/v1/preauth.bson", "ipaddr=1.2.3.4&user=bob", AuthHeader(ikey + "X", good)), 40102},
        {"no credentials", Request("POST", "/rest/v1/preauth.bson", "ipaddr=1.2.3.4&user=bob", ""), 40101},
        {"not base64",
         Request("POST", "/rest/v1/preauth.bson", "ipaddr=1.2.3.4&user=bob", "Authorization: Basic !!!!\r\n"), 40101},
    };
    for (const auto& c : cases) {
        Reply r = SendRaw(c.request);
        EXPECT_EQ(r.status, 401) << c.name;
        EXPECT_EQ(Doc(r.body).Str("stat"), "FAIL") << c.name;
        EXPECT_EQ(Doc(r.body).Int("code"), c.code) << c.name;
    }
    // The same request unaltered passes; the Host header's port and case do not matter.
    std::string ok = Request("POST", "/rest/v1/preauth.bson", "ipaddr=1.2.3.4&user=bob", AuthHeader(ikey, good));
    ok.replace(ok.find("Host: localhost"), 15, "Host: LocalHost");
    EXPECT_EQ(SendRaw(ok).status, 200);
}

TEST(Signing, GetIsCheckedAgainstTheUrlQueryNotTheBody) {
    const std::string ikey = UniqueIkey();
    Load(ikey, kSkey, R"({"answers": {"push": {"txid": "TX-GET"}}})");
    ASSERT_EQ(SendSigned(ikey, kSkey, "POST", "/rest/v1/auth.bson", "async=1&auto=push&factor=auto&user=bob").status,
              200);
    std::string sig = HmacSha1Hex(kSkey, "GET\nlocalhost\n/rest/v1/status.bson\ntxid=TX-GET");
    EXPECT_EQ(SendRaw(Request("GET", "/rest/v1/status.bson?txid=TX-GET", "unrelated", AuthHeader(ikey, sig))).status,
              200);
    EXPECT_EQ(SendRaw(Request("GET", "/rest/v1/status.bson", "txid=TX-GET", AuthHeader(ikey, sig))).status, 401);
}

TEST(Signing, WrongMethodForTheOperationIsRefusedAfterTheCheck) {
    const std::string ikey = UniqueIkey();
    Load(ikey, kSkey, "{}");
    Reply r = SendSigned(ikey, kSkey, "GET", "/rest/v1/preauth.bson", "user=bob");
    EXPECT_EQ(r.status, 405);
    EXPECT_EQ(Doc(r.body).Int("code"), 40501);
    EXPECT_EQ(SendSigned(ikey, kSkey, "GET", "/rest/v1/nothing.bson", "").status, 404);
}

// ---------------------------------------------------------------------------
// Scenarios

TEST(Scenario, MistakesAreRefusedWithAReason) {
    const std::pair<const char*, const char*> cases[] = {
        {"[1]", "must be a JSON object"},
        {"{\"usres\": {}}", "unknown top-level key 'usres'"},
        {"{\"users\": {\"a\": 1}}", "users.a must be an object"},
        {"{\"users\": {\"a\": {\"n\": {\"$int33\": 1}}}}", "bad typed value $int33"},
        {"{\"answers\": {\"p\": {\"statuses\": []}}}", "answers.p.statuses must be a non-empty array"},
        {"{\"operations\": {\"login\": []}}", "unknown operation 'login'"},
        {"{\"operations\": {\"auth\": [{\"malformed\": \"bent\"}]}}", "unknown 'malformed' mode"},
        {"{\"operations\": {\"auth\": [{\"fault\": {}, \"response\": {}}]}}", "at most one body choice"},
        {"{\"operations\": {\"auth\": [{\"repeat\": 0}]}}", "'repeat' must be -1 or positive"},
        {"{\"operations\": {\"auth\": [{\"stall_after_bytes\": 5, \"drop_after_bytes\": 3}]}}",
         "'drop_after_bytes' and 'stall_after_bytes' exclude each other"},
        {"{not json", "invalid JSON"},
    };
    for (const auto& [text, reason] : cases) {
        auto res =
            Control().Post(("/control/tenants?ikey=" + UniqueIkey() + "&skey=s").c_str(), text, "application/json");
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 400) << text;
        EXPECT_NE(res->body.find(reason), std::string::npos) << text << " -> " << res->body;
    }
    auto res = Control().Post("/control/tenants?ikey=X", "{}", "application/json");
    EXPECT_NE(res->body.find("no skey given"), std::string::npos);
}

TEST(Scenario, PreauthAnswersTheUserEntryAsWrittenInOrder) {
    const std::string ikey = UniqueIkey();
    Load(
        ikey, kSkey,
        R"({"users": {"corp\\alice": {"status": "Hi", "result": "auth", "factors": {"default": "push"}, "n": {"$int32": 5}, "z": "a\u0000b"}},
                        "unknown_user": {"result": "enroll"}})");
    Reply r = SendSigned(ikey, kSkey, "POST", "/rest/v1/preauth.bson", "user=corp%5Calice");
    ASSERT_EQ(r.status, 200);
    Doc d(r.body);
    EXPECT_EQ(DeclaredLength(r.body), static_cast<int32_t>(r.body.size()));
    EXPECT_EQ(d.Str("response.status"), "Hi");
    EXPECT_EQ(d.Str("response.result"), "auth");
    EXPECT_EQ(d.Str("response.factors.default"), "push");
    EXPECT_EQ(d.Int("response.n"), 5);
    EXPECT_EQ(d.Str("response.z"), std::string("a\0b", 3));
    // Element order of the payload: status, result, factors, n, z.
    bson_iter_t top, child;
    ASSERT_TRUE(bson_iter_init_find(&top, &d.doc, "response"));
    ASSERT_TRUE(bson_iter_recurse(&top, &child));
    std::string keys;
    while (bson_iter_next(&child)) keys += std::string(bson_iter_key(&child)) + ",";
    EXPECT_EQ(keys, "status,result,factors,n,z,");

    Reply other = SendSigned(ikey, kSkey, "POST", "/rest/v1/preauth.bson", "user=mallory");
    EXPECT_EQ(Doc(other.body).Str("response.result"), "enroll");
}

TEST(Scenario, TransactionStepsThroughItsStatusesAndRepeatsTheLast) {
    const std::string ikey = UniqueIkey();
    Load(ikey, kSkey, R"({"answers": {"push": {"txid": "TX-A", "statuses": [
      {"result": "", "status": "A"}, {"delay_ms": 300, "result": "", "status": "B"}, {"result": "allow", "status": "C"}]}}})");
    Reply auth = SendSigned(ikey, kSkey, "POST", "/rest/v1/auth.bson", "async=1&auto=push&factor=auto&user=bob");
    ASSERT_EQ(Doc(auth.body).Str("response.txid"), "TX-A");
    auto poll = [&] { return Doc(SendSigned(ikey, kSkey, "GET", "/rest/v1/status.bson", "txid=TX-A").body); };
    Doc a = poll();
    EXPECT_EQ(a.Str("response.result"), "");
    EXPECT_EQ(a.Str("response.status"), "A");
    auto start = Clock::now();
    EXPECT_EQ(poll().Str("response.status"), "B");
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(300));
    for (int i = 0; i < 2; ++i) {
        Doc c = poll();
        EXPECT_EQ(c.Str("response.result"), "allow");
        EXPECT_EQ(c.Str("response.status"), "C");
    }
    Reply unknown = SendSigned(ikey, kSkey, "GET", "/rest/v1/status.bson", "txid=TX-NONE");
    EXPECT_EQ(unknown.status, 400);
    EXPECT_EQ(Doc(unknown.body).Int("code"), 40002);
}

TEST(Scenario, TxidCanBeGeneratedMissingOrOfAnotherType) {
    const std::string ikey = UniqueIkey();
    Load(ikey, kSkey, R"({"answers": {"sms": {"txid": null}, "phone": {"txid": {"$int32": 7}}}})");
    auto auth = [&](const std::string& answer) {
        return Doc(
            SendSigned(ikey, kSkey, "POST", "/rest/v1/auth.bson", "async=1&auto=" + answer + "&factor=auto&user=bob")
                .body);
    };
    Doc generated = auth("123456");
    std::string txid = generated.Str("response.txid");
    EXPECT_EQ(txid.compare(0, 3, "TX-"), 0) << txid;
    // An unlisted answer is refused by default.
    Doc status(SendSigned(ikey, kSkey, "GET", "/rest/v1/status.bson", "txid=" + txid).body);
    EXPECT_EQ(status.Str("response.result"), "deny");
    EXPECT_EQ(status.Str("response.status"), "Incorrect passcode");
    EXPECT_EQ(auth("sms").Type("response.txid"), BSON_TYPE_EOD);
    EXPECT_EQ(auth("sms").Str("stat"), "OK");
    EXPECT_EQ(auth("phone").Int("response.txid"), 7);
}

// ---------------------------------------------------------------------------
// Scripted answers

TEST(Actions, FirstRequestsFailThenNormalAnswers) {
    const std::string ikey = UniqueIkey();
    Load(ikey, kSkey, R"({"users": {"bob": {"result": "allow"}},
                        "operations": {"preauth": [{"http_status": 503, "repeat": 2}, {"http_status": 302, "headers": {"Location": "https://localhost/elsewhere"}}]}})");
    for (int i = 0; i < 2; ++i) {
        Reply r = SendSigned(ikey, kSkey, "POST", "/rest/v1/preauth.bson", "user=bob");
        EXPECT_EQ(r.status, 503);
        EXPECT_EQ(Doc(r.body).Int("code"), 50300);
        EXPECT_EQ(Doc(r.body).Str("message"), "Service Unavailable");
    }
    Reply redirect = SendSigned(ikey, kSkey, "POST", "/rest/v1/preauth.bson", "user=bob");
    EXPECT_EQ(redirect.status, 302);
    EXPECT_EQ(redirect.Header("Location"), "https://localhost/elsewhere");
    Reply normal = SendSigned(ikey, kSkey, "POST", "/rest/v1/preauth.bson", "user=bob");
    EXPECT_EQ(normal.status, 200);
    EXPECT_EQ(Doc(normal.body).Str("response.result"), "allow");
}

TEST(Actions, RepeatForeverAndNoContent) {
    const std::string ikey = UniqueIkey();
    Load(ikey, kSkey,
         R"({"operations": {"preauth": [{"http_status": 401, "repeat": -1}], "check": [{"http_status": 204}]}})");
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(SendSigned(ikey, kSkey, "POST", "/rest/v1/preauth.bson", "user=bob").status, 401);
    Reply empty = SendSigned(ikey, kSkey, "GET", "/rest/v1/check.bson", "");
    EXPECT_EQ(empty.status, 204);
    EXPECT_EQ(empty.body, "");
    EXPECT_EQ(empty.Header("Content-Length"), "");
}

TEST(Actions, FaultsAndExplicitBodies) {
    const std::string ikey = UniqueIkey();
    Load(ikey, kSkey, R"({"operations": {"check": [
      {"fault": {"code": 42, "message": "Access denied"}},
      {"fault": {"code": {"$double": 42}}},
      {"response": {"time": "not a number"}},
      {"document": {"stat": "OK", "response": {"a": 1}, "extra": [1, 2]}},
      {"body_base64": "AAEC"},
      {"empty_body": true}]}})");
    auto check = [&] { return SendSigned(ikey, kSkey, "GET", "/rest/v1/check.bson", ""); };
    Reply f = check();
    EXPECT_EQ(f.status, 200);
    EXPECT_EQ(Doc(f.body).Str("stat"), "FAIL");
    EXPECT_EQ(Doc(f.body).Int("code"), 42);
    EXPECT_EQ(Doc(f.body).Str("message"), "Access denied");
    Doc d(check().body);
    EXPECT_EQ(d.Type("code"), BSON_TYPE_DOUBLE);
    EXPECT_EQ(d.Type("message"), BSON_TYPE_EOD);
    EXPECT_EQ(Doc(check().body).Str("response.time"), "not a number");
    Doc doc(check().body);
    EXPECT_EQ(doc.Int("response.a"), 1);
    EXPECT_EQ(doc.Type("extra"), BSON_TYPE_ARRAY);
    EXPECT_EQ(check().body, std::string("\x00\x01\x02", 3));
    Reply none = check();
    EXPECT_EQ(none.body, "");
    EXPECT_EQ(none.Header("Content-Length"), "0");
}

TEST(Actions, EveryMalformedMode) {
    const std::string ikey = UniqueIkey();
    const char* modes[] = {"truncated",
                           "declared_length_large",
                           "declared_length_negative",
                           "declared_length_small",
                           "element_overrun",
                           "short",
                           "not_bson",
                           "stat_int32",
                           "stat_lowercase_ok",
                           "response_array",
                           "response_missing",
                           "wrong_types"};
    Json ops = Json::array();
    for (const char* m : modes) ops.push_back({{"malformed", m}});
    Json scenario = {{"users", {{"bob", {{"result", "auth"}, {"status", "Hello"}}}}},
                     {"operations", {{"preauth", ops}}}};
    Load(ikey, kSkey, scenario.dump());
    std::string normal = OkEnvelope([] {
        std::string b, e;
        JsonToBson(Json{{"result", "auth"}, {"status", "Hello"}}, &b, &e);
        return b;
    }());
    auto next = [&] {
        Reply r = SendSigned(ikey, kSkey, "POST", "/rest/v1/preauth.bson", "user=bob");
        EXPECT_EQ(r.status, 200);
        EXPECT_EQ(r.Header("Content-Length"), std::to_string(r.body.size()));
        return r.body;
    };
    std::string b = next();  // truncated
    EXPECT_EQ(b, normal.substr(0, normal.size() / 2));
    EXPECT_GT(DeclaredLength(b), static_cast<int32_t>(b.size()));
    b = next();  // declared_length_large
    EXPECT_EQ(b.size(), normal.size());
    EXPECT_EQ(DeclaredLength(b), static_cast<int32_t>(normal.size() + 100));
    EXPECT_EQ(DeclaredLength(next()), -1);
    EXPECT_EQ(DeclaredLength(next()), 4);
    b = next();  // element_overrun
    EXPECT_EQ(DeclaredLength(b), static_cast<int32_t>(b.size()));
    Doc overrun(b);
    ASSERT_TRUE(overrun.valid);
    EXPECT_FALSE(bson_validate(&overrun.doc, BSON_VALIDATE_NONE, nullptr));
    EXPECT_EQ(next().size(), 3u);
    EXPECT_EQ(next().compare(0, 6, "<html>"), 0);
    EXPECT_EQ(Doc(next()).Int("stat"), 1);
    Doc lower(next());
    EXPECT_EQ(lower.Str("stat"), "ok");
    EXPECT_EQ(lower.Int("code"), 40000);
    EXPECT_EQ(lower.Str("message"), "Lower-case status");
    Doc array(next());
    EXPECT_EQ(array.Type("response"), BSON_TYPE_ARRAY);
    EXPECT_EQ(array.Str("response.0"), "auth");
    Doc missing(next());
    EXPECT_EQ(missing.Str("stat"), "OK");
    EXPECT_EQ(missing.Type("response"), BSON_TYPE_EOD);
    Doc wrong(next());
    EXPECT_EQ(wrong.Int("response.result"), 1);
    EXPECT_EQ(wrong.Int("response.status"), 1);
}

TEST(Actions, ConnectionDroppedMidBody) {
    const std::string ikey = UniqueIkey();
    Load(ikey, kSkey, R"({"operations": {"check": [{"drop_after_bytes": 7}]}})");
    Reply r = SendSigned(ikey, kSkey, "GET", "/rest/v1/check.bson", "");
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body.size(), 7u);
    EXPECT_GT(std::atoi(r.Header("Content-Length").c_str()), 7);
}

TEST(Actions, StalledBodyWaitsForReleaseThenDrops) {
    const std::string ikey = UniqueIkey();
    Load(ikey, kSkey, R"({"operations": {"check": [{"stall_after_bytes": 5}]}})");
    auto stalled =
        std::async(std::launch::async, [&] { return SendSigned(ikey, kSkey, "GET", "/rest/v1/check.bson", ""); });
    EXPECT_EQ(stalled.wait_for(std::chrono::milliseconds(500)), std::future_status::timeout);
    auto res = Control().Post(("/control/release?ikey=" + ikey).c_str(), "", "text/plain");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->body, "{\"released\":1}");
    ASSERT_EQ(stalled.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    Reply r = stalled.get();
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body.size(), 5u);
    EXPECT_GT(std::atoi(r.Header("Content-Length").c_str()), 5);
}

// A trickled answer arrives whole, but never faster than one byte per interval.
TEST(Actions, TrickledAnswerComesWholeAtItsPace) {
    const std::string ikey = UniqueIkey();
    Load(ikey, kSkey,
         R"({"operations": {"check": [{"trickle_ms": 10}, {"trickle_ms": 10, "trickle_headers": true}]}})");
    for (int headersToo = 0; headersToo < 2; ++headersToo) {
        const auto start = Clock::now();
        Reply r = SendSigned(ikey, kSkey, "GET", "/rest/v1/check.bson", "");
        const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
        ASSERT_TRUE(r.ok);
        EXPECT_EQ(r.status, 200);
        EXPECT_EQ(Doc(r.body).Str("stat"), "OK");
        // The body alone, or the body and more than 60 bytes of headers.
        const size_t trickled = r.body.size() + (headersToo ? 60 : 0);
        EXPECT_GE(elapsed, static_cast<long long>(trickled * 10 - 40)) << headersToo;
    }
}

TEST(Actions, HeldAnswersWaitForReleaseOrTheirTimeout) {
    const std::string ikey = UniqueIkey();
    Load(ikey, kSkey, R"({"operations": {"check": [{"hold": true}, {"hold": true, "hold_ms": 200}]}})");
    auto held =
        std::async(std::launch::async, [&] { return SendSigned(ikey, kSkey, "GET", "/rest/v1/check.bson", ""); });
    EXPECT_EQ(held.wait_for(std::chrono::milliseconds(500)), std::future_status::timeout);
    auto res = Control().Post(("/control/release?ikey=" + ikey).c_str(), "", "text/plain");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->body, "{\"released\":1}");
    ASSERT_EQ(held.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(held.get().status, 200);
    auto start = Clock::now();
    EXPECT_EQ(SendSigned(ikey, kSkey, "GET", "/rest/v1/check.bson", "").status, 200);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(200));
}

TEST(Actions, DelayBeforeAnswering) {
    const std::string ikey = UniqueIkey();
    Load(ikey, kSkey, R"({"operations": {"check": [{"delay_ms": 300}]}})");
    auto start = Clock::now();
    EXPECT_EQ(SendSigned(ikey, kSkey, "GET", "/rest/v1/check.bson", "").status, 200);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(300));
}

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

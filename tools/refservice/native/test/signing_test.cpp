// The service checks signatures as the module makes them.
#include <gtest/gtest.h>

#include "test/client.h"

namespace {

using namespace vynref;
using namespace refservice_test;

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

}  // namespace

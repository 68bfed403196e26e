// The module's own signing code against the reference service's independent
// check: what FormatQueryString and FormatAuthHeader produce is accepted, and
// any change to the signed parts after signing is refused.
#include <winsock2.h>
#include <windows.h>

#include <string>

#include <gtest/gtest.h>

#include "auth/operations.h"
#include "common/strings.h"
#include "net/signing.h"
#include "tests/refservice/https_exchange.h"
#include "tests/support/refservice.h"

namespace {

// Keys of several lengths: CryptoAPI's RC2-typed key blob needs the IPsec
// flag beyond 16 bytes, and HMAC hashes keys longer than 64 bytes first.
const char* const kSkeys[] = {"k", "sixteen-byte-key", "a-secret-key-longer-than-sixteen-bytes",
                              "0123456789012345678901234567890123456789012345678901234567890123456789"};

struct Signed {
    std::wstring headers;
    std::string query;
};

Signed Sign(const std::string& ikey, const std::string& skey, const char* method, const char* path,
            const ParamMap& params) {
    Signed s;
    s.query = params.empty() ? "" : FormatQueryString(params);
    std::string header = FormatAuthHeader(ikey, skey, "localhost", method, path, s.query);
    s.headers = FromUtf8(header);
    return s;
}

void Load(const std::string& ikey, const std::string& skey) {
    std::string error;
    ASSERT_TRUE(refservice::LoadScenario(
        ikey, skey,
        R"({"users": {"corp\\\u00d6sten": {"result": "auth"}}, "answers": {"push": {"txid": "TX-1"}}})", &error))
        << error;
}

TEST(ModuleSigning, ServiceAcceptsTheModulesSignatures) {
    for (const char* skey : kSkeys) {
        const std::string ikey = refservice::UniqueIkey();
        Load(ikey, skey);
        ParamMap preauth;
        preauth["user"] = "corp\\\xC3\x96sten";  // non-ASCII, percent-encoded byte by byte
        preauth["ipaddr"] = "192.0.2.10";
        Signed p = Sign(ikey, skey, "POST", "/rest/v1/preauth.bson", preauth);
        Exchange x = Send(refservice::Port(), L"POST", L"/rest/v1/preauth.bson", p.headers, p.query);
        ASSERT_EQ(x.error, 0u);
        EXPECT_EQ(x.status, 200u) << skey;

        ParamMap auth;
        auth["user"] = "bob";
        auth["factor"] = "auto";
        auth["auto"] = "push";
        auth["async"] = "1";
        Signed a = Sign(ikey, skey, "POST", "/rest/v1/auth.bson", auth);
        EXPECT_EQ(Send(refservice::Port(), L"POST", L"/rest/v1/auth.bson", a.headers, a.query).status, 200u) << skey;

        // A GET carries its parameters in the URL (signed) and again as the body.
        ParamMap status;
        status["txid"] = "TX-1";
        Signed s = Sign(ikey, skey, "GET", "/rest/v1/status.bson", status);
        EXPECT_EQ(Send(refservice::Port(), L"GET", FromUtf8("/rest/v1/status.bson?" + s.query), s.headers, s.query)
                      .status,
                  200u)
            << skey;

        Signed c = Sign(ikey, skey, "GET", "/rest/v1/check.bson", ParamMap());
        EXPECT_EQ(Send(refservice::Port(), L"GET", L"/rest/v1/check.bson", c.headers, "").status, 200u) << skey;

        auto requests = refservice::Requests(ikey);
        ASSERT_EQ(requests.size(), 4u);
        EXPECT_EQ(requests[0].body, "ipaddr=192.0.2.10&user=corp%5C%C3%96sten");
        EXPECT_EQ(requests[1].body, "async=1&auto=push&factor=auto&user=bob");
        EXPECT_EQ(requests[2].target, "/rest/v1/status.bson?txid=TX-1");
    }
}

TEST(ModuleSigning, ServiceRefusesAlteredRequests) {
    const std::string ikey = refservice::UniqueIkey();
    const std::string skey = kSkeys[2];
    Load(ikey, skey);
    ParamMap params;
    params["user"] = "bob";
    params["ipaddr"] = "192.0.2.10";
    Signed p = Sign(ikey, skey, "POST", "/rest/v1/preauth.bson", params);
    ASSERT_EQ(Send(refservice::Port(), L"POST", L"/rest/v1/preauth.bson", p.headers, p.query).status, 200u);

    struct Case {
        const char* what;
        std::wstring method, target, headers;
        std::string body;
    } cases[] = {
        {"value changed", L"POST", L"/rest/v1/preauth.bson", p.headers, "ipaddr=192.0.2.11&user=bob"},
        {"parameters reordered", L"POST", L"/rest/v1/preauth.bson", p.headers, "user=bob&ipaddr=192.0.2.10"},
        {"other operation", L"POST", L"/rest/v1/auth.bson", p.headers, p.query},
        {"other method", L"GET", FromUtf8("/rest/v1/preauth.bson?" + p.query), p.headers, p.query},
        {"other secret key", L"POST", L"/rest/v1/preauth.bson",
         Sign(ikey, skey + "x", "POST", "/rest/v1/preauth.bson", params).headers, p.query},
        {"other host signed", L"POST", L"/rest/v1/preauth.bson",
         FromUtf8(FormatAuthHeader(ikey, skey, "vyn.example", "POST", "/rest/v1/preauth.bson", p.query)), p.query},
        {"unknown integration key", L"POST", L"/rest/v1/preauth.bson",
         Sign(ikey + "X", skey, "POST", "/rest/v1/preauth.bson", params).headers, p.query},
    };
    for (const Case& c : cases) {
        Exchange x = Send(refservice::Port(), c.method, c.target, c.headers, c.body);
        ASSERT_EQ(x.error, 0u) << c.what;
        EXPECT_EQ(x.status, 401u) << c.what;
    }
}

}  // namespace

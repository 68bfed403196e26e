#include <winsock2.h>
#include <windows.h>
#include <winhttp.h>

#include <string>

#include <gtest/gtest.h>

#include "common/strings.h"
#include "tests/refservice/https_exchange.h"
#include "tests/support/refservice.h"

namespace {

bool IsOkEnvelope(const std::string& body) {
    static const char kStatOk[] = "\x02stat\0\x03\0\0\0OK";
    return body.size() >= 5 && static_cast<unsigned char>(body[0]) == body.size() &&
           body.compare(4, sizeof kStatOk - 1, kStatOk, sizeof kStatOk - 1) == 0;
}

TEST(RefServiceTls, TrustedLocalhostEndpointIsAccepted) {
    Exchange x = Send(refservice::Port(), L"GET", L"/rest/v1/ping.bson", L"", "");
    ASSERT_EQ(x.error, 0u);
    EXPECT_EQ(x.status, 200u);
    EXPECT_TRUE(IsOkEnvelope(x.body));
}

TEST(RefServiceTls, CertificateForAnotherNameIsRejected) {
    Exchange x = Send(refservice::WrongNamePort(), L"GET", L"/rest/v1/ping.bson", L"", "");
    RecordProperty("error", static_cast<int>(x.error));
    // Wine reports every certificate failure as 12157; Windows names the cause (12038).
    EXPECT_TRUE(x.error == 12157 || x.error == ERROR_WINHTTP_SECURE_CERT_CN_INVALID) << x.error;
}

TEST(RefServiceTls, CertificateFromUntrustedIssuerIsRejected) {
    Exchange x = Send(refservice::UntrustedPort(), L"GET", L"/rest/v1/ping.bson", L"", "");
    RecordProperty("error", static_cast<int>(x.error));
    EXPECT_TRUE(x.error == 12157 || x.error == ERROR_WINHTTP_SECURE_INVALID_CA) << x.error;
}

TEST(RefServiceTls, ClosedPortRefusesTheConnection) {
    Exchange x = Send(refservice::ClosedPort(), L"GET", L"/rest/v1/ping.bson", L"", "");
    EXPECT_EQ(x.error, static_cast<DWORD>(ERROR_WINHTTP_CANNOT_CONNECT));
}

// Signature computed outside the module with the openssl command line:
//   printf 'POST\nlocalhost\n/rest/v1/preauth.bson\nipaddr=192.0.2.10&user=j%%20doe' |
//     openssl dgst -sha1 -hmac known-answer-secret
const char kSkey[] = "known-answer-secret";
const char kPreauthBody[] = "ipaddr=192.0.2.10&user=j%20doe";
const char kPreauthSignature[] = "5398076F9EC095AF71ECF19C7D26167E892C5336";

std::string Base64(const std::string& bytes) {
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        unsigned t = static_cast<unsigned char>(bytes[i]) << 16;
        if (i + 1 < bytes.size()) t |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        if (i + 2 < bytes.size()) t |= static_cast<unsigned char>(bytes[i + 2]);
        out += kAlphabet[(t >> 18) & 63];
        out += kAlphabet[(t >> 12) & 63];
        out += i + 1 < bytes.size() ? kAlphabet[(t >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? kAlphabet[t & 63] : '=';
    }
    return out;
}

TEST(RefServiceTls, KnownAnswerSignatureIsAcceptedAndRecordedAsSent) {
    const std::string ikey = refservice::UniqueIkey();
    std::string error;
    ASSERT_TRUE(refservice::LoadScenario(ikey, kSkey, R"({"users": {"j doe": {"result": "allow"}}})", &error))
        << error;
    const std::string auth = "Basic " + Base64(ikey + ":" + kPreauthSignature);
    const std::wstring headers = FromUtf8("Authorization: " + auth + "\r\nContent-Type: application/x-www-form-urlencoded\r\n");

    Exchange ok = Send(refservice::Port(), L"POST", L"/rest/v1/preauth.bson", headers, kPreauthBody);
    ASSERT_EQ(ok.error, 0u);
    EXPECT_EQ(ok.status, 200u);
    EXPECT_TRUE(IsOkEnvelope(ok.body));

    Exchange altered = Send(refservice::Port(), L"POST", L"/rest/v1/preauth.bson", headers,
                            "ipaddr=192.0.2.11&user=j%20doe");
    ASSERT_EQ(altered.error, 0u);
    EXPECT_EQ(altered.status, 401u);

    auto requests = refservice::Requests(ikey);
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].listener, "main");
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].target, "/rest/v1/preauth.bson");
    EXPECT_EQ(requests[0].body, kPreauthBody);
    EXPECT_EQ(requests[0].Header("authorization"), auth);
    EXPECT_EQ(requests[0].Header("Host"), "localhost:" + std::to_string(refservice::Port()));
    EXPECT_EQ(requests[0].Header("User-Agent"), "refservice-test");
    EXPECT_EQ(requests[1].body, "ipaddr=192.0.2.11&user=j%20doe");

    ASSERT_TRUE(refservice::ClearRequests(ikey));
    EXPECT_TRUE(refservice::Requests(ikey).empty());
}

TEST(RefServiceTls, BadScenarioIsRefusedWithItsReason) {
    std::string error;
    EXPECT_FALSE(refservice::LoadScenario(refservice::UniqueIkey(), kSkey, R"({"users": 5})", &error));
    EXPECT_NE(error.find("'users' must be an object"), std::string::npos) << error;
}

}  // namespace

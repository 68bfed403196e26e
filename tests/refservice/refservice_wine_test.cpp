#include <winsock2.h>
#include <windows.h>
#include <winhttp.h>

#include <string>

#include <gtest/gtest.h>

#include "common/strings.h"
#include "net/winhttp_handle.h"
#include "tests/support/refservice.h"

namespace {

struct Exchange {
    DWORD error = 0;  // 0 when an answer arrived
    DWORD status = 0;
    std::string body;
};

// One synchronous HTTPS exchange with plain WinHTTP, default certificate checks.
Exchange Send(uint16_t port, const std::wstring& method, const std::wstring& target, const std::wstring& headers,
              const std::string& body) {
    Exchange x;
    unique_hinternet session(::WinHttpOpen(L"refservice-test", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                           WINHTTP_NO_PROXY_BYPASS, 0));
    unique_hinternet connect(session ? ::WinHttpConnect(session.get(), L"localhost", port, 0) : nullptr);
    unique_hinternet request(connect ? ::WinHttpOpenRequest(connect.get(), method.c_str(), target.c_str(), nullptr,
                                                            WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                            WINHTTP_FLAG_SECURE | WINHTTP_FLAG_REFRESH)
                                     : nullptr);
    if (!request) {
        x.error = ::GetLastError();
        return x;
    }
    if (!::WinHttpSendRequest(request.get(), headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : headers.c_str(),
                              static_cast<DWORD>(headers.size()), const_cast<char*>(body.data()),
                              static_cast<DWORD>(body.size()), static_cast<DWORD>(body.size()), 0) ||
        !::WinHttpReceiveResponse(request.get(), nullptr)) {
        x.error = ::GetLastError();
        return x;
    }
    DWORD size = sizeof x.status;
    ::WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                          WINHTTP_HEADER_NAME_BY_INDEX, &x.status, &size, WINHTTP_NO_HEADER_INDEX);
    DWORD available = 0;
    while (::WinHttpQueryDataAvailable(request.get(), &available) && available > 0) {
        std::string chunk(available, '\0');
        DWORD read = 0;
        if (!::WinHttpReadData(request.get(), chunk.data(), available, &read)) break;
        x.body.append(chunk.data(), read);
    }
    return x;
}

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
    // Wine reports every certificate failure as 12157; Windows names the cause (12038).
    EXPECT_TRUE(x.error == 12157 || x.error == ERROR_WINHTTP_SECURE_CERT_CN_INVALID) << x.error;
}

TEST(RefServiceTls, CertificateFromUntrustedIssuerIsRejected) {
    Exchange x = Send(refservice::UntrustedPort(), L"GET", L"/rest/v1/ping.bson", L"", "");
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

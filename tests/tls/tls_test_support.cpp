// Helpers of the tests of the module's own TLS client (see
// tests/tls/tls_test_support.h).
#include "tests/tls/tls_test_support.h"

#include <wincrypt.h>

#include <algorithm>
#include <fstream>
#include <iterator>

#include "diag/errors.h"
#include "net/crypt_handles.h"

namespace tls_test {

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

}  // namespace tls_test

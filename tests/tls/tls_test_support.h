#pragma once
// What the tests of the module's own TLS client share: the certificate
// folder and ports of this build's TLS test servers (tests/tls/tls_servers.sh.in),
// the machine's stores as the tests set them, and a request builder.

#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>

#include "common/handles.h"
#include "config/config.h"
#include "net/builtin_tls.h"
#include "net/https_types.h"

namespace tls_test {

constexpr char kAnswer[] = "Answer of the TLS test server.\n";
constexpr char kSkey[] = "builtin-tls-secret";

std::string ReadFile(const std::string& path);
// Adds a DER certificate to one of the local machine's system stores.
void AddToMachineStore(const wchar_t* store, const std::string& derPath);
// Takes a DER certificate out of one of the local machine's system stores,
// by deleting its registry key: Wine's CertDeleteCertificateFromStore on a
// system store does not reach the registry.
void RemoveFromMachineStore(const wchar_t* store, const std::string& derPath);
// Trusts a root in the local machine's "ROOT" store with every purpose
// disabled, as "Disable all purposes for this certificate" in the
// Certificates console leaves it.
void AddRootWithPurposesDisabled(const std::string& derPath);
// "Authorization: Basic base64(ikey:signature)": the service files the request
// under the tenant (a ping's signature is not checked).
std::string AuthorizationLine(const std::string& ikey);
// A thread running `body` (this toolchain's thread model has no std::thread);
// joined by waiting on the handle.
unique_handle StartThread(std::function<void()>* body);
// A GET of `objectName` from localhost:port, bounded by 10 s.
HttpsRequest Get(uint16_t port, const std::string& objectName);
// The code of the CINetException a Send throws; 0 when it returns.
DWORD FailureOf(CBuiltinTlsClient& client, const HttpsRequest& request);
inline uint16_t TlsPort(int offset) { return static_cast<uint16_t>(VYN_TLS_PORT_BASE + offset); }
inline std::string Pki(const char* file) { return std::string(VYN_TLS_PKI) + "/" + file; }

class BuiltinTls : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        WSADATA data;
        ::WSAStartup(MAKEWORD(2, 2), &data);
        gDebugLogging = true;
        // The ECDSA chain's CA is trusted here; the RSA leaves come from the
        // reference service's CA, which the prefix already trusts.
        AddToMachineStore(L"ROOT", Pki("ecdsa-ca.der"));
        AddToMachineStore(L"Disallowed", Pki("disallowed.der"));
        AddToMachineStore(L"Disallowed", Pki("denied-ca.der"));
        AddRootWithPurposesDisabled(Pki("purpose-ca.der"));
    }
};

}  // namespace tls_test

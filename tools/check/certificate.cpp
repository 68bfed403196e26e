#include "tools/check/certificate.h"

#include <windows.h>
#include <wincrypt.h>
#include <winhttp.h>

#include <cstdio>

#include "common/strings.h"
#include "net/crypt_handles.h"
#include "net/winhttp_handle.h"

namespace {

constexpr DWORD kIgnoreCertificateErrors = SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_DATE_INVALID |
                                           SECURITY_FLAG_IGNORE_CERT_CN_INVALID |
                                           SECURITY_FLAG_IGNORE_CERT_WRONG_USAGE;

// The server's certificate, from a request that completes the handshake
// whatever the certificate says. Only a ping is sent: it carries no key.
unique_cert_context FetchCertificate(const std::string& userAgent, const std::string& host, uint16_t port) {
    unique_hinternet session(::WinHttpOpen(FromUtf8(userAgent).c_str(), WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                           WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session) return unique_cert_context();
    unique_hinternet connection(::WinHttpConnect(session.get(), FromUtf8(host).c_str(), port, 0));
    if (!connection) return unique_cert_context();
    unique_hinternet request(::WinHttpOpenRequest(connection.get(), L"GET", L"/rest/v1/ping.bson", nullptr,
                                                  WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                  WINHTTP_FLAG_SECURE));
    if (!request) return unique_cert_context();
    DWORD flags = kIgnoreCertificateErrors;
    if (!::WinHttpSetOption(request.get(), WINHTTP_OPTION_SECURITY_FLAGS, &flags, sizeof flags))
        return unique_cert_context();
    if (!::WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0))
        return unique_cert_context();
    PCCERT_CONTEXT certificate = nullptr;
    DWORD size = sizeof certificate;
    if (!::WinHttpQueryOption(request.get(), WINHTTP_OPTION_SERVER_CERT_CONTEXT, &certificate, &size))
        return unique_cert_context();
    return unique_cert_context(certificate);
}

}  // namespace

CertificateFinding DiagnoseCertificate(const std::string& userAgent, const std::string& host, uint16_t port,
                                       uint32_t& policyError) {
    policyError = 0;
    const unique_cert_context certificate = FetchCertificate(userAgent, host, port);
    if (!certificate) return CertificateFinding::NoCertificate;

    CERT_CHAIN_PARA chainPara{};
    chainPara.cbSize = sizeof chainPara;
    unique_cert_chain chain;
    // The machine's chain engine and stores: the module runs as SYSTEM, which
    // trusts what the local machine's stores hold, not what the
    // administrator's own stores add.
    if (!::CertGetCertificateChain(HCCE_LOCAL_MACHINE, certificate.get(), nullptr, certificate.get()->hCertStore, &chainPara, 0,
                                   nullptr, chain.put())) {
        chain.release();
        policyError = ::GetLastError();
        return CertificateFinding::Other;
    }
    // The chain's own status first: Wine's SSL policy passes a chain that
    // ends in an untrusted root, which the chain status does report.
    const DWORD trust = chain.get()->TrustStatus.dwErrorStatus;
    if (trust & CERT_TRUST_IS_NOT_SIGNATURE_VALID) return CertificateFinding::SignatureNotValidated;
    if (trust & (CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN)) return CertificateFinding::Untrusted;
    if (trust & CERT_TRUST_IS_NOT_TIME_VALID) return CertificateFinding::Expired;
    if (trust & CERT_TRUST_IS_REVOKED) return CertificateFinding::Revoked;

    std::wstring serverName = FromUtf8(host);
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
    ssl.cbSize = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    ssl.pwszServerName = serverName.data();
    CERT_CHAIN_POLICY_PARA policyPara{};
    policyPara.cbSize = sizeof policyPara;
    policyPara.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS status{};
    status.cbSize = sizeof status;
    if (!::CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain.get(), &policyPara, &status)) {
        policyError = ::GetLastError();
        return CertificateFinding::Other;
    }
    policyError = status.dwError;
    switch (static_cast<HRESULT>(status.dwError)) {
        case S_OK: return CertificateFinding::Valid;
        case CERT_E_UNTRUSTEDROOT:
        case CERT_E_CHAINING:
        case CERT_E_UNTRUSTEDTESTROOT: return CertificateFinding::Untrusted;
        case CERT_E_CN_NO_MATCH: return CertificateFinding::OtherName;
        case CERT_E_EXPIRED: return CertificateFinding::Expired;
        case CRYPT_E_REVOKED: return CertificateFinding::Revoked;
        case TRUST_E_CERT_SIGNATURE:
        case NTE_BAD_ALGID: return CertificateFinding::SignatureNotValidated;
        default: return CertificateFinding::Other;
    }
}

std::string CertificateFindingWords(CertificateFinding finding, uint32_t policyError) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(policyError));
    switch (finding) {
        case CertificateFinding::NoCertificate: return std::string();
        case CertificateFinding::Valid: return "the certificate is valid for this host";
        case CertificateFinding::Untrusted: return "certificate not trusted: its issuer is not in this machine's trusted roots";
        case CertificateFinding::OtherName: return "certificate for another name: it does not name the configured host";
        case CertificateFinding::Expired: return "certificate expired or not yet valid";
        case CertificateFinding::Revoked: return "certificate revoked";
        case CertificateFinding::SignatureNotValidated:
            return "certificate chain not validated: its signatures cannot be checked here (a SHA-2 chain needs KB968730)";
        case CertificateFinding::Other: return std::string("certificate not accepted (") + code + ")";
    }
    return std::string();
}

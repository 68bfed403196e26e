#pragma once
// The service's certificate as the system's TLS judges it, for the requests
// that client carries (the "Tls" setting 1, or a connection it completed):
// WinHTTP on Windows says only "secure failure" (12175) and Wine reports an
// untrusted chain and a wrong name alike (12157), so the tool fetches the
// certificate itself, with certificate errors ignored for this one look, and
// judges it by the same SSL chain policy WinHTTP applies, with the chain built
// as SYSTEM's process would build it. Also run after the administrator's own
// connection succeeded: a root trusted only in the administrator's stores is
// not trusted by the module. (The module's own TLS client is judged from the
// chain it was sent: tools/check/chain_diagnosis.h.)

#include <cstdint>
#include <string>

enum class CertificateFinding {
    NoCertificate,  // the handshake itself failed: no certificate to look at
    Valid,          // valid for this host: the failure lies elsewhere
    Untrusted,
    OtherName,
    Expired,
    Revoked,
    SignatureNotValidated,  // e.g. SHA-2 without KB968730
    Other,
};

CertificateFinding DiagnoseCertificate(const std::string& userAgent, const std::string& host, uint16_t port,
                                       uint32_t& policyError);

// Words for a finding; empty for NoCertificate.
std::string CertificateFindingWords(CertificateFinding finding, uint32_t policyError);

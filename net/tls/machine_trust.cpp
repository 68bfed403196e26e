// The local machine's trust stores as the TLS library's trust anchors and deny
// list (see net/tls/machine_trust.h).
#include "net/tls/machine_trust.h"

#include <mbedtls/platform.h>
#include <mbedtls/sha1.h>
#include <mbedtls/x509_crt.h>

#include <string>

#include "config/config.h"
#include "diag/log.h"

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

unique_hcertstore OpenMachineStore(const wchar_t* name, const char* logName) {
    // Read-only and never created: the client only looks certificates up.
    unique_hcertstore store(::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                            CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_READONLY_FLAG, name));
    if (!store) LogSystemCallFailure(logName, ::GetLastError());
    return store;
}

}  // namespace

void MachineTrust::Attach(mbedtls_ssl_config* config) {
    roots_ = OpenMachineStore(L"ROOT", "CertOpenStore(ROOT)");
    disallowed_ = OpenMachineStore(L"Disallowed", "CertOpenStore(Disallowed)");
    mbedtls_ssl_conf_ca_cb(config, FindRoots, this);
    mbedtls_ssl_conf_verify(config, CheckDisallowed, this);
}

int MachineTrust::FindRoots(void* self, const mbedtls_x509_crt* child, mbedtls_x509_crt** candidates) {
    *candidates = nullptr;
    const MachineTrust& trust = *static_cast<const MachineTrust*>(self);
    if (!trust.roots_) return 0;  // no anchors: the chain does not verify
    CERT_NAME_BLOB issuer;
    issuer.cbData = static_cast<DWORD>(child->issuer_raw.len);
    issuer.pbData = child->issuer_raw.p;
    mbedtls_x509_crt* found = nullptr;
    PCCERT_CONTEXT root = nullptr;
    // CertFindCertificateInStore frees the previous context it is handed.
    while ((root = ::CertFindCertificateInStore(trust.roots_.get(), kEncoding, 0, CERT_FIND_SUBJECT_NAME, &issuer,
                                                root)) != nullptr) {
        if (!found) {
            found = static_cast<mbedtls_x509_crt*>(mbedtls_calloc(1, sizeof(mbedtls_x509_crt)));
            if (!found) {
                ::CertFreeCertificateContext(root);
                return MBEDTLS_ERR_X509_ALLOC_FAILED;
            }
            mbedtls_x509_crt_init(found);
        }
        // A root the library cannot parse (an algorithm it does not carry)
        // is simply no candidate.
        mbedtls_x509_crt_parse_der(found, root->pbCertEncoded, root->cbCertEncoded);
    }
    if (found && found->raw.p == nullptr) {
        mbedtls_x509_crt_free(found);
        mbedtls_free(found);
        found = nullptr;
    }
    *candidates = found;
    return 0;
}

int MachineTrust::CheckDisallowed(void* self, mbedtls_x509_crt* certificate, int depth, uint32_t* flags) {
    const MachineTrust& trust = *static_cast<const MachineTrust*>(self);
    if (!trust.disallowed_) {
        // The deny list cannot be read: refusing is the safe side.
        *flags |= MBEDTLS_X509_BADCERT_OTHER;
        return 0;
    }
    // The store knows its certificates by SHA-1 thumbprint.
    unsigned char thumbprint[20];
    if (mbedtls_sha1(certificate->raw.p, certificate->raw.len, thumbprint) != 0) {
        *flags |= MBEDTLS_X509_BADCERT_OTHER;
        return 0;
    }
    CRYPT_HASH_BLOB hash;
    hash.cbData = sizeof(thumbprint);
    hash.pbData = thumbprint;
    PCCERT_CONTEXT listed =
        ::CertFindCertificateInStore(trust.disallowed_.get(), kEncoding, 0, CERT_FIND_SHA1_HASH, &hash, nullptr);
    if (listed) {
        ::CertFreeCertificateContext(listed);
        *flags |= MBEDTLS_X509_BADCERT_OTHER;
        LogMessage("ERROR: A certificate of the server's chain (depth " + std::to_string(depth) +
                   ") is in the machine's Disallowed store");
    }
    return 0;
}

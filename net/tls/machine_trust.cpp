// The local machine's trust stores as the TLS library's trust anchors and deny
// list, and the checks Windows makes that the library does not (see
// net/tls/machine_trust.h).
#include "net/tls/machine_trust.h"

#include <mbedtls/asn1.h>
#include <mbedtls/ecp.h>
#include <mbedtls/oid.h>
#include <mbedtls/pk.h>
#include <mbedtls/platform.h>
#include <mbedtls/sha1.h>
#include <mbedtls/x509_crt.h>

#include <cstring>
#include <memory>
#include <utility>

#include "config/config.h"
#include "diag/log.h"
#include "net/tls/deadline.h"
#include "net/tls/machine_stores.h"
#include "net/tls/name_checks.h"
#include "net/tls/root_update.h"

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// The reasons of a refusal, each logged once a handshake (MachineTrust::Once).
constexpr uint32_t kReasonName = 1u << 0;
constexpr uint32_t kReasonUntrusted = 1u << 1;
constexpr uint32_t kReasonExpired = 1u << 2;
constexpr uint32_t kReasonWeakKey = 1u << 3;
constexpr uint32_t kReasonAlgorithm = 1u << 4;
constexpr uint32_t kReasonUnreadable = 1u << 5;
constexpr uint32_t kReasonOwnCheck = 1u << 6;  // a line of this client's own checks

const char kAlgorithmLine[] =
    "ERROR: A certificate of the server's chain uses a key or signature algorithm this client does not carry";

// A list of certificates parsed by the library, as the CA callback hands
// them over (the library frees what it is given).
struct CrtListDeleter {
    void operator()(mbedtls_x509_crt* list) const noexcept {
        mbedtls_x509_crt_free(list);
        mbedtls_free(list);
    }
};
using unique_crt_list = std::unique_ptr<mbedtls_x509_crt, CrtListDeleter>;

bool SameBytes(const mbedtls_x509_buf& a, const mbedtls_x509_buf& b) {
    return a.len == b.len && std::memcmp(a.p, b.p, a.len) == 0;
}

// Whether the purposes the store gives `root` include server
// authentication. No purposes set: the certificate's own count. An unreadable
// setting counts as excluding it.
bool EnabledForServers(PCCERT_CONTEXT root) {
    DWORD size = 0;
    if (!::CertGetCertificateContextProperty(root, CERT_ENHKEY_USAGE_PROP_ID, nullptr, &size)) {
        const DWORD error = ::GetLastError();
        if (error == static_cast<DWORD>(CRYPT_E_NOT_FOUND)) return true;
        LogSystemCallFailure("CertGetCertificateContextProperty", error);
        return false;
    }
    std::string value(size, '\0');
    if (!::CertGetCertificateContextProperty(root, CERT_ENHKEY_USAGE_PROP_ID, &value[0], &size)) {
        LogSystemCallFailure("CertGetCertificateContextProperty", ::GetLastError());
        return false;
    }
    // ExtKeyUsageSyntax ::= SEQUENCE OF KeyPurposeId; empty for "Disable all
    // purposes".
    unsigned char* p = reinterpret_cast<unsigned char*>(&value[0]);
    const unsigned char* end = p + size;
    size_t length = 0;
    if (mbedtls_asn1_get_tag(&p, end, &length, MBEDTLS_ASN1_CONSTRUCTED | MBEDTLS_ASN1_SEQUENCE) != 0) return false;
    end = p + length;
    while (p < end) {
        if (mbedtls_asn1_get_tag(&p, end, &length, MBEDTLS_ASN1_OID) != 0) return false;
        const mbedtls_x509_buf purpose = {MBEDTLS_ASN1_OID, length, p};
        if (MBEDTLS_OID_CMP(MBEDTLS_OID_SERVER_AUTH, &purpose) == 0 ||
            MBEDTLS_OID_CMP(MBEDTLS_OID_ANY_EXTENDED_KEY_USAGE, &purpose) == 0) {
            return true;
        }
        p += length;
    }
    return false;
}

std::string DisplayName(PCCERT_CONTEXT certificate) {
    char name[256] = "";
    ::CertGetNameStringA(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name, sizeof(name));
    return name;
}

// The debug log's words for what a root search came to.
const char* Outcome(RootFetch fetched) {
    switch (fetched) {
        case RootFetch::Found: return "Windows added the root of the server's chain to the machine's ROOT store";
        case RootFetch::NotFound: return "Windows did not find the root of the server's chain";
        case RootFetch::LimitReached:
            return "Windows was not asked for the root of the server's chain: this process asked for enough others";
        case RootFetch::TimedOut: return "Windows did not find the root of the server's chain within the time left";
        case RootFetch::Cancelled: return "The search for the root of the server's chain was cancelled";
        default: return "Windows could not build the server's chain";
    }
}

// The roots of `store` named `issuer` that are anchors for a server; sets
// `setAside` with the name of one that is not.
unique_crt_list AnchorsNamed(HCERTSTORE store, const mbedtls_x509_buf& issuerRaw, std::string* setAside) {
    CERT_NAME_BLOB issuer;
    issuer.cbData = static_cast<DWORD>(issuerRaw.len);
    issuer.pbData = issuerRaw.p;
    unique_crt_list found;
    PCCERT_CONTEXT root = nullptr;
    // CertFindCertificateInStore frees the previous context it is handed.
    while ((root = ::CertFindCertificateInStore(store, kEncoding, 0, CERT_FIND_SUBJECT_NAME, &issuer, root)) !=
           nullptr) {
        if (!EnabledForServers(root)) {
            *setAside = DisplayName(root);
            continue;
        }
        if (!found) {
            found.reset(static_cast<mbedtls_x509_crt*>(mbedtls_calloc(1, sizeof(mbedtls_x509_crt))));
            if (!found) {
                ::CertFreeCertificateContext(root);
                return found;
            }
            mbedtls_x509_crt_init(found.get());
        }
        // A root the library cannot parse (an algorithm it does not carry)
        // is simply no candidate.
        mbedtls_x509_crt_parse_der(found.get(), root->pbCertEncoded, root->cbCertEncoded);
    }
    if (found && found->raw.p == nullptr) found.reset();
    return found;
}

}  // namespace

void MachineTrust::Attach(mbedtls_ssl_config* config, const std::string& host) {
    host_ = host;
    MachineStoreHandles stores = CurrentMachineStores();
    roots_ = std::move(stores.roots);
    disallowed_ = std::move(stores.disallowed);
    mbedtls_ssl_conf_ca_cb(config, FindRoots, this);
    mbedtls_ssl_conf_verify(config, Verify, this);
}

int MachineTrust::FindRoots(void* self, const mbedtls_x509_crt* child, mbedtls_x509_crt** candidates) {
    *candidates = nullptr;
    MachineTrust& trust = *static_cast<MachineTrust*>(self);
    // The library asks for the leaf's issuer first, then up the chain the
    // server sent (one list, leaf first).
    bool belowLeaf = false;
    for (const mbedtls_x509_crt* c = trust.leaf_; c != nullptr && !belowLeaf; c = c->next) belowLeaf = c == child;
    if (!belowLeaf) trust.leaf_ = child;
    if (!trust.roots_) return 0;  // no anchors: the chain does not verify
    std::string setAside;
    unique_crt_list found = AnchorsNamed(trust.roots_.get(), child->issuer_raw, &setAside);
    if (!found && setAside.empty()) {
        // The library looks for an untrusted issuer among the certificates
        // after `child` only; when none is there either, the chain ends here
        // unless Windows fetches its root.
        bool sent = false;
        for (const mbedtls_x509_crt* c = child->next; c != nullptr && !sent; c = c->next) {
            sent = c->raw.p != nullptr && SameBytes(c->subject_raw, child->issuer_raw);
        }
        if (!sent && trust.FetchRoot(*child)) {
            trust.roots_ = RootsReadAgain();
            if (!trust.roots_) return 0;
            found = AnchorsNamed(trust.roots_.get(), child->issuer_raw, &setAside);
        }
        // A fetch cut short ends the verification: the handshake fails with
        // the wait's own code, not as a refused certificate.
        if (trust.fetchStopped_ != 0) return -1;
    }
    if (!found && !setAside.empty() && !trust.rootNotForServers_) {
        trust.rootNotForServers_ = true;
        trust.logged_ |= kReasonOwnCheck;
        LogMessage("ERROR: The root certificate \"" + setAside +
                   "\" of the server's chain is not enabled for server authentication in the machine's ROOT store");
    }
    *candidates = found.release();
    return 0;
}

bool MachineTrust::FetchRoot(const mbedtls_x509_crt& child) {
    // The server has not proved it holds its key yet: Windows is asked, and
    // waited for, only for a leaf that names the host connected to, so that a
    // stranger's certificate costs no wait at all.
    if (leaf_ == nullptr || !CertificateNamesHost(*leaf_, host_)) return false;
    std::vector<std::string> chain;
    for (const mbedtls_x509_crt* c = &child; c != nullptr; c = c->next) {
        if (c->raw.p != nullptr) chain.emplace_back(reinterpret_cast<const char*>(c->raw.p), c->raw.len);
    }
    const DWORD bound = fetchDeadline_ != nullptr ? fetchDeadline_->Remaining() : kMaxRootFetchMs;
    const RootFetch fetched = FetchMissingRoot(chain, bound, fetchCancel_);
    if (fetched == RootFetch::TimedOut) fetchStopped_ = 12002;   // ERROR_WINHTTP_TIMEOUT
    if (fetched == RootFetch::Cancelled) fetchStopped_ = 12017;  // ERROR_WINHTTP_OPERATION_CANCELLED
    if (gDebugLogging && fetched != RootFetch::AlreadyTried) LogMessage(std::string("DEBUG: ") + Outcome(fetched));
    return fetched == RootFetch::Found;
}

int MachineTrust::Verify(void* self, mbedtls_x509_crt* certificate, int depth, uint32_t* flags) {
    MachineTrust& trust = *static_cast<MachineTrust*>(self);
    trust.CheckDisallowed(*certificate, depth, flags);
    // Also true for a certificate without the extension, or with "any purpose".
    if (mbedtls_x509_crt_check_extended_key_usage(certificate, MBEDTLS_OID_SERVER_AUTH,
                                                  MBEDTLS_OID_SIZE(MBEDTLS_OID_SERVER_AUTH)) != 0) {
        *flags |= MBEDTLS_X509_BADCERT_EXT_KEY_USAGE;
        trust.logged_ |= kReasonOwnCheck;
        LogMessage("ERROR: A certificate of the server's chain (depth " + std::to_string(depth) +
                   ") is not valid for server authentication (its extended key usage)");
    }
    if ((*flags & MBEDTLS_X509_BADCERT_NOT_TRUSTED) && trust.rootNotForServers_) *flags |= kRootNotForServers;
    trust.LogLibraryRefusals(*certificate, *flags);
    if (depth < 0) return 0;
    if (trust.chain_.size() <= static_cast<size_t>(depth)) trust.chain_.resize(static_cast<size_t>(depth) + 1);
    trust.chain_[static_cast<size_t>(depth)] = certificate;
    if (depth == 0) {
        trust.CheckNames(flags);
        trust.chain_.clear();
    }
    return 0;
}

void MachineTrust::CheckNames(uint32_t* flags) {
    const mbedtls_x509_crt& leaf = *chain_[0];
    // The library has matched a DNS name already, more loosely; either
    // refusal gets the line.
    if (!CertificateNamesHost(leaf, host_)) *flags |= MBEDTLS_X509_BADCERT_CN_MISMATCH;
    if (*flags & MBEDTLS_X509_BADCERT_CN_MISMATCH) {
        Once(kReasonName, "ERROR: The server's certificate does not name " + host_);
    }
    // Each CA's constraints hold for every certificate below it.
    for (size_t ca = 1; ca < chain_.size(); ++ca) {
        if (chain_[ca] == nullptr) continue;
        for (size_t below = 0; below < ca; ++below) {
            if (chain_[below] == nullptr) continue;
            std::string outside;
            if (InsideNameConstraints(*chain_[ca], *chain_[below], below == 0, &outside)) continue;
            *flags |= kOutsideNameConstraints;
            logged_ |= kReasonOwnCheck;
            if (outside.empty()) {
                LogMessage("ERROR: The name constraints of the CA at depth " + std::to_string(ca) +
                           " of the server's chain cannot be checked by this client (unreadable, an empty list, or "
                           "a kind of name it does not check)");
            } else {
                LogMessage("ERROR: A certificate of the server's chain (depth " + std::to_string(below) + ") names " +
                           outside + " outside the name constraints of the CA at depth " + std::to_string(ca));
            }
            return;
        }
    }
}

void MachineTrust::CheckDisallowed(const mbedtls_x509_crt& certificate, int depth, uint32_t* flags) {
    if (!disallowed_) {
        // The deny list cannot be read: refusing is the safe side.
        *flags |= MBEDTLS_X509_BADCERT_OTHER;
        return;
    }
    // The store knows its certificates by SHA-1 thumbprint.
    unsigned char thumbprint[20];
    if (mbedtls_sha1(certificate.raw.p, certificate.raw.len, thumbprint) != 0) {
        *flags |= MBEDTLS_X509_BADCERT_OTHER;
        return;
    }
    CRYPT_HASH_BLOB hash;
    hash.cbData = sizeof(thumbprint);
    hash.pbData = thumbprint;
    unique_cert_context listed(
        ::CertFindCertificateInStore(disallowed_.get(), kEncoding, 0, CERT_FIND_SHA1_HASH, &hash, nullptr));
    if (listed) {
        *flags |= MBEDTLS_X509_BADCERT_OTHER | kDisallowed;
        logged_ |= kReasonOwnCheck;
        LogMessage("ERROR: A certificate of the server's chain (depth " + std::to_string(depth) +
                   ") is in the machine's Disallowed store");
    }
}

void MachineTrust::Once(uint32_t reason, const std::string& line) {
    if (logged_ & reason) return;
    logged_ |= reason;
    LogMessage(line);
}

void MachineTrust::LogLibraryRefusals(const mbedtls_x509_crt& certificate, uint32_t flags) {
    // The library skips a certificate signed with an algorithm it does not
    // know (MD5 among them) and verifies what is left: a leaf it skipped
    // arrives here empty.
    if (certificate.raw.p == nullptr) Once(kReasonAlgorithm, kAlgorithmLine);
    if ((flags & MBEDTLS_X509_BADCERT_NOT_TRUSTED) && !rootNotForServers_ && !(logged_ & kReasonAlgorithm)) {
        Once(kReasonUntrusted, "ERROR: The server's chain does not end at a root of the machine's ROOT store");
    }
    if (flags & (MBEDTLS_X509_BADCERT_EXPIRED | MBEDTLS_X509_BADCERT_FUTURE)) {
        Once(kReasonExpired, "ERROR: A certificate of the server's chain is outside its validity period");
    }
    if (flags & MBEDTLS_X509_BADCERT_BAD_KEY) {
        Once(kReasonWeakKey,
             "ERROR: A certificate of the server's chain has a key too weak for this client (RSA under 2048 bits, "
             "or a curve it does not accept)");
    }
    if (flags & (MBEDTLS_X509_BADCERT_BAD_MD | MBEDTLS_X509_BADCERT_BAD_PK)) Once(kReasonAlgorithm, kAlgorithmLine);
}

bool MachineTrust::CertificateRefused(int result, uint32_t flags, bool atServerCertificate) {
    const int code = -result;
    const int high = code & 0xFF80;
    const int low = code & 0x7F;
    bool refused = false;
    if (result == MBEDTLS_ERR_X509_CERT_VERIFY_FAILED) {
        refused = true;
    } else if (result == MBEDTLS_ERR_SSL_BAD_CERTIFICATE) {
        // The library's checks of the leaf after the chain's.
        if (flags & MBEDTLS_X509_BADCERT_KEY_USAGE) {
            logged_ |= kReasonOwnCheck;
            LogMessage("ERROR: The server's certificate does not allow its key to be used for this connection "
                       "(its key usage)");
        }
        if (flags & MBEDTLS_X509_BADCERT_BAD_KEY) {
            logged_ |= kReasonWeakKey;
            LogMessage("ERROR: The server's certificate has a key this client does not accept (its curve)");
        }
        refused = true;
    } else if (result < 0 && ((high >= 0x2080 && high <= 0x3000) || (high >= 0x3880 && high <= 0x3F80))) {
        // A certificate the library cannot read (its X.509 and key parsers):
        // a key or signature algorithm it does not carry, or bytes that are
        // no certificate.
        const bool notCarried = low == (-MBEDTLS_ERR_OID_NOT_FOUND & 0x7F) ||
                                high == -MBEDTLS_ERR_PK_UNKNOWN_PK_ALG || high == -MBEDTLS_ERR_PK_UNKNOWN_NAMED_CURVE ||
                                high == -MBEDTLS_ERR_PK_FEATURE_UNAVAILABLE ||
                                high == -MBEDTLS_ERR_X509_UNKNOWN_SIG_ALG ||
                                high == -MBEDTLS_ERR_X509_FEATURE_UNAVAILABLE;
        if (notCarried) Once(kReasonAlgorithm, kAlgorithmLine);
        refused = true;
    } else if (result == MBEDTLS_ERR_ECP_FEATURE_UNAVAILABLE) {
        Once(kReasonAlgorithm, kAlgorithmLine);
        refused = true;
    } else if (atServerCertificate) {
        // Whatever else ends the handshake while the server's certificates
        // are read is theirs (the callers have set apart the socket's and
        // the bound's ends).
        refused = true;
    } else {
        refused = flags != 0 && flags != 0xFFFFFFFFu;
    }
    // Every refusal names a reason; what none of the above named is a
    // certificate the client could not read.
    if (refused && logged_ == 0) {
        Once(kReasonUnreadable, "ERROR: A certificate of the server's chain cannot be read by this client");
    }
    return refused;
}

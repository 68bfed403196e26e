#include "tools/check/chain_diagnosis.h"

#include <windows.h>
#include <wincrypt.h>

#include <mbedtls/x509.h>

#include <cstdio>
#include <vector>

#include "common/handles.h"
#include "common/strings.h"
#include "net/crypt_handles.h"
#include "net/tls/root_update.h"

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

unique_cert_context ContextOf(const std::string& der) {
    return unique_cert_context(::CertCreateCertificateContext(
        kEncoding, reinterpret_cast<const BYTE*>(der.data()), static_cast<DWORD>(der.size())));
}

// A name as certutil and the certificate dialog's details show it.
std::string NameText(const CERT_NAME_BLOB& name) {
    CERT_NAME_BLOB copy = name;
    const DWORD type = CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG;
    const DWORD chars = ::CertNameToStrW(X509_ASN_ENCODING, &copy, type, nullptr, 0);
    if (chars <= 1) return "(no name)";
    std::wstring text(chars, L'\0');
    ::CertNameToStrW(X509_ASN_ENCODING, &copy, type, text.data(), chars);
    text.resize(chars - 1);
    return ToUtf8(text);
}

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

std::string SubjectOf(const PeerChain::Link& link) {
    const unique_cert_context c = ContextOf(link.der);
    return c ? Quoted(NameText(c.get()->pCertInfo->Subject)) : "(a certificate this machine cannot read)";
}

std::string DateText(const FILETIME& time) {
    SYSTEMTIME t = {};
    if (!::FileTimeToSystemTime(&time, &t)) return "?";
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
                  t.wSecond);
    return text;
}

std::string Hex(const BYTE* data, DWORD size) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (DWORD i = 0; i < size; ++i) {
        text += kDigits[data[i] >> 4];
        text += kDigits[data[i] & 15];
    }
    return text;
}

// The algorithm an object identifier stands for, by Windows' name when it has one.
std::string AlgorithmName(const char* oid) {
    if (oid == nullptr) return "an unnamed algorithm";
    const PCCRYPT_OID_INFO info = ::CryptFindOIDInfo(CRYPT_OID_INFO_OID_KEY, const_cast<char*>(oid), 0);
    if (info != nullptr && info->pwszName != nullptr && info->pwszName[0] != L'\0')
        return ToUtf8(info->pwszName) + " (" + oid + ")";
    return std::string("the algorithm ") + oid;
}

// A certificate's public key: its algorithm and size.
std::string KeyText(const CERT_CONTEXT* c) {
    CERT_PUBLIC_KEY_INFO& key = c->pCertInfo->SubjectPublicKeyInfo;
    return AlgorithmName(key.Algorithm.pszObjId) + ", " +
           std::to_string(::CertGetPublicKeyLength(X509_ASN_ENCODING, &key)) + " bits";
}

// The host names and addresses a certificate holds: its subject alternative
// names, then the subject's common name.
std::string NamesOf(const CERT_CONTEXT* c) {
    std::vector<std::string> names;
    const PCERT_EXTENSION extension = ::CertFindExtension(szOID_SUBJECT_ALT_NAME2, c->pCertInfo->cExtension,
                                                          c->pCertInfo->rgExtension);
    if (extension != nullptr) {
        PCERT_ALT_NAME_INFO info = nullptr;
        DWORD size = 0;
        if (::CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, extension->Value.pbData,
                                  extension->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &info, &size)) {
            const unique_hlocal owned(info);
            for (DWORD i = 0; i < info->cAltEntry; ++i) {
                const CERT_ALT_NAME_ENTRY& entry = info->rgAltEntry[i];
                if (entry.dwAltNameChoice == CERT_ALT_NAME_DNS_NAME) {
                    names.push_back("DNS:" + ToUtf8(entry.pwszDNSName));
                } else if (entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && entry.IPAddress.cbData == 4) {
                    const BYTE* a = entry.IPAddress.pbData;
                    names.push_back("IP:" + std::to_string(a[0]) + "." + std::to_string(a[1]) + "." +
                                    std::to_string(a[2]) + "." + std::to_string(a[3]));
                }
            }
        }
    }
    wchar_t common[256] = {};
    if (::CertGetNameStringW(c, CERT_NAME_ATTR_TYPE, 0, const_cast<char*>(szOID_COMMON_NAME), common, 256) > 1)
        names.push_back("CN=" + ToUtf8(common));
    std::string text;
    for (const std::string& n : names) text += (text.empty() ? "" : ", ") + n;
    return text.empty() ? "no host name at all" : text;
}

// The machine's store `name`, read-only, as the module's own client opens it.
unique_hcertstore OpenMachineStore(const wchar_t* name, DWORD& error) {
    unique_hcertstore store(::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                            CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_READONLY_FLAG, name));
    error = store ? 0 : ::GetLastError();
    return store;
}

// The first certificate of the chain in the machine's Disallowed store, if any.
bool FindDisallowed(HCERTSTORE disallowed, const PeerChain& chain, std::string& which) {
    std::vector<const std::string*> all;
    for (const std::string& der : chain.sent) all.push_back(&der);
    for (const PeerChain::Link& link : chain.verified) all.push_back(&link.der);
    for (const std::string* der : all) {
        const unique_cert_context c = ContextOf(*der);
        if (!c) continue;
        BYTE hash[20];
        DWORD size = sizeof hash;
        if (!::CertGetCertificateContextProperty(c.get(), CERT_SHA1_HASH_PROP_ID, hash, &size)) continue;
        CRYPT_HASH_BLOB blob = {size, hash};
        const unique_cert_context listed(
            ::CertFindCertificateInStore(disallowed, kEncoding, 0, CERT_FIND_SHA1_HASH, &blob, nullptr));
        if (!listed) continue;
        which = Quoted(NameText(c.get()->pCertInfo->Subject)) + " (SHA-1 thumbprint " + Hex(hash, size) + ")";
        return true;
    }
    return false;
}

// Lets Windows build the chain the service sent once, with the machine's
// chain engine: on XP and 2003 that is when "Update Root Certificates" adds a
// missing third-party root to the machine's store, which the module's own
// client never asks for. Then the module's own client is asked again: a root
// of the same name but another key would not make the chain trusted.
RootAsk AskWindowsForRoot(const PeerChain& chain, const std::function<CertificateProbe()>& probeAgain) {
    // The module's own client asks Windows the same way, once per issuer and
    // process; the probe's handshake may already have asked (then this call
    // does nothing), and the look that follows tells either way.
    if (FetchMissingRoot(chain.sent) == RootFetch::Failed) return RootAsk::Failed;
    const CertificateProbe again = probeAgain();
    if (again.localFailure) return RootAsk::Failed;
    if (again.error == 0) return RootAsk::Found;
    const std::vector<PeerChain::Link>& verified = again.chain.verified;
    if (verified.empty()) return RootAsk::Failed;
    return verified.back().flags & MBEDTLS_X509_BADCERT_NOT_TRUSTED ? RootAsk::NotFound : RootAsk::Found;
}

// The library could not read a certificate the service sent: an algorithm
// (of the signature or the key) it does not carry, or a malformed certificate.
bool IsCertificateParseFailure(int code) {
    const int positive = -code;
    // The X.509 module's codes (0x2080-0x2980), alone or with a lower
    // module's code added, and the public-key module's (0x3880-0x3F80).
    const int high = positive & 0xFF80;
    return (high >= 0x2080 && high <= 0x2980) || (high >= 0x3880 && high <= 0x3F80);
}

}  // namespace

ChainDiagnosis DiagnoseChain(const CertificateProbe& probe, const std::string& host,
                             const std::function<CertificateProbe()>& probeAgain, RootAsk& fetch) {
    fetch = RootAsk::NotAsked;
    const std::string client = "the module's own TLS client";
    if (probe.localFailure)
        return {ChainFinding::LocalFailure,
                "a failure on this machine: " + client +
                    " cannot start (Winsock, the TLS library or its random generator; the debugger output, e.g. "
                    "DebugView, names the call)"};
    // The client refuses every chain while either store cannot be read.
    for (const wchar_t* name : {L"ROOT", L"Disallowed"}) {
        DWORD error = 0;
        if (!OpenMachineStore(name, error))
            return {ChainFinding::LocalFailure,
                    "a failure on this machine: its trust store \"" + ToUtf8(name) + "\" cannot be opened (error " +
                        std::to_string(error) + "): " + client + " refuses every certificate until it can"};
    }
    if (probe.error == 0) return {ChainFinding::Valid, std::string()};

    const PeerChain& chain = probe.chain;
    if (chain.verified.empty()) {
        if (IsCertificateParseFailure(chain.handshakeResult)) {
            char code[16];
            std::snprintf(code, sizeof code, "-0x%04X", static_cast<unsigned>(-chain.handshakeResult));
            return {ChainFinding::Algorithm, "certificate not readable by " + client +
                                                 ": it uses an algorithm the client does not carry, or is malformed "
                                                 "(TLS library code " + code + ")"};
        }
        return {ChainFinding::NoCertificate, std::string()};
    }

    DWORD error = 0;
    const unique_hcertstore disallowed = OpenMachineStore(L"Disallowed", error);
    std::string which;
    if (disallowed && FindDisallowed(disallowed.get(), chain, which))
        return {ChainFinding::Disallowed,
                "certificate in this machine's Disallowed store: the service sent " + which + ", and " + client +
                    " refuses any chain that holds it. The service needs a certificate without it (if it was "
                    "distrusted by mistake: certutil -delstore Disallowed <thumbprint>)"};

    for (size_t i = 0; i < chain.verified.size(); ++i) {
        const PeerChain::Link& link = chain.verified[i];
        if (!(link.flags & (MBEDTLS_X509_BADCERT_BAD_MD | MBEDTLS_X509_BADCERT_BAD_PK | MBEDTLS_X509_BADCERT_BAD_KEY)))
            continue;
        const unique_cert_context c = ContextOf(link.der);
        if (!c) break;
        std::string words = "certificate with an algorithm " + client + " does not carry: " +
                            Quoted(NameText(c.get()->pCertInfo->Subject)) + " is signed with " +
                            AlgorithmName(c.get()->pCertInfo->SignatureAlgorithm.pszObjId);
        if (link.flags & MBEDTLS_X509_BADCERT_BAD_KEY) {
            // The flag stands for the certificate's own key (the service's
            // certificate) or the key it is signed with: both are named.
            words += " (its own key: " + KeyText(c.get());
            if (i + 1 < chain.verified.size()) {
                const unique_cert_context issuer = ContextOf(chain.verified[i + 1].der);
                if (issuer) words += "; its issuer's key: " + KeyText(issuer.get());
            }
            words += ")";
        }
        return {ChainFinding::Algorithm, words + ". The service needs a certificate chain of RSA (2048 bits or more) "
                                                 "or ECDSA (P-256, P-384, P-521) with SHA-256, SHA-384 or SHA-512"};
    }

    const PeerChain::Link& top = chain.verified.back();
    if (top.flags & MBEDTLS_X509_BADCERT_NOT_TRUSTED) {
        const unique_cert_context c = ContextOf(top.der);
        const std::string root = c ? Quoted(NameText(c.get()->pCertInfo->Issuer)) : "an issuer this machine cannot read";
        std::string words = "certificate not trusted: the chain the service sent ends at the issuer " + root +
                            ", which is not in this machine's trusted roots. Add that root certificate to the "
                            "machine's trusted roots: certutil -addstore Root <file>, or Group Policy > Public Key "
                            "Policies > Trusted Root Certification Authorities";
        if (c) {
            fetch = AskWindowsForRoot(chain, probeAgain);
            switch (fetch) {
                case RootAsk::Found:
                    words += ". Windows, asked to build the chain, has now added that root to the machine's store, "
                             "and the module's own TLS client trusts the chain: run vyn-check again";
                    break;
                case RootAsk::NotFound:
                    words += ". Windows, asked to build the chain, did not fetch that root (Update Root "
                             "Certificates does not know it, is turned off, or cannot reach Windows Update)";
                    break;
                default:
                    words += ". Windows could not be asked to build the chain";
                    break;
            }
        }
        return {ChainFinding::Untrusted, words};
    }

    for (const PeerChain::Link& link : chain.verified) {
        const bool expired = (link.flags & MBEDTLS_X509_BADCERT_EXPIRED) != 0;
        if (!expired && !(link.flags & MBEDTLS_X509_BADCERT_FUTURE)) continue;
        const unique_cert_context c = ContextOf(link.der);
        if (!c) break;
        const std::string dates = "from " + DateText(c.get()->pCertInfo->NotBefore) + " to " +
                                  DateText(c.get()->pCertInfo->NotAfter) + " (UTC)";
        const std::string subject = Quoted(NameText(c.get()->pCertInfo->Subject));
        if (expired)
            return {ChainFinding::Expired, "certificate expired: " + subject + " was valid " + dates +
                                               ". The service needs a renewed certificate (or this machine's clock "
                                               "is wrong)"};
        return {ChainFinding::NotYetValid, "certificate not yet valid: " + subject + " is valid " + dates +
                                               ". Check this machine's clock"};
    }

    const PeerChain::Link& own = chain.verified.front();
    if (own.flags & MBEDTLS_X509_BADCERT_CN_MISMATCH) {
        const unique_cert_context c = ContextOf(own.der);
        return {ChainFinding::OtherName, "certificate for another name: it names " +
                                             (c ? NamesOf(c.get()) : std::string("names this machine cannot read")) +
                                             ", not " + host + ". Set Host to a name the certificate holds, or give "
                                             "the service a certificate for " + host};
    }

    uint32_t flags = 0;
    for (const PeerChain::Link& link : chain.verified) flags |= link.flags;
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(flags));
    return {ChainFinding::Other, "certificate not accepted by " + client + ": " + SubjectOf(own) +
                                     " (verification flags " + text + ")"};
}

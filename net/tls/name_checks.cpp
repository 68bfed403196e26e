// Host matching and name constraints of the server's chain (see
// net/tls/name_checks.h).
#include <winsock2.h>
#include <ws2tcpip.h>

#include "net/tls/name_checks.h"

#include <mbedtls/asn1.h>
#include <mbedtls/oid.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

// GeneralName tags (context-specific, primitive) of the two kinds checked.
constexpr unsigned char kDnsNameTag = MBEDTLS_ASN1_CONTEXT_SPECIFIC | MBEDTLS_X509_SAN_DNS_NAME;
constexpr unsigned char kIpAddressTag = MBEDTLS_ASN1_CONTEXT_SPECIFIC | MBEDTLS_X509_SAN_IP_ADDRESS;
// id-ce-nameConstraints (2.5.29.30).
constexpr unsigned char kNameConstraintsOid[] = {0x55, 0x1D, 0x1E};

std::string Lower(const unsigned char* p, size_t length) {
    std::string s;
    s.reserve(length);
    for (size_t i = 0; i < length; ++i) s += static_cast<char>(std::tolower(p[i]));
    return s;
}

std::string Lower(const std::string& text) {
    return Lower(reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

// A DNS name of a certificate or a constraint, as compared: lower case, one
// trailing dot (the root's label, which names the same host) dropped.
std::string DnsForm(const unsigned char* p, size_t length) {
    if (length > 0 && p[length - 1] == '.') --length;
    return Lower(p, length);
}

bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

struct Names {
    std::vector<std::string> dns;  // lower case
    std::vector<std::string> ip;   // 4 or 16 bytes
};

// The dNSName and iPAddress names of `crt` (see InsideNameConstraints).
Names NamesOf(const mbedtls_x509_crt& crt, bool commonNameCounts) {
    Names names;
    if (mbedtls_x509_crt_has_ext_type(&crt, MBEDTLS_X509_EXT_SUBJECT_ALT_NAME)) {
        for (const mbedtls_x509_sequence* s = &crt.subject_alt_names; s != nullptr; s = s->next) {
            if (s->buf.p == nullptr) continue;
            if (s->buf.tag == kDnsNameTag) names.dns.push_back(DnsForm(s->buf.p, s->buf.len));
            if (s->buf.tag == kIpAddressTag) names.ip.emplace_back(reinterpret_cast<const char*>(s->buf.p), s->buf.len);
        }
    } else if (commonNameCounts) {
        for (const mbedtls_x509_name* n = &crt.subject; n != nullptr; n = n->next) {
            if (n->oid.p != nullptr && MBEDTLS_OID_CMP(MBEDTLS_OID_AT_CN, &n->oid) == 0) {
                names.dns.push_back(DnsForm(n->val.p, n->val.len));
            }
        }
    }
    return names;
}

struct Subtrees {
    std::vector<std::string> dnsPermitted, dnsExcluded;  // lower case
    std::vector<std::string> ipPermitted, ipExcluded;    // address then mask: 8 or 32 bytes
};

// The value of the extension `oid` of `crt`; false when it has none.
bool FindExtension(const mbedtls_x509_crt& crt, const unsigned char* oid, size_t oidLength, unsigned char** value,
                   size_t* valueLength, bool* unreadable) {
    *unreadable = false;
    if (crt.v3_ext.p == nullptr || crt.v3_ext.len == 0) return false;
    unsigned char* p = crt.v3_ext.p;
    const unsigned char* end = p + crt.v3_ext.len;
    size_t length = 0;
    if (mbedtls_asn1_get_tag(&p, end, &length, MBEDTLS_ASN1_CONSTRUCTED | MBEDTLS_ASN1_SEQUENCE) != 0) {
        *unreadable = true;
        return false;
    }
    end = p + length;
    while (p < end) {
        if (mbedtls_asn1_get_tag(&p, end, &length, MBEDTLS_ASN1_CONSTRUCTED | MBEDTLS_ASN1_SEQUENCE) != 0) break;
        const unsigned char* extensionEnd = p + length;
        size_t idLength = 0;
        if (mbedtls_asn1_get_tag(&p, extensionEnd, &idLength, MBEDTLS_ASN1_OID) != 0) break;
        const bool wanted = idLength == oidLength && std::memcmp(p, oid, oidLength) == 0;
        p += idLength;
        int critical = 0;
        const int rc = mbedtls_asn1_get_bool(&p, extensionEnd, &critical);
        if (rc != 0 && rc != MBEDTLS_ERR_ASN1_UNEXPECTED_TAG) break;
        if (mbedtls_asn1_get_tag(&p, extensionEnd, &length, MBEDTLS_ASN1_OCTET_STRING) != 0) break;
        if (wanted) {
            *value = p;
            *valueLength = length;
            return true;
        }
        p = const_cast<unsigned char*>(extensionEnd);
    }
    *unreadable = p != end;
    return false;
}

// Reads NameConstraints ::= SEQUENCE { permittedSubtrees [0], excludedSubtrees [1] }
// (each a SEQUENCE OF GeneralSubtree ::= SEQUENCE { base GeneralName, ... }).
// False when it cannot be read, when a list is empty (no name could be
// inside an empty permitted list, and the encoding forbids one), or when a
// subtree is of a kind of name this client does not check (directoryName,
// rfc822Name, URI, otherName...): Windows checks those, and a CA constrained
// in them is not one this client can vouch for.
bool ParseNameConstraints(unsigned char* p, const unsigned char* end, Subtrees* out) {
    size_t length = 0;
    if (mbedtls_asn1_get_tag(&p, end, &length, MBEDTLS_ASN1_CONSTRUCTED | MBEDTLS_ASN1_SEQUENCE) != 0 ||
        p + length != end) {
        return false;
    }
    while (p < end) {
        const unsigned char tag = *p;
        const bool permitted = tag == (MBEDTLS_ASN1_CONTEXT_SPECIFIC | MBEDTLS_ASN1_CONSTRUCTED | 0);
        const bool excluded = tag == (MBEDTLS_ASN1_CONTEXT_SPECIFIC | MBEDTLS_ASN1_CONSTRUCTED | 1);
        if ((!permitted && !excluded) || mbedtls_asn1_get_tag(&p, end, &length, tag) != 0) return false;
        if (length == 0) return false;
        const unsigned char* listEnd = p + length;
        while (p < listEnd) {
            if (mbedtls_asn1_get_tag(&p, listEnd, &length, MBEDTLS_ASN1_CONSTRUCTED | MBEDTLS_ASN1_SEQUENCE) != 0) {
                return false;
            }
            const unsigned char* subtreeEnd = p + length;
            if (p >= subtreeEnd) return false;
            const unsigned char baseTag = *p;
            size_t baseLength = 0;
            if (mbedtls_asn1_get_tag(&p, subtreeEnd, &baseLength, baseTag) != 0) return false;
            if (baseTag == kDnsNameTag) {
                (permitted ? out->dnsPermitted : out->dnsExcluded).push_back(DnsForm(p, baseLength));
            } else if (baseTag == kIpAddressTag) {
                if (baseLength != 8 && baseLength != 32) return false;
                (permitted ? out->ipPermitted : out->ipExcluded)
                    .emplace_back(reinterpret_cast<const char*>(p), baseLength);
            } else {
                return false;
            }
            p = const_cast<unsigned char*>(subtreeEnd);
        }
    }
    return true;
}

// A DNS name inside the subtree `base`: "" holds every name, ".example.test"
// the names below it, "example.test" that name and the names below it.
bool InDnsSubtree(const std::string& name, const std::string& base) {
    if (base.empty()) return true;
    if (base[0] == '.') return name.size() > base.size() && EndsWith(name, base);
    return name == base || EndsWith(name, "." + base);
}

// Whether a wildcard name ("*.example.test") may stand for a name of the
// subtree `base`: it does when `base` is one label over the wildcard's own.
bool WildcardReaches(const std::string& name, const std::string& base) {
    if (base.empty() || name.compare(0, 2, "*.") != 0) return false;
    const std::string stem = base[0] == '.' ? base.substr(1) : base;
    const std::string tail = name.substr(1);  // ".example.test"
    if (!EndsWith(stem, tail) || stem.size() == tail.size()) return false;
    return stem.substr(0, stem.size() - tail.size()).find('.') == std::string::npos;
}

bool InIpSubtree(const std::string& address, const std::string& subtree) {
    if (subtree.size() != address.size() * 2) return false;
    for (size_t i = 0; i < address.size(); ++i) {
        const unsigned char mask = static_cast<unsigned char>(subtree[address.size() + i]);
        if ((static_cast<unsigned char>(address[i]) & mask) != (static_cast<unsigned char>(subtree[i]) & mask)) {
            return false;
        }
    }
    return true;
}

std::string ShowAddress(const std::string& address) {
    std::string shown;
    char part[8];
    for (size_t i = 0; i < address.size(); ++i) {
        const unsigned byte = static_cast<unsigned char>(address[i]);
        if (address.size() == 4) {
            std::snprintf(part, sizeof(part), i == 0 ? "%u" : ".%u", byte);
        } else {
            std::snprintf(part, sizeof(part), i > 0 && i % 2 == 0 ? ":%02x" : "%02x", byte);
        }
        shown += part;
    }
    return shown;
}

}  // namespace

std::string AddressBytes(const std::string& host) {
    if (host.empty() || host.size() > 64) return std::string();
    char text[65];
    std::memcpy(text, host.c_str(), host.size() + 1);
    sockaddr_storage address = {};
    int length = sizeof(address);
    if (::WSAStringToAddressA(text, AF_INET, nullptr, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(&address);
        return std::string(reinterpret_cast<const char*>(&v4->sin_addr), 4);
    }
    std::memcpy(text, host.c_str(), host.size() + 1);
    length = sizeof(address);
    if (::WSAStringToAddressA(text, AF_INET6, nullptr, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&address);
        return std::string(reinterpret_cast<const char*>(&v6->sin6_addr), 16);
    }
    return std::string();
}

bool DnsNameMatches(const std::string& pattern, const std::string& host) {
    const std::string p = Lower(pattern);
    const std::string h = Lower(host);
    if (h.empty()) return false;
    if (p == h) return true;
    if (p.compare(0, 2, "*.") != 0) return false;
    const std::string rest = p.substr(2);
    // At least two labels after the wildcard, none of them empty.
    if (rest.find('.') == std::string::npos || rest.front() == '.' || rest.back() == '.' ||
        rest.find("..") != std::string::npos || rest.find('*') != std::string::npos) {
        return false;
    }
    // An address written out is never a wildcard's, even where it was not
    // recognised as one.
    if (h.find_first_not_of("0123456789.") == std::string::npos || h.find(':') != std::string::npos) return false;
    const size_t dot = h.find('.');
    return dot != std::string::npos && dot > 0 && h.compare(dot + 1, std::string::npos, rest) == 0;
}

bool CertificateNamesHost(const mbedtls_x509_crt& leaf, const std::string& host) {
    const std::string address = AddressBytes(host);
    if (!address.empty()) {
        const Names names = NamesOf(leaf, false);
        for (const std::string& ip : names.ip) {
            if (ip == address) return true;
        }
        return false;
    }
    const Names names = NamesOf(leaf, true);
    for (const std::string& dns : names.dns) {
        if (DnsNameMatches(dns, host)) return true;
    }
    return false;
}

bool InsideNameConstraints(const mbedtls_x509_crt& ca, const mbedtls_x509_crt& subject, bool subjectIsLeaf,
                           std::string* outside) {
    outside->clear();
    unsigned char* value = nullptr;
    size_t valueLength = 0;
    bool unreadable = false;
    if (!FindExtension(ca, kNameConstraintsOid, sizeof(kNameConstraintsOid), &value, &valueLength, &unreadable)) {
        return !unreadable;
    }
    Subtrees subtrees;
    if (!ParseNameConstraints(value, value + valueLength, &subtrees)) return false;

    const Names names = NamesOf(subject, subjectIsLeaf);
    for (const std::string& dns : names.dns) {
        bool permitted = subtrees.dnsPermitted.empty();
        for (const std::string& base : subtrees.dnsPermitted) permitted = permitted || InDnsSubtree(dns, base);
        bool excluded = false;
        for (const std::string& base : subtrees.dnsExcluded) {
            excluded = excluded || InDnsSubtree(dns, base) || WildcardReaches(dns, base);
        }
        if (!permitted || excluded) {
            *outside = dns;
            return false;
        }
    }
    for (const std::string& ip : names.ip) {
        bool permitted = subtrees.ipPermitted.empty();
        for (const std::string& subtree : subtrees.ipPermitted) permitted = permitted || InIpSubtree(ip, subtree);
        bool excluded = false;
        for (const std::string& subtree : subtrees.ipExcluded) excluded = excluded || InIpSubtree(ip, subtree);
        if (!permitted || excluded) {
            *outside = ShowAddress(ip);
            return false;
        }
    }
    return true;
}

#pragma once
// The names a server's chain must satisfy, as Windows checks them and beyond
// what the TLS library checks: the host against the leaf, and the name
// constraints of every CA of the chain, critical or not (the library skips a
// non-critical name constraints extension and cannot parse a critical one).
// Called by the verification of the module's own TLS client
// (net/tls/machine_trust.cpp) and by vyn-check. Pure functions over parsed
// certificates: no store, no log.

#include <string>

#include <mbedtls/x509_crt.h>

// The 4 or 16 bytes of a host written as an IPv4 or IPv6 address; empty for a
// DNS name. Needs Winsock started.
std::string AddressBytes(const std::string& host);

// Whether `pattern` (a dNSName of a certificate, or its common name) names
// the DNS name `host`: equal ignoring case, or "*." and at least two labels
// that equal all of `host` after its first label. A wildcard never covers more
// than one label, a part of one, or an address written as a name.
bool DnsNameMatches(const std::string& pattern, const std::string& host);

// Whether the leaf names `host`. An address is named only by an iPAddress
// entry of the subject alternative names; a DNS name by a dNSName entry, or by
// the common name when the certificate has no alternative names. Needs
// Winsock started (AddressBytes).
bool CertificateNamesHost(const mbedtls_x509_crt& leaf, const std::string& host);

// The name constraints (dNSName and iPAddress subtrees, permitted and
// excluded) of the CA certificate `ca`, applied to the dNSName and iPAddress
// names of `subject`: its subject alternative names, or, for a leaf without
// them, its common name as a DNS name. DNS names and DNS subtrees are compared
// without case and without one trailing dot. True when `subject` is inside
// them (or `ca` has none); false with the first name outside them in
// `outside` (a dotted or hexadecimal address for an iPAddress), or "" when the
// extension cannot be checked, which counts as outside: it cannot be read,
// lists no subtree, or constrains a kind of name not checked here.
bool InsideNameConstraints(const mbedtls_x509_crt& ca, const mbedtls_x509_crt& subject, bool subjectIsLeaf,
                           std::string* outside);

#pragma once
// What is wrong with the service's certificate chain, judged as the module's
// own TLS client judges it: the chain the service sent to one handshake of
// that client (net/certificate_probe.h), named in the words an
// administrator acts on, with the remedy.

#include <cstdint>
#include <functional>
#include <string>

#include "net/certificate_probe.h"

enum class ChainFinding {
    Valid,          // the handshake completed: the certificate is not the problem
    LocalFailure,   // this machine: the client cannot start, a trust store cannot be opened
    NoCertificate,  // the handshake failed before a certificate was judged
    Untrusted,
    OtherName,
    Expired,
    NotYetValid,
    Disallowed,
    Algorithm,      // an algorithm the client does not carry
    Other,
};

struct ChainDiagnosis {
    ChainFinding finding = ChainFinding::Valid;
    std::string words;  // the finding and its remedy; empty for Valid
};

// Whether Windows, asked once to build the untrusted chain with the machine's
// chain engine (which fetches a missing third-party root where "Update Root
// Certificates" is allowed to), found the root the chain ends at.
enum class RootAsk { NotAsked, Found, NotFound, Failed };

// Names the finding of `probe` for `host`. For an untrusted chain Windows is
// asked for the root once and `probeAgain` then tells whether the module's
// own client trusts the chain now (`fetch` says how that went).
ChainDiagnosis DiagnoseChain(const CertificateProbe& probe, const std::string& host,
                             const std::function<CertificateProbe()>& probeAgain, RootAsk& fetch);

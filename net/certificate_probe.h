#pragma once
// The certificate chain a service sends to the module's own TLS client, as
// that client judged it: one handshake with the client's own configuration
// and the machine's trust, for vyn-check, which names what is wrong with the
// chain the module itself would meet (CryptoAPI on XP x64 / Server 2003 x64
// cannot check ECDSA, nor SHA-2 without KB968730, and WinHTTP there cannot
// complete a TLS 1.2 handshake at all, so neither can stand in for it).

#include <windows.h>

#include <cstdint>
#include <string>

#include "net/tls/peer_chain.h"

// What one probe of host:port came to.
struct CertificateProbe {
    DWORD error = 0;            // 0: the handshake completed; else the client's WinHTTP code
    bool localFailure = false;  // the client could not start on this machine (see the log)
    std::string tlsVersion;     // of a completed handshake
    PeerChain chain;
};

// One handshake (and, when it completes, an unsigned ping, which carries no
// key) with the module's own TLS client, the machine's proxy configuration
// followed, every wait bounded by `timeoutSeconds`.
CertificateProbe ProbeServiceCertificate(const std::string& userAgent, const std::string& host, uint16_t port,
                                         int32_t timeoutSeconds);

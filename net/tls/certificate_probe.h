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
#include <vector>

struct mbedtls_ssl_config;
struct mbedtls_ssl_context;
struct mbedtls_x509_crt;

// Filled during one handshake of CBuiltinTlsClient (RecordPeerChain).
struct PeerChain {
    // DER, as the service sent them, its own certificate first.
    std::vector<std::string> sent;
    // The chain the library verified, its own certificate first and the trust
    // anchor (a certificate of the machine's ROOT store) last when one was
    // found: DER and the library's verification flags (MBEDTLS_X509_BADCERT_*)
    // of each.
    struct Link {
        std::string der;
        uint32_t flags = 0;
    };
    std::vector<Link> verified;
    // The library's result of the handshake (0 when it completed).
    int handshakeResult = 0;

    // The handshake's own verification callback (the machine's trust), called
    // from the recording one; set by Attach.
    int (*next)(void*, mbedtls_x509_crt*, int, uint32_t*) = nullptr;
    void* nextContext = nullptr;

    // Records into this object during the handshake of `ssl`, whose
    // configuration `config` already carries the machine's trust; this
    // object must outlive the handshake.
    void Attach(mbedtls_ssl_context* ssl, const mbedtls_ssl_config* config);
};

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

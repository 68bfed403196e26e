#pragma once
// The certificate chain a service sent to the module's own TLS client during
// one handshake, and the library's verdict on each link. CBuiltinTlsClient
// records into it (RecordPeerChain); vyn-check's certificate probe
// (net/certificate_probe.h) reads it.

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

#pragma once
// The machine's trust, given to the TLS library for one connection of the
// module's own TLS client: the trust anchors are the certificates of the local
// machine's "ROOT" store (looked up by the issuer name the chain asks for,
// so that the store is read as the chain is built, not copied whole), and any
// certificate of the chain found in the local machine's "Disallowed" store is
// refused. The chain itself (signatures, the host's name, validity) is checked
// by the library, so SHA-2 and ECDSA chains verify on systems whose CryptoAPI
// cannot check them.

#include <windows.h>
#include <wincrypt.h>

#include <mbedtls/ssl.h>

#include "net/crypt_handles.h"

class MachineTrust {
public:
    MachineTrust() = default;
    MachineTrust(const MachineTrust&) = delete;
    MachineTrust& operator=(const MachineTrust&) = delete;

    // Opens both stores (a store that cannot be opened is logged; every chain
    // is then refused) and installs the callbacks in `config`, which must not
    // outlive this object.
    void Attach(mbedtls_ssl_config* config);

private:
    static int FindRoots(void* self, const mbedtls_x509_crt* child, mbedtls_x509_crt** candidates);
    static int CheckDisallowed(void* self, mbedtls_x509_crt* certificate, int depth, uint32_t* flags);

    unique_hcertstore roots_;
    unique_hcertstore disallowed_;
};

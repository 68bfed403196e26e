#pragma once
// Owners of the CryptoAPI provider, key and hash handles used by the HMAC, and
// of the certificate and chain contexts the preflight check inspects. The
// first three handle types are ULONG_PTR with 0 as "none"; the distinct traits
// keep an owner of one kind from being handed to another's release call.
#include <windows.h>
#include <wincrypt.h>

#include "common/unique_any.h"

namespace handle_traits {

struct CryptProv {
    using pointer = HCRYPTPROV;
    static constexpr pointer invalid() noexcept { return 0; }
    static void close(pointer h) noexcept { ::CryptReleaseContext(h, 0); }
};

struct CryptKey {
    using pointer = HCRYPTKEY;
    static constexpr pointer invalid() noexcept { return 0; }
    static void close(pointer h) noexcept { ::CryptDestroyKey(h); }
};

struct CryptHash {
    using pointer = HCRYPTHASH;
    static constexpr pointer invalid() noexcept { return 0; }
    static void close(pointer h) noexcept { ::CryptDestroyHash(h); }
};

struct CertContext {
    using pointer = PCCERT_CONTEXT;
    static constexpr pointer invalid() noexcept { return nullptr; }
    static void close(pointer h) noexcept { ::CertFreeCertificateContext(h); }
};

struct CertChain {
    using pointer = PCCERT_CHAIN_CONTEXT;
    static constexpr pointer invalid() noexcept { return nullptr; }
    static void close(pointer h) noexcept { ::CertFreeCertificateChain(h); }
};

struct CertStore {
    using pointer = HCERTSTORE;
    static constexpr pointer invalid() noexcept { return nullptr; }
    static void close(pointer h) noexcept { ::CertCloseStore(h, 0); }
};

}  // namespace handle_traits

using unique_hcryptprov = unique_any<handle_traits::CryptProv>;
using unique_hcryptkey = unique_any<handle_traits::CryptKey>;
using unique_hcrypthash = unique_any<handle_traits::CryptHash>;
using unique_cert_context = unique_any<handle_traits::CertContext>;
using unique_cert_chain = unique_any<handle_traits::CertChain>;
using unique_hcertstore = unique_any<handle_traits::CertStore>;

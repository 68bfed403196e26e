#pragma once
// The machine's trust, given to the TLS library for one connection of the
// module's own TLS client: the trust anchors are the certificates of the local
// machine's "ROOT" store (looked up by the issuer name the chain asks for,
// so that the store is read as the chain is built, not copied whole), and any
// certificate of the chain found in the local machine's "Disallowed" store is
// refused. The chain itself (signatures, validity) is checked by the library,
// so SHA-2 and ECDSA chains verify on systems whose CryptoAPI cannot check
// them; what the library does not check as Windows does is checked here, so
// that this client accepts nothing Windows refuses.
//
// Each refusal below logs one "ERROR: " line naming its reason and sets these
// verification flags (mbedtls_ssl_get_verify_result), which vyn-check reads:
//  - a root of the "ROOT" store whose purposes there (its enhanced key usage
//    property, as the Certificates console sets it, "Disable all purposes"
//    included) exclude server authentication is no anchor:
//    MBEDTLS_X509_BADCERT_NOT_TRUSTED | kRootNotForServers;
//  - a certificate of the chain (root, intermediate or leaf) whose extended
//    key usage names neither server authentication nor any purpose:
//    MBEDTLS_X509_BADCERT_EXT_KEY_USAGE;
//  - a name of a certificate outside the name constraints (dNSName and
//    iPAddress, permitted and excluded, critical or not) of a CA above it,
//    or a CA whose constraints cannot be checked (an empty list, a kind of
//    name not checked here): kOutsideNameConstraints;
//  - a leaf that does not name the host (net/tls/name_checks.h: an address
//    only by an iPAddress entry, a wildcard for one left-most label over at
//    least two): MBEDTLS_X509_BADCERT_CN_MISMATCH (the library's own looser
//    match of a DNS name sets it too, without a line);
//  - a certificate in the "Disallowed" store: MBEDTLS_X509_BADCERT_OTHER |
//    kDisallowed (OTHER alone when that store cannot be read).
// The library's own refusals get their line here too, each reason once a
// handshake: a chain that ends at no root of the store, a certificate outside
// its validity, a weak key (RSA under 2048 bits, a curve not accepted), an
// algorithm the library does not carry (a key or signature it cannot read:
// secp256k1, brainpool, Ed25519, MD5, SHA-1), and a certificate it cannot
// parse at all.
// A chain whose top issuer neither the store nor the service's certificates
// hold, under a leaf that names the host, is built by Windows first
// (net/tls/root_update.h), which may add the root to the store; that wait
// ends at the connection's deadline or its cancel event.

#include <windows.h>
#include <wincrypt.h>

#include <cstdint>
#include <string>
#include <vector>

#include <mbedtls/ssl.h>

#include "net/crypt_handles.h"

class Deadline;

class MachineTrust {
public:
    // This client's own verification flags, above the library's.
    static constexpr uint32_t kOutsideNameConstraints = 0x01000000;
    static constexpr uint32_t kRootNotForServers = 0x02000000;
    static constexpr uint32_t kDisallowed = 0x04000000;

    MachineTrust() = default;
    MachineTrust(const MachineTrust&) = delete;
    MachineTrust& operator=(const MachineTrust&) = delete;

    // Takes both stores as they stand now (net/tls/machine_stores.h; a store
    // that cannot be opened is logged, and every chain is then refused) and
    // installs the callbacks in `config`, which must not outlive this object. `host`: the name or address connected to, which
    // the leaf must name.
    void Attach(mbedtls_ssl_config* config, const std::string& host);

    // The bound of Windows' root fetch during the handshake: the connection's
    // current step deadline and the client's cancel event, both owned by the
    // connection, which outlives the handshake.
    void BoundRootFetch(const Deadline* deadline, HANDLE cancel) {
        fetchDeadline_ = deadline;
        fetchCancel_ = cancel;
    }
    // The WinHTTP code of a root fetch the deadline (12002) or the cancel
    // event (12017) cut short during the last handshake; 0 when none was.
    DWORD RootFetchStopped() const { return fetchStopped_; }

    // After a failed handshake (`result`, the verification flags, and whether
    // it failed on the step that reads the server's certificates): true when
    // it failed on the server's certificates (their trust, names, usages,
    // keys, algorithms or encoding), which Windows reports as a refused
    // certificate rather than a failed handshake. Logs the reason of the
    // refusals not logged during the verification.
    bool CertificateRefused(int result, uint32_t flags, bool atServerCertificate);

private:
    static int FindRoots(void* self, const mbedtls_x509_crt* child, mbedtls_x509_crt** candidates);
    static int Verify(void* self, mbedtls_x509_crt* certificate, int depth, uint32_t* flags);
    void CheckDisallowed(const mbedtls_x509_crt& certificate, int depth, uint32_t* flags);
    void CheckNames(uint32_t* flags);
    void LogLibraryRefusals(const mbedtls_x509_crt& certificate, uint32_t flags);
    // Logs `line` unless a line of `reason` was logged in this handshake.
    void Once(uint32_t reason, const std::string& line);
    bool FetchRoot(const mbedtls_x509_crt& child);

    unique_hcertstore roots_;
    unique_hcertstore disallowed_;
    std::string host_;
    // The chain being verified, by depth: the library hands it over from the
    // top down, the leaf last.
    std::vector<const mbedtls_x509_crt*> chain_;
    bool rootNotForServers_ = false;  // a root of the chain's issuer was set aside for its purposes
    const mbedtls_x509_crt* leaf_ = nullptr;  // the first certificate the library looked up an issuer for
    uint32_t logged_ = 0;                     // the reasons (bits of kReason* in the .cpp) logged so far
    const Deadline* fetchDeadline_ = nullptr;
    HANDLE fetchCancel_ = nullptr;
    DWORD fetchStopped_ = 0;
};

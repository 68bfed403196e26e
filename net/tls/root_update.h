#pragma once
// A root the machine's store does not hold yet. Windows XP and Server 2003 add
// a third-party root to the local machine's store only when CryptoAPI builds a
// chain that needs it ("Update Root Certificates"); the module's own TLS
// client builds its chains itself and so would never get the root of a
// service whose root is newer than the machine's store. FetchMissingRoot lets
// Windows build such a chain once, then looks in the store again.
//
// Callers: the module's own TLS client (net/tls/machine_trust.cpp), when a
// chain ends at an issuer that neither the local machine's "ROOT" store nor
// the certificates the service sent hold, and only for a leaf that names the
// host connected to; and vyn-check, which reports what the call found.
//
// Windows fetches what the certificates' CA issuers URLs name, URLs the peer
// chooses, before the peer has proved it holds its key: so the call runs on a
// thread of its own (net/detached_call.h) that the caller's bound and cancel
// event can leave behind, with a URL retrieval time-out inside that bound, and
// a process asks Windows for at most kMaxRootFetches distinct issuers.

#include <windows.h>
#include <wincrypt.h>

#include <cstddef>
#include <string>
#include <vector>

// The CryptoAPI chain builder, reached through this table so that tests can
// see when it is called: Wine's chain engine never fetches a root.
struct RootUpdateApi {
    decltype(&::CertGetCertificateChain) getChain;
};
extern RootUpdateApi gRootUpdateApi;

enum class RootFetch {
    Found,         // the machine's "ROOT" store now holds a certificate named as the missing issuer
    NotFound,      // Windows built the chain; the store still lacks the issuer
    AlreadyTried,  // this process built a chain for this issuer before: nothing was done
    LimitReached,  // this process has asked for kMaxRootFetches other issuers: nothing was done
    TimedOut,      // the bound passed first; the chain is left to finish unawaited
    Cancelled,     // the cancel event was signalled first; the same
    Failed,        // the certificates could not be read or the chain not built (logged)
};

// Distinct issuers a process lets Windows look for. A peer that names a new
// issuer on every connection gets no more waits than this.
constexpr size_t kMaxRootFetches = 4;
// The longest a caller waits for one chain, whatever its own bound.
constexpr DWORD kMaxRootFetchMs = 15000;

// `sent`: the certificates the service sent, DER each; the first is the one
// whose issuer the local machine's "ROOT" store lacks (for the module's own
// client, the top of the chain it built), the others may be in any order.
// Builds that certificate's chain with CertGetCertificateChain, the local
// machine's chain engine (HCCE_LOCAL_MACHINE), the other certificates as the
// additional store and server authentication as the usage, at most once per
// issuer name and process (later calls return AlreadyTried at once), so that
// Windows may fetch the root where its policy allows; then opens the store
// anew and looks the issuer up by subject name. Waits at most `boundMs` (cut
// to kMaxRootFetchMs) and until `cancel`, when not null, is signalled; each URL
// retrieval is given a time-out inside that bound. Thread-safe. A caller that
// gets Found must open the store again itself to see the root: a store opened
// before the call may not show it.
RootFetch FetchMissingRoot(const std::vector<std::string>& sent, DWORD boundMs = kMaxRootFetchMs,
                           HANDLE cancel = nullptr);

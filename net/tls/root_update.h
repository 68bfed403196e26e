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
// the certificates the service sent hold; and vyn-check, which reports what
// the call found.

#include <windows.h>
#include <wincrypt.h>

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
    Failed,        // the certificates could not be read or the chain not built (logged)
};

// `sent`: the certificates the service sent, DER each; the first is the one
// whose issuer the local machine's "ROOT" store lacks (for the module's own
// client, the top of the chain it built), the others may be in any order.
// Builds that certificate's chain with CertGetCertificateChain, the local
// machine's chain engine (HCCE_LOCAL_MACHINE), the other certificates as the
// additional store and server authentication as the usage, at most once per
// issuer name and process (later calls return AlreadyTried at once), so that
// Windows may fetch the root where its policy allows; then opens the store
// anew and looks the issuer up by subject name. The call may wait on the
// network as long as Windows' own retrieval does. Thread-safe. A caller that
// gets Found must open the store again itself to see the root: a store opened
// before the call may not show it.
RootFetch FetchMissingRoot(const std::vector<std::string>& sent);

#pragma once
// The local machine's "ROOT" and "Disallowed" stores as the module's own TLS
// client reads them: opened once per process and kept open for its life (in
// Winlogon, for days), and brought up to date before a handshake only when
// they have changed since the last one. Opening both stores for each
// connection cost more than the rest of a new connection together.
//
// A change is learnt from the store itself (CertControlStore with
// CERT_STORE_CTRL_NOTIFY_CHANGE, which XP and Server 2003 offer for their
// registry stores, their Group Policy and enterprise parts included) and from
// a watch on the registry key the local machine's stores are kept under
// (Wine accepts the notification but never gives it). A store with a change
// is opened anew, and the new one armed again. That key holds only the
// stores' default parts: a store whose own report cannot be armed is opened
// anew for every connection, since its Group Policy and enterprise parts are
// kept elsewhere.
// So a certificate an administrator distrusts, or a root someone adds, counts
// from the next connection on.
//
// Callers: MachineTrust (net/tls/machine_trust.h) at the start of each
// handshake, and after Windows added a root to the store (FetchMissingRoot).

#include <windows.h>
#include <wincrypt.h>

#include "net/crypt_handles.h"

// The store entry points used here, gathered so that tests can stand in for
// what Wine does not do (report a change of a store) and count the opens.
struct MachineStoreApi {
    decltype(&::CertOpenStore) openStore;
    decltype(&::CertControlStore) controlStore;
};
extern MachineStoreApi gMachineStoreApi;

struct MachineStoreHandles {
    // Each the caller's own reference (CertDuplicateStore): a store re-opened
    // for a later connection leaves the one in use valid. Null for a store
    // that cannot be opened (logged); it is tried again at the next call.
    unique_hcertstore roots;
    unique_hcertstore disallowed;
};

// Both stores, each opened anew first when it changed since the last call.
// Thread-safe; the re-reads of the process are made one at a time.
MachineStoreHandles CurrentMachineStores();

// The "ROOT" store opened anew now, whether or not a change was reported:
// after FetchMissingRoot found the root Windows added, which the notification
// may not have reported yet.
unique_hcertstore RootsReadAgain();

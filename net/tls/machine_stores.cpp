// The local machine's trust stores, kept open per process and re-read when
// they change (see net/tls/machine_stores.h).
#include "net/tls/machine_stores.h"

#include <string>

#include "common/critical_section.h"
#include "common/handles.h"
#include "config/config.h"
#include "diag/log.h"

MachineStoreApi gMachineStoreApi = {::CertOpenStore, ::CertControlStore};

namespace {

// Where the local machine's system stores keep their certificates.
constexpr wchar_t kStoresKey[] = L"SOFTWARE\\Microsoft\\SystemCertificates";

bool Signalled(HANDLE event) { return ::WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }

struct KeptStore {
    KeptStore(const wchar_t* storeName, const char* openName, const char* logName)
        : name(storeName), openCall(openName), label(logName) {}

    const wchar_t* name;
    const char* openCall;  // the call's name in the log
    const char* label;     // the store's name in the log
    unique_hcertstore store;
    // Auto-reset, set by CryptoAPI when the store reports a change.
    unique_handle changed;
    bool reportsChanges = false;
};

// One per process, never destroyed: a TLS client of another thread (a status
// worker left behind) may still hold a store when the module unloads, and
// closing stores under the loader lock is not ours to do. The handles close
// with the process.
class KeptStores {
public:
    MachineStoreHandles Current() {
        const CCriticalSectionLock lock(lock_);
        // Without a watch armed since the last call, a store may have changed
        // unseen. The watch is re-armed before the stores are read, so that a
        // change made during the reading signals it again.
        const bool blind = !watching_;
        const bool registryChanged = watching_ && Signalled(registryChanged_.get());
        if (blind || registryChanged) Watch();
        for (KeptStore* s : {&roots_, &disallowed_}) {
            // Taken first, so that a report is never left for the next call.
            // A store that cannot report its changes is read again for every
            // connection: the registry watch below sees only the stores' own
            // key, not the Group Policy and enterprise parts the machine's
            // ROOT and Disallowed stores also read, where a distrust may come.
            const bool reported = !s->reportsChanges || Signalled(s->changed.get());
            if (!s->store) {
                Open(*s);
            } else if (reported || registryChanged || blind) {
                ReadAgain(*s);
            }
        }
        MachineStoreHandles handles;
        handles.roots = Duplicate(roots_);
        handles.disallowed = Duplicate(disallowed_);
        return handles;
    }

    unique_hcertstore RootsReadAgain() {
        const CCriticalSectionLock lock(lock_);
        Open(roots_);
        return Duplicate(roots_);
    }

private:
    static unique_hcertstore Duplicate(const KeptStore& s) {
        return unique_hcertstore(s.store ? ::CertDuplicateStore(s.store.get()) : nullptr);
    }

    // Opens the store, or opens it anew, replacing the one kept. A new store
    // rather than one re-read in place (CERT_STORE_CTRL_RESYNC): Wine's
    // re-read of a read-only store never ends (it empties its cache through
    // the store, which refuses each deletion), and a handshake of another
    // thread keeps reading the store it started with, whole. A store that
    // cannot be opened is dropped: until it opens, no root of it is an anchor
    // and every chain is refused for want of the Disallowed store, as before.
    void Open(KeptStore& s) {
        s.store.reset();
        s.reportsChanges = false;
        // Read-only and never created: the client only looks certificates up.
        unique_hcertstore store(gMachineStoreApi.openStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                                           CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_READONLY_FLAG,
                                                           s.name));
        if (!store) {
            LogSystemCallFailure(s.openCall, ::GetLastError());
            return;
        }
        // A new event for each store: CryptoAPI keeps its own duplicate of the
        // one it signals, released with the store it was armed on.
        s.changed.reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
        if (!s.changed) {
            LogSystemCallFailure("CreateEventW", ::GetLastError());
        } else {
            HANDLE event = s.changed.get();
            s.reportsChanges =
                gMachineStoreApi.controlStore(store.get(), 0, CERT_STORE_CTRL_NOTIFY_CHANGE, &event) != FALSE;
        }
        s.store = std::move(store);
    }

    void ReadAgain(KeptStore& s) {
        Open(s);
        if (s.store && gDebugLogging) LogMessage(std::string("DEBUG: Read the machine's ") + s.label + " store again");
    }

    // Arms the watch on the stores' registry key (its subkeys included). When
    // it cannot be armed, every connection re-reads both stores: slower, never
    // stale. It backs up the stores' own reports for their default parts only;
    // a store with no report armed is read again regardless (Current). On XP and 2003 a watch ends (signalled) when the thread that
    // armed it exits, as a status worker does after each authentication; that
    // costs one re-read at the next connection.
    void Watch() {
        watching_ = false;
        if (!registryChanged_) {
            registryChanged_.reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
            if (!registryChanged_) {
                LogSystemCallFailure("CreateEventW", ::GetLastError());
                return;
            }
        }
        if (!storesKey_) {
            const LONG rc = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kStoresKey, 0, KEY_NOTIFY, storesKey_.put());
            if (rc != ERROR_SUCCESS) {
                LogSystemCallFailure("RegOpenKeyExW", static_cast<DWORD>(rc));
                return;
            }
        }
        const LONG rc = ::RegNotifyChangeKeyValue(storesKey_.get(), TRUE,
                                                  REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET,
                                                  registryChanged_.get(), TRUE);
        if (rc != ERROR_SUCCESS) {
            LogSystemCallFailure("RegNotifyChangeKeyValue", static_cast<DWORD>(rc));
            storesKey_.reset();
            return;
        }
        watching_ = true;
    }

    CCriticalSection lock_;
    KeptStore roots_{L"ROOT", "CertOpenStore(ROOT)", "ROOT"};
    KeptStore disallowed_{L"Disallowed", "CertOpenStore(Disallowed)", "Disallowed"};
    unique_hkey storesKey_;
    unique_handle registryChanged_;
    bool watching_ = false;
};

KeptStores& Kept() {
    // Constructed at the first connection (the compiler guards it), never freed.
    static KeptStores* const kept = new KeptStores();
    return *kept;
}

}  // namespace

MachineStoreHandles CurrentMachineStores() { return Kept().Current(); }

unique_hcertstore RootsReadAgain() { return Kept().RootsReadAgain(); }

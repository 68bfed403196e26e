#pragma once
// The store of break-glass recovery codes: HKLM "Software\Vyn Security\Recovery".
// It never holds a code, only what checks one: a salt for the whole set, the
// iteration count, one PBKDF2-HMAC-SHA256 hash per code still unused, and when
// the set was made. Written by vyn-recovery (a new set, or none), read and
// shortened by the module on Winlogon's thread when a code is used.

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/handles.h"
#include "common/machine_lock.h"

constexpr char kRecoveryKey[] = "Software\\Vyn Security\\Recovery";
constexpr size_t kRecoverySaltBytes = 16;
constexpr size_t kRecoveryHashBytes = 32;
constexpr size_t kMaxRecoveryCodes = 50;

// The access list the key gets, the settings key's: SYSTEM and the
// Administrators only, nothing inherited. Whoever reads the hashes can try
// codes offline, at the speed of their own machine. The owner is the
// Administrators whoever runs vyn-recovery: a key owned by one account (an
// administrator's on XP, or a Power User's who made it first) is not ours.
constexpr wchar_t kRecoveryKeySecurity[] = L"O:BAD:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)";

// One lock for every process that changes the store: each session's Winlogon
// (a code used) and vyn-recovery (new, clear). Only SYSTEM and the
// Administrators may open it, so no user can hold it to stall the codes.
constexpr wchar_t kRecoveryLockName[] = L"Global\\Vyn Security recovery codes";
constexpr wchar_t kRecoveryLockSecurity[] = L"O:BAD:P(A;;GA;;;SY)(A;;GA;;;BA)";
// How long a try waits for another one (a derivation and, for a wrong code,
// its pause): a holder that keeps the lock longer is stuck, and the try is
// refused rather than Winlogon's thread held.
constexpr DWORD kRecoveryLockWaitMs = 6000;

struct RecoverySet {
    std::vector<uint8_t> salt;
    DWORD iterations = 0;
    std::vector<uint8_t> hashes;  // kRecoveryHashBytes per unused code
    ULONGLONG created = 0;        // FILETIME (UTC) of the set's making

    size_t Count() const { return hashes.size() / kRecoveryHashBytes; }
};

enum class RecoveryLoad {
    None,       // no key, or every code used
    Loaded,     // at least one code
    Malformed,  // present but unreadable or not of the form above: counts as none
};

// Reads the set. For Malformed, `reason` says what is wrong (for the event).
// A key whose owner is not SYSTEM or the Administrators, whose access list
// lets anyone else write it or change its security, or takes entries from its
// parent's, is not ours (HKLM\Software lets Power Users create subkeys on XP
// and 2003): Malformed, with the key and its owner in `reason`.
RecoveryLoad LoadRecoverySet(RecoverySet& set, std::string& reason);

// Why the security descriptor of the key (owner and DACL) does not make it
// ours, or "" when it does: the reason names the key and its owner.
std::string RecoveryKeyDistrust(PSECURITY_DESCRIPTOR descriptor);

// Replaces the set whole: deletes the key with whatever it held (a key made
// by someone else is never reused), creates it anew with
// kRecoveryKeySecurity, writes the values and flushes the key. Called under
// the store's lock. ERROR_SUCCESS or the failing call's error, already logged.
LONG SaveRecoverySet(const RecoverySet& set);

// Called under the store's lock, after a re-read: writes the hashes that are
// left and flushes the key to disk, so that a code that has let someone in is
// gone even if the machine loses power next.
// ERROR_SUCCESS or the failing call's error, already logged.
LONG StoreRemainingRecoveryHashes(const std::vector<uint8_t>& hashes);

// Removes the key and anything below it; ERROR_SUCCESS also when there was
// none. Called under the store's lock.
LONG DeleteRecoverySet();

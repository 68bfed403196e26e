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

constexpr char kRecoveryKey[] = "Software\\Vyn Security\\Recovery";
constexpr size_t kRecoverySaltBytes = 16;
constexpr size_t kRecoveryHashBytes = 32;
constexpr size_t kMaxRecoveryCodes = 50;

// The access list the key gets, the settings key's: SYSTEM and the
// Administrators only, nothing inherited. Whoever reads the hashes can try
// codes offline, at the speed of their own machine.
constexpr wchar_t kRecoveryKeySecurity[] = L"D:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)";

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
RecoveryLoad LoadRecoverySet(RecoverySet& set, std::string& reason);

// Replaces the set whole (values written, then the key flushed), creating the
// key with kRecoveryKeySecurity and giving an existing key that access list
// again. ERROR_SUCCESS or the failing call's error, already logged.
LONG SaveRecoverySet(const RecoverySet& set);

// Writes the hashes that are left and flushes the key to disk, so that a code
// that has let someone in is gone even if the machine loses power next.
// ERROR_SUCCESS or the failing call's error, already logged.
LONG StoreRemainingRecoveryHashes(const std::vector<uint8_t>& hashes);

// Removes the key; ERROR_SUCCESS also when there was none.
LONG DeleteRecoverySet();

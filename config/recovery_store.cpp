#include "config/recovery_store.h"

#include <cstring>

#include "common/private_key.h"
#include "diag/log.h"

namespace {

constexpr wchar_t kRecoveryKeyW[] = L"Software\\Vyn Security\\Recovery";
constexpr wchar_t kSaltValue[] = L"Salt";
constexpr wchar_t kIterationsValue[] = L"Iterations";
constexpr wchar_t kHashesValue[] = L"Hashes";
constexpr wchar_t kCreatedValue[] = L"Created";

// Far above any count a machine of today would be given, far below one that
// would hold Winlogon's thread for minutes.
constexpr DWORD kMaxIterations = 10000000;

// A value of `type` whose size is in [minBytes, maxBytes], read whole.
bool ReadValue(HKEY key, const wchar_t* name, DWORD wantType, size_t minBytes, size_t maxBytes,
               std::vector<uint8_t>& data) {
    DWORD type = 0;
    DWORD size = 0;
    if (::RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return false;
    if (type != wantType || size < minBytes || size > maxBytes) return false;
    data.assign(size, 0);
    if (size == 0) return true;
    DWORD read = size;
    if (::RegQueryValueExW(key, name, nullptr, &type, data.data(), &read) != ERROR_SUCCESS) return false;
    return type == wantType && read == size;
}

LONG SetValue(HKEY key, const wchar_t* name, DWORD type, const void* data, size_t size) {
    const LONG result =
        ::RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), static_cast<DWORD>(size));
    if (result != ERROR_SUCCESS) LogSystemCallFailure("RegSetValueExW", static_cast<DWORD>(result));
    return result;
}

std::string KeyName() { return "HKLM\\" + std::string(kRecoveryKey); }

LONG Flush(HKEY key) {
    const LONG result = ::RegFlushKey(key);
    if (result != ERROR_SUCCESS) LogSystemCallFailure("RegFlushKey", static_cast<DWORD>(result));
    return result;
}

}  // namespace

std::string RecoveryKeyDistrust(PSECURITY_DESCRIPTOR descriptor) { return KeyDistrust(KeyName(), descriptor); }

RecoveryLoad LoadRecoverySet(RecoverySet& set, std::string& reason) {
    set = RecoverySet();
    unique_hkey key;
    const LONG opened =
        ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRecoveryKeyW, 0, KEY_QUERY_VALUE | READ_CONTROL, key.put());
    if (opened == ERROR_FILE_NOT_FOUND) return RecoveryLoad::None;
    if (opened != ERROR_SUCCESS) {
        key.release();
        reason = "the key cannot be opened (" + std::to_string(static_cast<unsigned long>(opened)) + ")";
        return RecoveryLoad::Malformed;
    }
    std::vector<BYTE> descriptor;
    FailedCall failure;
    const LONG read = ReadKeySecurity(key.get(), descriptor, failure);
    if (read != ERROR_SUCCESS) {
        LogSystemCallFailure(failure.name, failure.error);
        reason = "the security of " + KeyName() + " cannot be read (" + std::to_string(read) + ")";
        return RecoveryLoad::Malformed;
    }
    reason = RecoveryKeyDistrust(descriptor.data());
    if (!reason.empty()) return RecoveryLoad::Malformed;
    std::vector<uint8_t> number;
    if (!ReadValue(key.get(), kSaltValue, REG_BINARY, kRecoverySaltBytes, kRecoverySaltBytes, set.salt)) {
        reason = "Salt is missing or not 16 bytes";
        return RecoveryLoad::Malformed;
    }
    if (!ReadValue(key.get(), kIterationsValue, REG_DWORD, sizeof(DWORD), sizeof(DWORD), number)) {
        reason = "Iterations is missing or not a DWORD";
        return RecoveryLoad::Malformed;
    }
    std::memcpy(&set.iterations, number.data(), sizeof set.iterations);
    if (set.iterations == 0 || set.iterations > kMaxIterations) {
        reason = "Iterations is out of range";
        return RecoveryLoad::Malformed;
    }
    if (!ReadValue(key.get(), kCreatedValue, REG_QWORD, sizeof(ULONGLONG), sizeof(ULONGLONG), number)) {
        reason = "Created is missing or not a QWORD";
        return RecoveryLoad::Malformed;
    }
    std::memcpy(&set.created, number.data(), sizeof set.created);
    if (!ReadValue(key.get(), kHashesValue, REG_BINARY, 0, kMaxRecoveryCodes * kRecoveryHashBytes, set.hashes) ||
        set.hashes.size() % kRecoveryHashBytes != 0) {
        reason = "Hashes is missing or not whole hashes";
        return RecoveryLoad::Malformed;
    }
    return set.hashes.empty() ? RecoveryLoad::None : RecoveryLoad::Loaded;
}

LONG SaveRecoverySet(const RecoverySet& set) {
    unique_hkey key;
    FailedCall failure;
    LONG result = CreateKeyAnew(HKEY_LOCAL_MACHINE, kRecoveryKeyW, kRecoveryKeySecurity,
                                KEY_SET_VALUE | KEY_QUERY_VALUE, key, failure);
    // Someone who does not take the lock made the key again in between:
    // it is theirs, and nothing is written to it.
    if (result == ERROR_ALREADY_EXISTS) {
        LogMessage("ERROR: " + KeyName() + " was made again by someone else while a new set was being stored");
        return result;
    }
    if (result != ERROR_SUCCESS) return static_cast<LONG>(LogSystemCallFailure(failure.name, failure.error));
    // The hashes go first, empty: a set interrupted half-way never pairs the
    // old hashes with a new salt, and reads as malformed or empty, never as
    // codes that nobody holds.
    if ((result = SetValue(key.get(), kHashesValue, REG_BINARY, nullptr, 0)) != ERROR_SUCCESS) return result;
    if ((result = SetValue(key.get(), kSaltValue, REG_BINARY, set.salt.data(), set.salt.size())) != ERROR_SUCCESS)
        return result;
    if ((result = SetValue(key.get(), kIterationsValue, REG_DWORD, &set.iterations, sizeof set.iterations)) !=
        ERROR_SUCCESS)
        return result;
    if ((result = SetValue(key.get(), kCreatedValue, REG_QWORD, &set.created, sizeof set.created)) != ERROR_SUCCESS)
        return result;
    if ((result = SetValue(key.get(), kHashesValue, REG_BINARY, set.hashes.data(), set.hashes.size())) !=
        ERROR_SUCCESS)
        return result;
    return Flush(key.get());
}

LONG StoreRemainingRecoveryHashes(const std::vector<uint8_t>& hashes) {
    unique_hkey key;
    const LONG opened = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRecoveryKeyW, 0, KEY_SET_VALUE, key.put());
    if (opened != ERROR_SUCCESS) {
        key.release();
        LogSystemCallFailure("RegOpenKeyExW", static_cast<DWORD>(opened));
        return opened;
    }
    const LONG written = SetValue(key.get(), kHashesValue, REG_BINARY, hashes.data(), hashes.size());
    if (written != ERROR_SUCCESS) return written;
    return Flush(key.get());
}

LONG DeleteRecoverySet() {
    FailedCall failure;
    const LONG result = DeleteKeyTree(HKEY_LOCAL_MACHINE, kRecoveryKeyW, failure);
    if (result == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
    if (result != ERROR_SUCCESS) LogSystemCallFailure(failure.name, failure.error);
    return result;
}

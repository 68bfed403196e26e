#include "config/recovery_store.h"

#include <sddl.h>

#include <cstring>

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

// NtDeleteKey deletes the key a handle names, a symbolic link itself when the
// handle was opened as one (RegDeleteKeyW follows links). Both are in ntdll
// since NT 4, looked up rather than imported: the module imports no ntdll.
using NtDeleteKeyFunction = LONG(WINAPI*)(HANDLE key);
using NtStatusToErrorFunction = ULONG(WINAPI*)(LONG status);

template <typename Function>
Function NtdllFunction(const char* name) {
    const FARPROC found = ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), name);
    return reinterpret_cast<Function>(reinterpret_cast<void*>(found));
}

// Deletes `name` under `parent` with its subkeys: RegDeleteKeyW removes only
// a key without any, and a key someone else made may have some. Each key is
// opened and deleted as itself (REG_OPTION_OPEN_LINK), never through a
// symbolic link its maker put there: followed, a link would have the
// administrator's `vyn-recovery new` delete the tree it points at (a
// service's key under HKLM\SYSTEM, say).
LONG DeleteKeyTree(HKEY parent, const wchar_t* name) {
    static const auto ntDeleteKey = NtdllFunction<NtDeleteKeyFunction>("NtDeleteKey");
    static const auto statusToError = NtdllFunction<NtStatusToErrorFunction>("RtlNtStatusToDosError");
    if (ntDeleteKey == nullptr || statusToError == nullptr) {
        const DWORD error = ::GetLastError();
        LogSystemCallFailure("GetProcAddress", error);
        return static_cast<LONG>(error);
    }
    unique_hkey key;
    LONG result = ::RegOpenKeyExW(parent, name, REG_OPTION_OPEN_LINK, KEY_ENUMERATE_SUB_KEYS | DELETE, key.put());
    if (result != ERROR_SUCCESS) {
        key.release();
        return result;
    }
    for (;;) {
        wchar_t child[256];
        DWORD chars = 256;
        result = ::RegEnumKeyExW(key.get(), 0, child, &chars, nullptr, nullptr, nullptr, nullptr);
        if (result == ERROR_NO_MORE_ITEMS) break;
        if (result != ERROR_SUCCESS) return result;
        if ((result = DeleteKeyTree(key.get(), child)) != ERROR_SUCCESS) return result;
    }
    const LONG status = ntDeleteKey(key.get());
    return status == 0 ? ERROR_SUCCESS : static_cast<LONG>(statusToError(status));
}

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
    DWORD size = 0;
    const SECURITY_INFORMATION parts = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    ::RegGetKeySecurity(key.get(), parts, nullptr, &size);
    std::vector<uint8_t> descriptor(size);
    const LONG read = size ? ::RegGetKeySecurity(key.get(), parts, descriptor.data(), &size) : ERROR_INVALID_DATA;
    if (read != ERROR_SUCCESS) {
        LogSystemCallFailure("RegGetKeySecurity", static_cast<DWORD>(read));
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
    PSECURITY_DESCRIPTOR raw = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kRecoveryKeySecurity, SDDL_REVISION_1, &raw,
                                                                nullptr)) {
        return static_cast<LONG>(
            LogSystemCallFailure("ConvertStringSecurityDescriptorToSecurityDescriptorW", ::GetLastError()));
    }
    const unique_hlocal descriptor(raw);
    // A key that exists keeps its owner and may keep entries through a
    // creation: it goes, whoever made it, and the new one is ours alone.
    LONG result = DeleteRecoverySet();
    if (result != ERROR_SUCCESS) return result;
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor.get(), FALSE};
    unique_hkey key;
    DWORD disposition = 0;
    result = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kRecoveryKeyW, 0, nullptr, REG_OPTION_NON_VOLATILE,
                               KEY_SET_VALUE | KEY_QUERY_VALUE | WRITE_DAC | WRITE_OWNER, &attributes, key.put(),
                               &disposition);
    if (result != ERROR_SUCCESS) {
        key.release();
        LogSystemCallFailure("RegCreateKeyExW", static_cast<DWORD>(result));
        return result;
    }
    // Someone who does not take the lock made the key again in between:
    // it is theirs, and nothing is written to it.
    if (disposition != REG_CREATED_NEW_KEY) {
        LogMessage("ERROR: " + KeyName() + " was made again by someone else while a new set was being stored");
        return ERROR_ALREADY_EXISTS;
    }
    // Owner and list are given again, the list marked protected: Windows
    // keeps the creation's descriptor whole, Wine drops the mark (a list
    // without it takes the parent's entries, which the module refuses) and
    // replaces the owner when only the list is set.
    result = ::RegSetKeySecurity(
        key.get(), OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
        descriptor.get());
    if (result != ERROR_SUCCESS) {
        LogSystemCallFailure("RegSetKeySecurity", static_cast<DWORD>(result));
        return result;
    }
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
    const LONG result = DeleteKeyTree(HKEY_LOCAL_MACHINE, kRecoveryKeyW);
    if (result == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
    if (result != ERROR_SUCCESS) LogSystemCallFailure("RegDeleteKeyW", static_cast<DWORD>(result));
    return result;
}

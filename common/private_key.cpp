#include "common/private_key.h"

#include <sddl.h>

#include "common/ntdll.h"

namespace {

// NtDeleteKey deletes the key a handle names, a symbolic link itself when the
// handle was opened as one (RegDeleteKeyW follows links). Both are in ntdll
// since NT 4, looked up rather than imported: neither the module nor the
// installer's actions import ntdll.
using NtDeleteKeyFunction = LONG(WINAPI*)(HANDLE key);
using NtStatusToErrorFunction = ULONG(WINAPI*)(LONG status);

LONG Fail(const char* call, LONG result, FailedCall& failure) {
    failure = {call, static_cast<DWORD>(result)};
    return result;
}

}  // namespace

LONG ReadKeySecurity(HKEY key, std::vector<BYTE>& descriptor, FailedCall& failure) {
    const SECURITY_INFORMATION parts = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    DWORD size = 0;
    LONG result = ::RegGetKeySecurity(key, parts, nullptr, &size);
    if (result == ERROR_SUCCESS || size == 0) return Fail("RegGetKeySecurity", ERROR_INVALID_DATA, failure);
    if (result != ERROR_INSUFFICIENT_BUFFER) return Fail("RegGetKeySecurity", result, failure);
    descriptor.assign(size, 0);
    result = ::RegGetKeySecurity(key, parts, descriptor.data(), &size);
    return result == ERROR_SUCCESS ? ERROR_SUCCESS : Fail("RegGetKeySecurity", result, failure);
}

bool IsKeyLink(HKEY key) {
    DWORD type = REG_NONE;
    return ::RegQueryValueExW(key, L"SymbolicLinkValue", nullptr, &type, nullptr, nullptr) == ERROR_SUCCESS &&
           type == REG_LINK;
}

LONG GiveKeySecurity(HKEY key, PSECURITY_DESCRIPTOR descriptor, FailedCall& failure) {
    const LONG result = ::RegSetKeySecurity(
        key, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, descriptor);
    return result == ERROR_SUCCESS ? ERROR_SUCCESS : Fail("RegSetKeySecurity", result, failure);
}

LONG DeleteKeyTree(HKEY parent, const wchar_t* name, FailedCall& failure) {
    static const auto ntDeleteKey = NtdllFunction<NtDeleteKeyFunction>("NtDeleteKey");
    static const auto statusToError = NtdllFunction<NtStatusToErrorFunction>("RtlNtStatusToDosError");
    // Not GetLastError: the look-up ran once, for the first call only.
    if (ntDeleteKey == nullptr || statusToError == nullptr)
        return Fail("GetProcAddress", static_cast<LONG>(ERROR_PROC_NOT_FOUND), failure);
    unique_hkey key;
    LONG result = ::RegOpenKeyExW(parent, name, REG_OPTION_OPEN_LINK, KEY_ENUMERATE_SUB_KEYS | DELETE, key.put());
    if (result != ERROR_SUCCESS) {
        key.release();
        return Fail("RegOpenKeyExW", result, failure);
    }
    for (;;) {
        wchar_t child[256];
        DWORD chars = 256;
        result = ::RegEnumKeyExW(key.get(), 0, child, &chars, nullptr, nullptr, nullptr, nullptr);
        if (result == ERROR_NO_MORE_ITEMS) break;
        if (result != ERROR_SUCCESS) return Fail("RegEnumKeyExW", result, failure);
        if ((result = DeleteKeyTree(key.get(), child, failure)) != ERROR_SUCCESS) return result;
    }
    const LONG status = ntDeleteKey(key.get());
    return status == 0 ? ERROR_SUCCESS : Fail("NtDeleteKey", static_cast<LONG>(statusToError(status)), failure);
}

LONG CreateKeyAnew(HKEY parent, const wchar_t* name, const wchar_t* security, REGSAM access, unique_hkey& key,
                   FailedCall& failure) {
    key.reset();
    PSECURITY_DESCRIPTOR raw = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(security, SDDL_REVISION_1, &raw, nullptr))
        return Fail("ConvertStringSecurityDescriptorToSecurityDescriptorW", static_cast<LONG>(::GetLastError()),
                    failure);
    const unique_hlocal descriptor(raw);
    // A key that exists keeps its owner and may keep entries through a
    // creation: it goes, whoever made it, and the new one is ours alone.
    LONG result = DeleteKeyTree(parent, name, failure);
    if (result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND) return result;
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor.get(), FALSE};
    DWORD disposition = 0;
    result = ::RegCreateKeyExW(parent, name, 0, nullptr, REG_OPTION_NON_VOLATILE, access | WRITE_DAC | WRITE_OWNER,
                               &attributes, key.put(), &disposition);
    if (result != ERROR_SUCCESS) {
        key.release();
        return Fail("RegCreateKeyExW", result, failure);
    }
    if (disposition != REG_CREATED_NEW_KEY) {
        key.reset();
        return Fail("RegCreateKeyExW", ERROR_ALREADY_EXISTS, failure);
    }
    result = GiveKeySecurity(key.get(), descriptor.get(), failure);
    if (result != ERROR_SUCCESS) key.reset();
    return result;
}

#include "tools/setup_actions/recovery_removal.h"

#include <vector>

#include "common/handles.h"
#include "tools/setup_actions/hex_text.h"

const wchar_t kRecoveryStoreKey[] = L"Software\\Vyn Security\\Recovery";

namespace {

constexpr SECURITY_INFORMATION kKept = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                       DACL_SECURITY_INFORMATION;

std::vector<std::wstring> Split(const std::wstring& text, wchar_t separator) {
    std::vector<std::wstring> parts;
    for (size_t start = 0;;) {
        const size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::wstring::npos ? end : end - start));
        if (end == std::wstring::npos) return parts;
        start = end + 1;
    }
}

DWORD Fail(const char* call, LONG result, const char*& failedCall) {
    failedCall = call;
    return static_cast<DWORD>(result);
}

}  // namespace

// The text: the key's self-relative security descriptor, then one
// "name,type,data" field per value, all bytes in hexadecimal, ";" between.
DWORD CaptureRecoveryStore(std::wstring& captured, const char*& failedCall) {
    captured.clear();
    unique_hkey key;
    LONG result = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRecoveryStoreKey, 0, KEY_QUERY_VALUE | READ_CONTROL, key.put());
    // A key that keeps Administrators out is none that vyn-recovery made (it
    // gives them full control), and the module does not trust it: there are
    // no codes to keep. Refusing here would let whoever planted it block
    // every uninstall.
    if (result == ERROR_FILE_NOT_FOUND || result == ERROR_ACCESS_DENIED) {
        key.release();
        return ERROR_SUCCESS;
    }
    if (result != ERROR_SUCCESS) {
        key.release();
        return Fail("RegOpenKeyExW", result, failedCall);
    }
    DWORD securityBytes = 0;
    result = ::RegGetKeySecurity(key.get(), kKept, nullptr, &securityBytes);
    if (result != ERROR_INSUFFICIENT_BUFFER) return Fail("RegGetKeySecurity", result, failedCall);
    std::vector<BYTE> security(securityBytes);
    result = ::RegGetKeySecurity(key.get(), kKept, security.data(), &securityBytes);
    if (result != ERROR_SUCCESS) return Fail("RegGetKeySecurity", result, failedCall);
    DWORD nameChars = 0, dataBytes = 0;
    result = ::RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &nameChars,
                                &dataBytes, nullptr, nullptr);
    if (result != ERROR_SUCCESS) return Fail("RegQueryInfoKeyW", result, failedCall);
    std::wstring text;
    AppendHex(text, security.data(), securityBytes);
    for (DWORD index = 0;; ++index) {
        std::vector<wchar_t> name(nameChars + 1);
        std::vector<BYTE> data(dataBytes + 1);
        DWORD chars = static_cast<DWORD>(name.size()), bytes = static_cast<DWORD>(data.size()), type = REG_NONE;
        result = ::RegEnumValueW(key.get(), index, name.data(), &chars, nullptr, &type, data.data(), &bytes);
        if (result == ERROR_NO_MORE_ITEMS) break;
        if (result != ERROR_SUCCESS) return Fail("RegEnumValueW", result, failedCall);
        text += L";";
        AppendHex(text, reinterpret_cast<const BYTE*>(name.data()), chars * sizeof(wchar_t));
        text += L"," + std::to_wstring(type) + L",";
        AppendHex(text, data.data(), bytes);
    }
    captured = text;
    return ERROR_SUCCESS;
}

DWORD RemoveRecoveryStore(bool& left, const char*& failedCall) {
    left = false;
    // The store has values only; a 64-bit process deletes from the 64-bit view.
    const LONG result = ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, kRecoveryStoreKey);
    if (result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
    // RegDeleteKey refuses a key with subkeys, and one that denies DELETE to
    // LocalSystem, with ERROR_ACCESS_DENIED.
    if (result == ERROR_ACCESS_DENIED) {
        left = true;
        return ERROR_SUCCESS;
    }
    return Fail("RegDeleteKeyW", result, failedCall);
}

DWORD RestoreRecoveryStore(const std::wstring& captured, const char*& failedCall) {
    if (captured.empty()) return ERROR_SUCCESS;
    const std::vector<std::wstring> fields = Split(captured, L';');
    std::vector<BYTE> security;
    if (!FromHex(fields[0], security) || security.empty() ||
        !::IsValidSecurityDescriptor(reinterpret_cast<PSECURITY_DESCRIPTOR>(security.data())))
        return Fail("IsValidSecurityDescriptor", ERROR_INVALID_DATA, failedCall);
    struct Value {
        std::wstring name;
        DWORD type;
        std::vector<BYTE> data;
    };
    std::vector<Value> values;
    for (size_t i = 1; i < fields.size(); ++i) {
        const std::vector<std::wstring> parts = Split(fields[i], L',');
        std::vector<BYTE> name;
        Value value;
        if (parts.size() != 3 || !FromHex(parts[0], name) || name.size() % sizeof(wchar_t) != 0 ||
            parts[1].empty() || parts[1].size() > 10 || parts[1].find_first_not_of(L"0123456789") != std::wstring::npos ||
            !FromHex(parts[2], value.data))
            return Fail("RestoreRecoveryStore", ERROR_INVALID_DATA, failedCall);
        value.name.assign(reinterpret_cast<const wchar_t*>(name.data()), name.size() / sizeof(wchar_t));
        value.type = static_cast<DWORD>(std::stoul(parts[1]));
        values.push_back(value);
    }
    // Created with its own owner and access list from the start: no moment in
    // which the key exists with inherited rights.
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, security.data(), FALSE};
    unique_hkey key;
    DWORD disposition = 0;
    LONG result = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kRecoveryStoreKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                    KEY_SET_VALUE | WRITE_DAC | WRITE_OWNER, &attributes, key.put(), &disposition);
    if (result != ERROR_SUCCESS) {
        key.release();
        return Fail("RegCreateKeyExW", result, failedCall);
    }
    if (disposition == REG_OPENED_EXISTING_KEY) {
        result = ::RegSetKeySecurity(key.get(), kKept, security.data());
        if (result != ERROR_SUCCESS) return Fail("RegSetKeySecurity", result, failedCall);
    }
    for (const Value& value : values) {
        result = ::RegSetValueExW(key.get(), value.name.c_str(), 0, value.type, value.data.data(),
                                  static_cast<DWORD>(value.data.size()));
        if (result != ERROR_SUCCESS) return Fail("RegSetValueExW", result, failedCall);
    }
    result = ::RegFlushKey(key.get());
    return result == ERROR_SUCCESS ? ERROR_SUCCESS : Fail("RegFlushKey", result, failedCall);
}

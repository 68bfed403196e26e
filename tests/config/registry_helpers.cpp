#include "tests/config/registry_helpers.h"

#include <gtest/gtest.h>

namespace testreg {

void DeleteKey(const char* path) {
    const LONG result = ::RegDeleteKeyA(HKEY_LOCAL_MACHINE, path);
    ASSERT_TRUE(result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND) << path << ": " << result;
}

void DeleteKey(const wchar_t* path) {
    const LONG result = ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, path);
    ASSERT_TRUE(result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND) << result;
}

void DeleteValue(const wchar_t* keyPath, const wchar_t* name) {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) return;
    const LONG result = ::RegDeleteValueW(key, name);
    ::RegCloseKey(key);
    ASSERT_TRUE(result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND) << result;
}

void SetRaw(const char* keyPath, const char* name, DWORD type, const std::string& bytes) {
    HKEY key = nullptr;
    ASSERT_EQ(::RegCreateKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const LONG result = ::RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                                         static_cast<DWORD>(bytes.size()));
    ::RegCloseKey(key);
    ASSERT_EQ(result, ERROR_SUCCESS) << name;
}

void SetString(const char* keyPath, const char* name, const std::string& text) {
    SetRaw(keyPath, name, REG_SZ, text + '\0');
}

void SetDword(const char* keyPath, const char* name, DWORD value) {
    SetRaw(keyPath, name, REG_DWORD, std::string(reinterpret_cast<const char*>(&value), sizeof value));
}

Value Query(const wchar_t* keyPath, const wchar_t* name) {
    Value value;
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return value;
    DWORD size = 0;
    if (::RegQueryValueExW(key, name, nullptr, &value.type, nullptr, &size) == ERROR_SUCCESS) {
        value.bytes.resize(size);
        if (::RegQueryValueExW(key, name, nullptr, &value.type, reinterpret_cast<BYTE*>(&value.bytes[0]), &size) ==
            ERROR_SUCCESS) {
            value.bytes.resize(size);
            value.present = true;
        }
    }
    ::RegCloseKey(key);
    return value;
}

std::string WideBytesWithNul(const std::wstring& text) {
    return std::string(reinterpret_cast<const char*>(text.c_str()), (text.size() + 1) * sizeof(wchar_t));
}

// Wine replaces a key's owner when only its DACL is set, so the owner read
// here is given back with each DACL; the read-only list is protected, as the
// store's own is, so that only its rights differ.
ReadOnlyKey::ReadOnlyKey(const wchar_t* keyPath) {
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, READ_CONTROL | WRITE_DAC | WRITE_OWNER, &key_) !=
        ERROR_SUCCESS) {
        ADD_FAILURE() << "cannot open key for its DACL";
        key_ = nullptr;
        return;
    }
    const SECURITY_INFORMATION parts = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    DWORD size = 0;
    ::RegGetKeySecurity(key_, parts, nullptr, &size);
    original_.resize(size);
    if (size == 0 || ::RegGetKeySecurity(key_, parts, original_.data(), &size) != ERROR_SUCCESS)
        ADD_FAILURE() << "cannot read the key's DACL";
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    if (size) ::GetSecurityDescriptorOwner(original_.data(), &owner, &defaulted);

    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    PSID everyone = nullptr;
    ::AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone);
    std::vector<BYTE> aclBytes(sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + ::GetLengthSid(everyone));
    auto* acl = reinterpret_cast<PACL>(aclBytes.data());
    ::InitializeAcl(acl, static_cast<DWORD>(aclBytes.size()), ACL_REVISION);
    ::AddAccessAllowedAce(acl, ACL_REVISION, KEY_READ, everyone);
    SECURITY_DESCRIPTOR sd;
    ::InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
    ::SetSecurityDescriptorDacl(&sd, TRUE, acl, FALSE);
    ::SetSecurityDescriptorOwner(&sd, owner, FALSE);
    ::SetSecurityDescriptorControl(&sd, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
    EXPECT_EQ(::RegSetKeySecurity(key_, parts | PROTECTED_DACL_SECURITY_INFORMATION, &sd), ERROR_SUCCESS);
    ::FreeSid(everyone);
}

ReadOnlyKey::~ReadOnlyKey() {
    if (!key_) return;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ::GetSecurityDescriptorControl(original_.data(), &control, &revision);
    const SECURITY_INFORMATION protection =
        (control & SE_DACL_PROTECTED) ? PROTECTED_DACL_SECURITY_INFORMATION : UNPROTECTED_DACL_SECURITY_INFORMATION;
    EXPECT_EQ(::RegSetKeySecurity(key_, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | protection,
                                  original_.data()),
              ERROR_SUCCESS);
    ::RegCloseKey(key_);
}

}  // namespace testreg

#include "tools/check/acl.h"

#include <sddl.h>

#include "common/handles.h"
#include "common/strings.h"

namespace {

constexpr ACCESS_MASK kAlwaysReads = GENERIC_READ | GENERIC_ALL;

// The three principals the module's installer and log-folder set-up grant
// access to on purpose: anything else reading the secret is a finding.
bool IsWellKnown(PSID sid, WELL_KNOWN_SID_TYPE type) {
    BYTE buffer[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof buffer;
    return ::CreateWellKnownSid(type, nullptr, buffer, &size) && ::EqualSid(sid, buffer);
}

bool IsExpectedPrincipal(PSID sid) {
    const WELL_KNOWN_SID_TYPE expected[] = {WinLocalSystemSid, WinBuiltinAdministratorsSid, WinCreatorOwnerSid};
    for (const WELL_KNOWN_SID_TYPE type : expected)
        if (IsWellKnown(sid, type)) return true;
    return false;
}

std::string SidText(PSID sid) {
    LPWSTR text = nullptr;
    if (!::ConvertSidToStringSidW(sid, &text)) return "(unreadable SID)";
    std::string result = ToUtf8(text);
    ::LocalFree(text);
    return result;
}

std::string PrincipalName(PSID sid) {
    wchar_t name[256] = {};
    wchar_t domain[256] = {};
    DWORD nameChars = 256;
    DWORD domainChars = 256;
    SID_NAME_USE use;
    if (!::LookupAccountSidW(nullptr, sid, name, &nameChars, domain, &domainChars, &use) || name[0] == L'\0')
        return SidText(sid);
    return domain[0] ? ToUtf8(domain) + "\\" + ToUtf8(name) : ToUtf8(name);
}

// The SIDs of the token Winlogon runs with that an access list can name.
bool InSystemToken(PSID sid) {
    const WELL_KNOWN_SID_TYPE members[] = {WinLocalSystemSid, WinWorldSid, WinAuthenticatedUserSid,
                                           WinBuiltinAdministratorsSid};
    for (const WELL_KNOWN_SID_TYPE type : members)
        if (IsWellKnown(sid, type)) return true;
    return false;
}

}  // namespace

const GENERIC_MAPPING kKeyMapping = {KEY_READ, KEY_WRITE, KEY_EXECUTE, KEY_ALL_ACCESS};
const GENERIC_MAPPING kFileMapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};

bool SystemMayAccess(PSECURITY_DESCRIPTOR descriptor, ACCESS_MASK desired, const GENERIC_MAPPING& mapping) {
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (!::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted)) return false;
    if (!present || dacl == nullptr) return true;
    GENERIC_MAPPING map = mapping;
    ::MapGenericMask(&desired, &map);
    ACCESS_MASK granted = 0;
    ACCESS_MASK denied = 0;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* entry = nullptr;
        if (!::GetAce(dacl, i, &entry)) continue;
        const auto* header = static_cast<const ACE_HEADER*>(entry);
        if (header->AceFlags & INHERIT_ONLY_ACE) continue;
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE && header->AceType != ACCESS_DENIED_ACE_TYPE) continue;
        // Allowed and denied entries share their layout up to the SID.
        auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(entry);
        if (!InSystemToken(&ace->SidStart)) continue;
        ACCESS_MASK mask = ace->Mask;
        ::MapGenericMask(&mask, &map);
        if (header->AceType == ACCESS_ALLOWED_ACE_TYPE)
            granted |= mask & ~denied;
        else
            denied |= mask & ~granted;
    }
    return (granted & desired) == desired;
}

std::vector<std::string> UnexpectedReaders(PSECURITY_DESCRIPTOR descriptor, ACCESS_MASK readMask) {
    return UnexpectedGrantees(descriptor, readMask | kAlwaysReads);
}

std::string OwnerName(PSECURITY_DESCRIPTOR descriptor, bool& administrators) {
    administrators = false;
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    if (!::GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) || owner == nullptr) return "(no owner)";
    BYTE buffer[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof buffer;
    administrators = ::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, buffer, &size) &&
                     ::EqualSid(owner, buffer);
    return PrincipalName(owner);
}

std::vector<std::string> UnexpectedGrantees(PSECURITY_DESCRIPTOR descriptor, ACCESS_MASK mask) {
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (!::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted)) return {"(unreadable DACL)"};
    if (!present || dacl == nullptr) return {"Everyone (no DACL)"};

    std::vector<std::string> readers;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* entry = nullptr;
        if (!::GetAce(dacl, i, &entry)) continue;
        const auto* header = static_cast<const ACE_HEADER*>(entry);
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE)) continue;
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
        if ((allowed->Mask & mask) == 0) continue;
        PSID sid = &allowed->SidStart;
        if (IsExpectedPrincipal(sid)) continue;
        std::string name = PrincipalName(sid);
        bool seen = false;
        for (const std::string& r : readers) seen = seen || r == name;
        if (!seen) readers.push_back(std::move(name));
    }
    return readers;
}

bool ReadKeySecurity(const char* keyPath, std::vector<BYTE>& descriptor, DWORD& error, SECURITY_INFORMATION parts) {
    unique_hkey key;
    error = static_cast<DWORD>(::RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, READ_CONTROL, key.put()));
    if (error != ERROR_SUCCESS) {
        key.release();
        return false;
    }
    DWORD size = 0;
    error = static_cast<DWORD>(::RegGetKeySecurity(key.get(), parts, nullptr, &size));
    if (error != ERROR_INSUFFICIENT_BUFFER) return false;
    descriptor.assign(size, 0);
    error = static_cast<DWORD>(::RegGetKeySecurity(key.get(), parts, descriptor.data(), &size));
    return error == ERROR_SUCCESS;
}

bool ReadFileSecurity(const std::wstring& path, std::vector<BYTE>& descriptor, DWORD& error,
                      SECURITY_INFORMATION parts) {
    DWORD size = 0;
    if (::GetFileSecurityW(path.c_str(), parts, nullptr, 0, &size) ||
        (error = ::GetLastError()) != ERROR_INSUFFICIENT_BUFFER)
        return false;
    descriptor.assign(size, 0);
    if (!::GetFileSecurityW(path.c_str(), parts, descriptor.data(), size, &size)) {
        error = ::GetLastError();
        return false;
    }
    error = ERROR_SUCCESS;
    return true;
}

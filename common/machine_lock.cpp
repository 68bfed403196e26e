#include "common/machine_lock.h"

#include <sddl.h>

#include <vector>

bool IsSystemOrAdministrators(PSID sid) noexcept {
    if (sid == nullptr || !::IsValidSid(sid)) return false;
    for (const WELL_KNOWN_SID_TYPE type : {WinLocalSystemSid, WinBuiltinAdministratorsSid}) {
        BYTE wellKnown[SECURITY_MAX_SID_SIZE];
        DWORD size = sizeof wellKnown;
        if (::CreateWellKnownSid(type, nullptr, wellKnown, &size) && ::EqualSid(sid, wellKnown)) return true;
    }
    return false;
}

std::string SidString(PSID sid) {
    LPSTR text = nullptr;
    if (sid == nullptr || !::ConvertSidToStringSidA(sid, &text)) return "(unreadable SID)";
    const unique_hlocal owned(text);
    return std::string(text);
}

namespace {

// What lets a holder change a key, its values or its security.
constexpr ACCESS_MASK kKeyWriteRights = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | DELETE | WRITE_DAC |
                                        WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

}  // namespace

std::string KeyDistrust(const std::string& key, PSECURITY_DESCRIPTOR descriptor) {
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    if (!::GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) || owner == nullptr)
        return key + " has no owner";
    const std::string named = key + " (owner " + SidString(owner) + ")";
    if (!IsSystemOrAdministrators(owner))
        return key + " is owned by " + SidString(owner) + ", not SYSTEM or Administrators";
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    BOOL present = FALSE;
    PACL dacl = nullptr;
    if (!::GetSecurityDescriptorControl(descriptor, &control, &revision) ||
        !::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted))
        return named + " has an access list that cannot be read";
    if (!present || dacl == nullptr) return named + " has no access list: everyone may write it";
    // An unprotected list takes whatever the parent passes on, now or after
    // someone changes HKLM\Software; the keys the module and its tools make
    // never do.
    if (!(control & SE_DACL_PROTECTED)) return named + " takes entries from its parent's access list";
    std::string writers;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* entry = nullptr;
        if (!::GetAce(dacl, i, &entry)) return named + " has an access list that cannot be read";
        const auto* header = static_cast<const ACE_HEADER*>(entry);
        if (header->AceType == ACCESS_DENIED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE)) continue;
        if (header->AceFlags & INHERITED_ACE) return named + " takes entries from its parent's access list";
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) return named + " has an access entry of another kind";
        const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
        const PSID sid = const_cast<DWORD*>(&allowed->SidStart);
        if ((allowed->Mask & kKeyWriteRights) && !IsSystemOrAdministrators(sid))
            writers += (writers.empty() ? "" : ", ") + SidString(sid);
    }
    if (!writers.empty()) return named + " may be written by " + writers;
    return std::string();
}

MachineLock::MachineLock(const wchar_t* name, const wchar_t* security) {
    PSECURITY_DESCRIPTOR raw = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(security, SDDL_REVISION_1, &raw, nullptr)) {
        failure_ = {"ConvertStringSecurityDescriptorToSecurityDescriptorW", ::GetLastError()};
        return;
    }
    const unique_hlocal descriptor(raw);
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor.get(), FALSE};
    mutex_.reset(::CreateMutexW(&attributes, FALSE, name));
    const DWORD created = ::GetLastError();
    if (!mutex_) {
        failure_ = {"CreateMutexW", created};
        return;
    }
    // Also a mutex this call created is read back: what counts is the owner
    // the system recorded, not the one asked for.
    DWORD size = 0;
    ::GetKernelObjectSecurity(mutex_.get(), OWNER_SECURITY_INFORMATION, nullptr, 0, &size);
    std::vector<BYTE> current(size);
    if (size == 0 ||
        !::GetKernelObjectSecurity(mutex_.get(), OWNER_SECURITY_INFORMATION, current.data(), size, &size)) {
        failure_ = {"GetKernelObjectSecurity", ::GetLastError()};
        mutex_.reset();
        return;
    }
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    if (!::GetSecurityDescriptorOwner(current.data(), &owner, &defaulted) || !IsSystemOrAdministrators(owner)) {
        owner_ = owner ? SidString(owner) : "(no owner)";
        state_ = MachineLockState::NotOurs;
        mutex_.reset();
        return;
    }
    state_ = MachineLockState::Usable;
}

MachineLock::~MachineLock() {
    if (held_) ::ReleaseMutex(mutex_.get());
}

bool MachineLock::Acquire(DWORD timeoutMs) noexcept {
    if (state_ != MachineLockState::Usable || held_) return held_;
    const DWORD wait = ::WaitForSingleObject(mutex_.get(), timeoutMs);
    if (wait == WAIT_FAILED) failure_ = {"WaitForSingleObject", ::GetLastError()};
    held_ = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
    return held_;
}

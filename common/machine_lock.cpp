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

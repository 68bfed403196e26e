#pragma once
// Machine-wide locks and the owners the module trusts. A terminal server (and
// fast user switching on XP) runs one Winlogon per session, each loading the
// module, beside the administrator's tools: whatever they share on the machine
// (the stored recovery codes, for one) is changed under one mutex in the
// Global namespace. Used by config/ (the recovery store) and the tools; the
// callers log what these report, so nothing here climbs to diag/.

#include <windows.h>

#include <string>

#include "common/handles.h"

// True for the local SYSTEM account and the Administrators group: the only
// owners an object the module relies on may have. The account of the process
// itself does not count: on XP an administrator's objects are owned by that
// administrator, whom the other sessions have no reason to trust.
bool IsSystemOrAdministrators(PSID sid) noexcept;

// "S-1-5-21-..." for a SID; never looks the name up, so it cannot wait on a
// domain controller from Winlogon's thread.
std::string SidString(PSID sid);

// Why a key of ours, given its security descriptor (owner and DACL), cannot
// be trusted, or "" when it can: its owner must be SYSTEM or Administrators,
// its access list protected (nothing taken from the parent's, HKLM\Software,
// where Power Users may create and write subkeys on XP and 2003), and nobody
// else may write it or change its security. The reason names `key` (as the
// caller shows it) and its owner. Used for the recovery codes' store and the
// installer's record of the login module it replaced.
std::string KeyDistrust(const std::string& key, PSECURITY_DESCRIPTOR descriptor);

// A Win32 call that failed, for the caller to log in its own form.
struct FailedCall {
    const char* name = nullptr;
    DWORD error = 0;
};

enum class MachineLockState {
    Usable,      // opened (or created) with an owner we trust
    NotOurs,     // someone else created the name first: never waited on
    Unavailable, // a call failed: `failure` says which
};

// One named mutex of the machine, opened for the life of the object and held
// between Acquire and the destructor. Non-copyable, not movable: it lives on
// the stack of the one operation it guards.
class MachineLock {
public:
    // Opens the mutex `name` ("Global\\..."), creating it with the SDDL
    // `security` when no process has. That text should name Administrators as
    // the owner (O:BA), so that a lock made by an administrator's tool on XP
    // is not owned by that one account. On XP and 2003 any user may create a
    // Global name first (before the module is installed, say) and hold it for
    // ever; a mutex found with an owner other than SYSTEM or Administrators
    // is not used (state NotOurs, `owner` names it).
    MachineLock(const wchar_t* name, const wchar_t* security);
    ~MachineLock();
    MachineLock(const MachineLock&) = delete;
    MachineLock& operator=(const MachineLock&) = delete;

    MachineLockState state() const noexcept { return state_; }
    const FailedCall& failure() const noexcept { return failure_; }
    const std::string& owner() const noexcept { return owner_; }

    // Waits up to `timeoutMs`; true when held. An abandoned mutex (its holder
    // ended) counts as held: the callers change what it guards one whole
    // write at a time.
    bool Acquire(DWORD timeoutMs) noexcept;
    bool held() const noexcept { return held_; }

private:
    unique_handle mutex_;
    MachineLockState state_ = MachineLockState::Unavailable;
    FailedCall failure_;
    std::string owner_;
    bool held_ = false;
};

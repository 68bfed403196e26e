#pragma once
// Inside the diagnostic log: the file writer LogMessage hands each line to,
// and the folder-security helpers that opening the log file uses. Only diag/
// includes this header.

#include <windows.h>

#include <string>

#include "common/handles.h"

// Appends `line` (prefix, text and CR LF) to the log file with one write, after
// following a rotation another process made and rotating the file itself when
// the line would take it past the bound. Does nothing while no log file is
// open. Called by LogMessage only; never throws.
void AppendToLogFile(const std::string& line) noexcept;

namespace log_detail {

// Taking a folder back from an owner whose DACL shuts everyone else out needs
// the backup, restore and take-ownership privileges. They are enabled in a
// private copy of the caller's token (the thread impersonates itself), so
// Winlogon's own token is never changed; the destructor ends the
// impersonation. Without the copy the caller's own rights apply.
class PrivilegedScope {
public:
    PrivilegedScope() noexcept;
    ~PrivilegedScope();
    PrivilegedScope(const PrivilegedScope&) = delete;
    PrivilegedScope& operator=(const PrivilegedScope&) = delete;

private:
    bool impersonating_ = false;
};

// The owner and DACL a log file found in a folder that was taken back gets.
extern const wchar_t kTakenBackFileSecurity[];

// A descriptor built from SDDL; null (logged) when the text is refused.
unique_hlocal DescriptorFromText(const wchar_t* text) noexcept;

// Sets the owner, then the DACL, of the object open at `handle` from SDDL.
bool SetOwnerAndDacl(HANDLE handle, const wchar_t* securityText) noexcept;

// True when the folder open at `handle` is private now: it was, or it has
// just been taken back from someone else (`takenBack` says which).
bool MakeFolderPrivate(HANDLE handle, bool& takenBack) noexcept;

// True for SYSTEM, the Administrators, and this process's own account and
// default owner: the accounts whose objects the module trusts as its own.
bool IsMachineAccount(PSID sid) noexcept;

// Creates the log folder (and any missing parent) readable by SYSTEM and the
// Administrators only.
void CreatePrivateLogDirectory(const wchar_t* directory) noexcept;

}  // namespace log_detail

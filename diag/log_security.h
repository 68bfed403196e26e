#pragma once
// The log folder's security and the checks on what the log is written to:
// what the module gives a folder it creates, how it recognises its own, and
// how it takes back one that someone else made. Used by the file writer and
// by vyn-check; reports its trouble through diag/log_report.h.

#include <windows.h>

#include "common/handles.h"

// The security descriptor a log folder that OpenLogFile creates gets: a
// protected DACL with full control for SYSTEM and the Administrators only,
// inherited by what is created in it. Null (logged) when it cannot be built;
// the folder is then not created.
unique_hlocal PrivateLogDirectorySecurity() noexcept;

// True when the descriptor's owner is the Administrators and its DACL is the
// private one above, entry for entry, protected: the folder as the module
// leaves it after a take-back.
bool IsPrivateLogDirectorySecurity(PSECURITY_DESCRIPTOR descriptor) noexcept;

// True when a log folder with this descriptor is someone else's and is taken
// back at open: its owner is not SYSTEM, the Administrators (or this
// process's own account), or an entry of its DACL lets anyone else in, or it
// has no DACL. The private entries in another order, or with an entry added
// for the Backup Operators (who read and restore every file through their
// privileges anyway) or CREATOR OWNER, as a Group Policy may write them at
// every boot, are not a take-over: such a folder is left as it is.
bool LogDirectoryLetsOthersIn(PSECURITY_DESCRIPTOR descriptor) noexcept;

// Why a folder or log file opened (not followed) at `info` may not carry the
// log, or nullptr when it may: a reparse point would send the lines elsewhere,
// and a file with a second link is also someone else's file.
const char* LogPathRefusal(const BY_HANDLE_FILE_INFORMATION& info) noexcept;

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

// The privileges PrivilegedScope enables, as the low parts of their LUIDs.
extern const DWORD kTakeBackPrivileges[3];

// The owner and DACL a log file found in a folder that was taken back gets.
extern const wchar_t kTakenBackFileSecurity[];

// A descriptor built from SDDL; null (logged) when the text is refused.
unique_hlocal DescriptorFromText(const wchar_t* text) noexcept;

// Sets the owner, then the DACL, of the object open at `handle` from SDDL.
bool SetOwnerAndDacl(HANDLE handle, const wchar_t* securityText) noexcept;

// True when the folder open at `handle` may carry the log now: it let nobody
// else in (LogDirectoryLetsOthersIn), or it has just been taken back from
// someone else (`takenBack` says which).
bool MakeFolderPrivate(HANDLE handle, bool& takenBack) noexcept;

// True for SYSTEM, the Administrators, and this process's own account and
// default owner: the accounts whose objects the module trusts as its own.
bool IsMachineAccount(PSID sid) noexcept;

// Creates the log folder readable by SYSTEM and the Administrators only. Its
// parent, the common application-data folder, always exists.
void CreatePrivateLogDirectory(const wchar_t* directory) noexcept;

}  // namespace log_detail

// The log folder's security: what the module gives a folder it creates, how
// it recognises its own, and how it takes back one that someone else made.
#include "diag/log_security.h"

#include <sddl.h>

#include <cstring>
#include <memory>
#include <new>

#include "diag/log_report.h"

namespace {

// The log holds user names, client addresses, the integration key and the
// service's texts. The folder gets a protected DACL (nothing inherited from
// the common application-data folder, which lets every local user read) with
// full control for SYSTEM and the Administrators only, inherited by the log
// file and anything else created in it.
constexpr wchar_t kLogDirectorySecurity[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

// The same with the Administrators as owner: what a folder found with another
// owner or DACL is given back. A folder the module creates gets the creator's
// default owner (the Administrators for SYSTEM on XP and 2003).
constexpr wchar_t kTakenBackDirectorySecurity[] = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

}  // namespace

namespace log_detail {

// What a log file found in a folder that had to be taken back is given before
// it is moved aside: owned by the Administrators, with the entries it would
// have inherited from the private folder, so that nobody opens it anew.
// SeTakeOwnershipPrivilege, SeBackupPrivilege and SeRestorePrivilege by their
// fixed values (SE_TAKE_OWNERSHIP_PRIVILEGE, SE_BACKUP_PRIVILEGE and
// SE_RESTORE_PRIVILEGE of the driver kit), the same on every Windows version.
// Looking the names up instead asks the LSA by RPC, which the module must not
// do at process attach, under the loader lock.
const DWORD kTakeBackPrivileges[3] = {9, 17, 18};

const wchar_t kTakenBackFileSecurity[] = L"O:BAD:AI(A;ID;FA;;;SY)(A;ID;FA;;;BA)";

PrivilegedScope::PrivilegedScope() noexcept {
    if (!::ImpersonateSelf(SecurityImpersonation)) {
        ReportLogCallFailure("ImpersonateSelf", ::GetLastError());
        return;
    }
    impersonating_ = true;
    unique_handle token;
    if (!::OpenThreadToken(::GetCurrentThread(), TOKEN_ADJUST_PRIVILEGES, TRUE, token.put())) {
        ReportLogCallFailure("OpenThreadToken", ::GetLastError());
        return;
    }
    for (const DWORD value : kTakeBackPrivileges) {
        TOKEN_PRIVILEGES privilege = {1, {{{value, 0}, SE_PRIVILEGE_ENABLED}}};
        // A privilege the caller does not hold is simply not enabled
        // (ERROR_NOT_ALL_ASSIGNED): the opens that need it then tell.
        ::AdjustTokenPrivileges(token.get(), FALSE, &privilege, 0, nullptr, nullptr);
    }
}

PrivilegedScope::~PrivilegedScope() {
    if (impersonating_ && !::RevertToSelf()) ReportLogCallFailure("RevertToSelf", ::GetLastError());
}

unique_hlocal DescriptorFromText(const wchar_t* text) noexcept {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(text, SDDL_REVISION_1, &descriptor, nullptr)) {
        ReportLogCallFailure("ConvertStringSecurityDescriptorToSecurityDescriptorW", ::GetLastError());
        return unique_hlocal();
    }
    return unique_hlocal(descriptor);
}

// Gives the object open at `handle` the owner and then the DACL of
// `descriptor`: the owner first, since the new owner may always change the
// DACL whatever the old one said. The low-level call sets exactly what is
// given and walks no children.
bool SetOwnerAndDacl(HANDLE handle, const wchar_t* securityText) noexcept {
    const unique_hlocal descriptor = DescriptorFromText(securityText);
    if (!descriptor) return false;
    for (const SECURITY_INFORMATION part : {OWNER_SECURITY_INFORMATION, DACL_SECURITY_INFORMATION}) {
        if (!::SetKernelObjectSecurity(handle, part, descriptor.get())) {
            ReportLogCallFailure("SetKernelObjectSecurity", ::GetLastError());
            return false;
        }
    }
    return true;
}

namespace {

// The owner and DACL of the object open at `handle`; null (logged) on failure.
std::unique_ptr<BYTE[]> ReadOwnerAndDacl(HANDLE handle) noexcept {
    DWORD size = 0;
    const SECURITY_INFORMATION parts = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    ::GetKernelObjectSecurity(handle, parts, nullptr, 0, &size);
    std::unique_ptr<BYTE[]> current(size ? new (std::nothrow) BYTE[size] : nullptr);
    if (!current || !::GetKernelObjectSecurity(handle, parts, current.get(), size, &size)) {
        ReportLogCallFailure("GetKernelObjectSecurity", ::GetLastError());
        return nullptr;
    }
    return current;
}

// True for the accounts an entry of the folder's DACL may name without the
// folder counting as someone else's: the owner when it is this machine's,
// this machine's accounts, the Backup Operators, whose privileges read and
// restore every file whatever the folder says, and CREATOR OWNER, which
// stands for whoever creates a file there: only the accounts above can.
bool IsTrustedEntry(PSID sid, PSID owner) noexcept {
    if (::EqualSid(sid, owner) || IsMachineAccount(sid)) return true;
    for (const WELL_KNOWN_SID_TYPE type : {WinBuiltinBackupOperatorsSid, WinCreatorOwnerSid}) {
        BYTE wellKnown[SECURITY_MAX_SID_SIZE];
        DWORD size = sizeof wellKnown;
        if (::CreateWellKnownSid(type, nullptr, wellKnown, &size) && ::EqualSid(sid, wellKnown)) return true;
    }
    return false;
}

}  // namespace

bool IsMachineAccount(PSID sid) noexcept {
    for (const WELL_KNOWN_SID_TYPE type : {WinLocalSystemSid, WinBuiltinAdministratorsSid}) {
        BYTE wellKnown[SECURITY_MAX_SID_SIZE];
        DWORD size = sizeof wellKnown;
        if (::CreateWellKnownSid(type, nullptr, wellKnown, &size) && ::EqualSid(sid, wellKnown)) return true;
    }
    // This process's own account, and the owner its objects get by default:
    // SYSTEM inside Winlogon, the administrator running a tool otherwise.
    unique_handle token;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put())) return false;
    for (const TOKEN_INFORMATION_CLASS part : {TokenUser, TokenOwner}) {
        BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
        DWORD size = 0;
        if (!::GetTokenInformation(token.get(), part, buffer, sizeof buffer, &size)) continue;
        const PSID mine = part == TokenUser ? reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid
                                            : reinterpret_cast<TOKEN_OWNER*>(buffer)->Owner;
        if (::EqualSid(sid, mine)) return true;
    }
    return false;
}

bool MakeFolderPrivate(HANDLE handle, bool& takenBack) noexcept {
    takenBack = false;
    const std::unique_ptr<BYTE[]> before = ReadOwnerAndDacl(handle);
    if (!before) return false;
    // A private list in another order or with an added trusted entry stays
    // as it is: rewriting it would fight a Group Policy that sets it at boot,
    // and moving the logs aside for it would lose them for nothing.
    if (!LogDirectoryLetsOthersIn(before.get())) return true;
    if (!SetOwnerAndDacl(handle, kTakenBackDirectorySecurity)) return false;
    takenBack = true;
    return true;
}

// Creates the log folder readable by SYSTEM and the Administrators only.
// Called at process attach, under the loader lock, where no shell function
// may be called: the parent always exists, so one CreateDirectoryW does.
void CreatePrivateLogDirectory(const wchar_t* directory) noexcept {
    const unique_hlocal descriptor = PrivateLogDirectorySecurity();
    if (!descriptor) {
        // Without the private descriptor the folder is not created at all: a
        // log readable by every local user is worse than no log file (the
        // lines still reach the debugger output).
        return;
    }
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor.get(), FALSE};
    if (!::CreateDirectoryW(directory, &attributes)) {
        const DWORD error = ::GetLastError();
        // Another process loading the module (one Winlogon per session) may
        // have created it in between: then it is that process's private folder.
        if (error != ERROR_ALREADY_EXISTS) ReportLogCallFailure("CreateDirectoryW", error);
    }
}

}  // namespace log_detail

unique_hlocal PrivateLogDirectorySecurity() noexcept { return log_detail::DescriptorFromText(kLogDirectorySecurity); }

bool IsPrivateLogDirectorySecurity(PSECURITY_DESCRIPTOR descriptor) noexcept {
    const unique_hlocal wanted = log_detail::DescriptorFromText(kTakenBackDirectorySecurity);
    if (!wanted || !descriptor) return false;

    PSID owner = nullptr, wantedOwner = nullptr;
    BOOL defaulted = FALSE;
    if (!::GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) || owner == nullptr ||
        !::GetSecurityDescriptorOwner(wanted.get(), &wantedOwner, &defaulted) || !::EqualSid(owner, wantedOwner))
        return false;

    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (!::GetSecurityDescriptorControl(descriptor, &control, &revision) || !(control & SE_DACL_PROTECTED))
        return false;

    BOOL present = FALSE, wantedPresent = FALSE;
    PACL dacl = nullptr, wantedDacl = nullptr;
    if (!::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) || !present || dacl == nullptr ||
        !::GetSecurityDescriptorDacl(wanted.get(), &wantedPresent, &wantedDacl, &defaulted))
        return false;
    // Entry for entry, byte for byte: an extra entry, another order, other
    // rights or inheritance all count as someone else's DACL.
    if (dacl->AceCount != wantedDacl->AceCount) return false;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* entry = nullptr;
        void* wantedEntry = nullptr;
        if (!::GetAce(dacl, i, &entry) || !::GetAce(wantedDacl, i, &wantedEntry)) return false;
        const WORD length = static_cast<const ACE_HEADER*>(entry)->AceSize;
        if (length != static_cast<const ACE_HEADER*>(wantedEntry)->AceSize ||
            std::memcmp(entry, wantedEntry, length) != 0)
            return false;
    }
    return true;
}

bool LogDirectoryLetsOthersIn(PSECURITY_DESCRIPTOR descriptor) noexcept {
    PSID owner = nullptr;
    BOOL defaulted = FALSE, present = FALSE;
    PACL dacl = nullptr;
    if (!descriptor || !::GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) || owner == nullptr ||
        !log_detail::IsMachineAccount(owner) || !::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) ||
        !present || dacl == nullptr)
        return true;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* entry = nullptr;
        if (!::GetAce(dacl, i, &entry)) return true;
        const BYTE type = static_cast<const ACE_HEADER*>(entry)->AceType;
        // Entries that only deny take nobody in. Any other granting kind
        // (object or callback entries, which a file system does not use) is
        // not read here, so it counts as letting someone in.
        if (type == ACCESS_DENIED_ACE_TYPE || type == ACCESS_DENIED_OBJECT_ACE_TYPE ||
            type == ACCESS_DENIED_CALLBACK_ACE_TYPE || type == ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE)
            continue;
        if (type != ACCESS_ALLOWED_ACE_TYPE) return true;
        const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
        if (!log_detail::IsTrustedEntry(const_cast<DWORD*>(&allowed->SidStart), owner)) return true;
    }
    return false;
}

const char* LogPathRefusal(const BY_HANDLE_FILE_INFORMATION& info) noexcept {
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return "it is a reparse point";
    if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && info.nNumberOfLinks > 1)
        return "it has more than one link";
    return nullptr;
}

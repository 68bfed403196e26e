#include "diag/log.h"

#include <shlobj.h>
#include <strsafe.h>
#include <winsock2.h>
#include <sddl.h>

#include <cstring>

#include <cstdio>
#include <memory>
#include <new>

unique_hfile gLogFile;

namespace {

constexpr size_t kLogDirectoryChars = 520;

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

// What a log file in a folder that had to be taken back is given: owned by the
// Administrators, with the entries it would have inherited from the private
// folder. Whoever created it may have kept a way in for themselves.
constexpr wchar_t kTakenBackFileSecurity[] = L"O:BAD:AI(A;ID;FA;;;SY)(A;ID;FA;;;BA)";

constexpr char kDebuggerOnly[] = "; logging to the debugger output only";

// Taking a folder back from an owner whose DACL shuts everyone else out needs
// the backup, restore and take-ownership privileges. They are enabled in a
// private copy of the caller's token (the thread impersonates itself), so
// Winlogon's own token is never changed; the destructor ends the
// impersonation. Without the copy the caller's own rights apply.
class PrivilegedScope {
public:
    PrivilegedScope() noexcept {
        if (!::ImpersonateSelf(SecurityImpersonation)) {
            LogSystemCallFailure("ImpersonateSelf", ::GetLastError());
            return;
        }
        impersonating_ = true;
        unique_handle token;
        if (!::OpenThreadToken(::GetCurrentThread(), TOKEN_ADJUST_PRIVILEGES, TRUE, token.put())) {
            LogSystemCallFailure("OpenThreadToken", ::GetLastError());
            return;
        }
        const wchar_t* const names[] = {L"SeBackupPrivilege", L"SeRestorePrivilege", L"SeTakeOwnershipPrivilege"};
        for (const wchar_t* name : names) {
            TOKEN_PRIVILEGES privilege = {1, {{{0, 0}, SE_PRIVILEGE_ENABLED}}};
            // A privilege the caller does not hold is simply not enabled
            // (ERROR_NOT_ALL_ASSIGNED): the opens below then tell.
            if (::LookupPrivilegeValueW(nullptr, name, &privilege.Privileges[0].Luid))
                ::AdjustTokenPrivileges(token.get(), FALSE, &privilege, 0, nullptr, nullptr);
        }
    }
    ~PrivilegedScope() {
        if (impersonating_ && !::RevertToSelf()) LogSystemCallFailure("RevertToSelf", ::GetLastError());
    }
    PrivilegedScope(const PrivilegedScope&) = delete;
    PrivilegedScope& operator=(const PrivilegedScope&) = delete;

private:
    bool impersonating_ = false;
};

unique_hlocal DescriptorFromText(const wchar_t* text) noexcept {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(text, SDDL_REVISION_1, &descriptor, nullptr)) {
        LogSystemCallFailure("ConvertStringSecurityDescriptorToSecurityDescriptorW", ::GetLastError());
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
            LogSystemCallFailure("SetKernelObjectSecurity", ::GetLastError());
            return false;
        }
    }
    return true;
}

// True when the folder open at `handle` is private now: it was, or it has
// just been taken back (`takenBack` says which).
bool MakeFolderPrivate(HANDLE handle, bool& takenBack) noexcept {
    takenBack = false;
    DWORD size = 0;
    const SECURITY_INFORMATION parts = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    ::GetKernelObjectSecurity(handle, parts, nullptr, 0, &size);
    std::unique_ptr<BYTE[]> current(size ? new (std::nothrow) BYTE[size] : nullptr);
    if (!current || !::GetKernelObjectSecurity(handle, parts, current.get(), size, &size)) {
        LogSystemCallFailure("GetKernelObjectSecurity", ::GetLastError());
        return false;
    }
    if (IsPrivateLogDirectorySecurity(current.get())) return true;
    takenBack = true;
    return SetOwnerAndDacl(handle, kTakenBackDirectorySecurity);
}

// Opens the object at `path` itself, never what a reparse point leads to.
unique_hfile OpenNotFollowed(const wchar_t* path, DWORD access, DWORD disposition, DWORD flags) noexcept {
    unique_hfile file(::CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    disposition, flags | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    return file;
}

// Logs, to the debugger output alone, why the log file is not used.
void RefuseLogFile(const char* what, const char* why) noexcept {
    char line[200];
    std::snprintf(line, sizeof line, "ERROR: %s refused: %s%s", what, why, kDebuggerOnly);
    LogMessage(line);
}

bool LogFileOpen() noexcept {
    const HANDLE h = gLogFile.get();
    return h != INVALID_HANDLE_VALUE && h != nullptr;
}

// Creates the log folder (and any missing parent) readable by SYSTEM and the
// Administrators only.
void CreatePrivateLogDirectory(const wchar_t* directory) noexcept {
    const unique_hlocal descriptor = PrivateLogDirectorySecurity();
    if (!descriptor) {
        // Without the private descriptor the folder is not created at all: a
        // log readable by every local user is worse than no log file (the
        // lines still reach the debugger output).
        return;
    }
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor.get(), FALSE};
    const int rc = ::SHCreateDirectoryExW(nullptr, directory, &attributes);
    // Another process loading the module (one Winlogon per session) may have
    // created it in between: then it is that process's private folder.
    if (rc != ERROR_SUCCESS && rc != ERROR_ALREADY_EXISTS) {
        LogSystemCallFailure("SHCreateDirectoryExW", static_cast<DWORD>(rc));
    }
}

}  // namespace

std::string FormatLogPrefix(const SYSTEMTIME& time, DWORD threadId) {
    char prefix[150] = {};
    std::snprintf(prefix, sizeof prefix, "%.2d/%.2d/%.2d %.2d:%.2d:%.2d (%u)", time.wMonth, time.wDay,
                  time.wYear % 1000, time.wHour, time.wMinute, time.wSecond, static_cast<unsigned>(threadId));
    return prefix;
}

void LogMessage(const char* text) noexcept {
    try {
        SYSTEMTIME now;
        ::GetLocalTime(&now);
        std::string line = FormatLogPrefix(now, ::GetCurrentThreadId());
        line += ' ';
        if (text) line += text;
        line += "\r\n";
        // One call each, so concurrent writers (threads, other Winlogon
        // processes appending to the same file) never split a line.
        ::OutputDebugStringA(line.c_str());
        if (LogFileOpen()) {
            DWORD written = 0;
            ::WriteFile(gLogFile.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
        }
    } catch (...) {
        // Out of memory while logging: the line is lost, the caller carries on.
    }
}

void LogMessage(const std::string& text) noexcept { LogMessage(text.c_str()); }

DWORD LogSystemCallFailure(const char* name, DWORD code) noexcept {
    char line[512];
    std::snprintf(line, sizeof line, "ERROR: Failure in system call '%s' (%lu)", name ? name : "",
                  static_cast<unsigned long>(code));
    LogMessage(line);
    return code;
}

void LogSocketFailure(const char* name) noexcept {
    const int error = ::WSAGetLastError();
    char line[512];
    std::snprintf(line, sizeof line, "ERROR: Failure in socket operation '%s' (%d)", name ? name : "", error);
    LogMessage(line);
}

unique_hlocal PrivateLogDirectorySecurity() noexcept { return DescriptorFromText(kLogDirectorySecurity); }

bool IsPrivateLogDirectorySecurity(PSECURITY_DESCRIPTOR descriptor) noexcept {
    const unique_hlocal wanted = DescriptorFromText(kTakenBackDirectorySecurity);
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

const char* LogPathRefusal(const BY_HANDLE_FILE_INFORMATION& info) noexcept {
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return "it is a reparse point";
    if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && info.nNumberOfLinks > 1)
        return "it has more than one link";
    return nullptr;
}

std::string ServiceTextForLog(const std::string& text) {
    if (text.size() <= kServiceTextLogBytes) return text;
    size_t kept = kServiceTextLogBytes;
    // Back to the start of the character the bound falls in (continuation
    // bytes are 10xxxxxx), so the log never holds half a character.
    while (kept > 0 && (static_cast<unsigned char>(text[kept]) & 0xC0) == 0x80) --kept;
    return text.substr(0, kept) + " ... (" + std::to_string(text.size() - kept) + " bytes left out)";
}

HRESULT GetLogDirectory(wchar_t* buffer) noexcept {
    wchar_t appData[MAX_PATH] = {};
    const HRESULT hr = ::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, appData);
    if (FAILED(hr)) return hr;
    wchar_t work[kLogDirectoryChars] = {};
    // Cut to fit when too long; the copy below reports it.
    ::StringCchPrintfW(work, kLogDirectoryChars, L"%s\\%s", appData, L"Vyn Security");
    return ::StringCchCopyW(buffer, kLogDirectoryChars, work);
}

bool OpenLogFile() noexcept {
    wchar_t directory[kLogDirectoryChars] = {};
    if (FAILED(GetLogDirectory(directory))) return false;
    const DWORD attributes = ::GetFileAttributesW(directory);
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
        CreatePrivateLogDirectory(directory);

    wchar_t path[MAX_PATH + 1] = {};
    wchar_t oldPath[MAX_PATH + 1] = {};
    if (FAILED(::StringCchPrintfW(path, MAX_PATH + 1, L"%s\\%s", directory, L"vyn.log")) ||
        FAILED(::StringCchPrintfW(oldPath, MAX_PATH + 1, L"%s\\%s", directory, L"vyn.log.old")))
        return false;

    const PrivilegedScope privileges;
    // Held open, without delete sharing, until the log file is open: the
    // folder cannot be renamed or replaced between its checks and the file's.
    unique_hfile folder(::CreateFileW(directory, READ_CONTROL | WRITE_DAC | WRITE_OWNER | FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!folder) {
        LogSystemCallFailure("CreateFileW", ::GetLastError());
        RefuseLogFile("Log folder", "it cannot be opened");
        return false;
    }
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!::GetFileInformationByHandle(folder.get(), &info)) {
        LogSystemCallFailure("GetFileInformationByHandle", ::GetLastError());
        RefuseLogFile("Log folder", "it cannot be examined");
        return false;
    }
    // What the name itself showed counts as well: Windows reports a reparse
    // point either way, Wine (a Unix link to a folder) only there.
    if (attributes != INVALID_FILE_ATTRIBUTES) info.dwFileAttributes |= attributes & FILE_ATTRIBUTE_REPARSE_POINT;
    if (const char* why = LogPathRefusal(info)) {
        RefuseLogFile("Log folder", why);
        return false;
    }
    bool takenBack = false;
    if (!MakeFolderPrivate(folder.get(), takenBack)) {
        RefuseLogFile("Log folder", "its owner and DACL cannot be taken back");
        return false;
    }

    // Append-only and fully shared: every Winlogon (one per terminal session)
    // appends to the same file, and administrators may read it at any time.
    // A file found in a folder just taken back is taken back as well, which
    // needs the security rights on this handle.
    const DWORD access =
        FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | (takenBack ? READ_CONTROL | WRITE_DAC | WRITE_OWNER : 0);
    const DWORD flags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH;
    unique_hfile file = OpenNotFollowed(path, access, OPEN_ALWAYS, flags);
    for (int pass = 0; file; ++pass) {
        if (!::GetFileInformationByHandle(file.get(), &info)) {
            LogSystemCallFailure("GetFileInformationByHandle", ::GetLastError());
            RefuseLogFile("Log file", "it cannot be examined");
            return false;
        }
        if (const char* why = LogPathRefusal(info)) {
            RefuseLogFile("Log file", why);
            return false;
        }
        const ULONGLONG size = (static_cast<ULONGLONG>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
        if (pass > 0 || size <= kLogRotationBytes) break;
        // Rotated once per load at most: other Winlogon processes keep
        // appending to the moved file until they load the module again.
        file.reset();
        if (!::MoveFileExW(path, oldPath, MOVEFILE_REPLACE_EXISTING))
            LogSystemCallFailure("MoveFileExW", ::GetLastError());
        file = OpenNotFollowed(path, access, OPEN_ALWAYS, flags);
    }
    // A log file that cannot be opened (a folder in its place, for one) leaves
    // the debugger output to carry every line.
    if (!file) return false;
    if (takenBack && !SetOwnerAndDacl(file.get(), kTakenBackFileSecurity)) {
        RefuseLogFile("Log file", "its owner and DACL cannot be taken back");
        return false;
    }
    gLogFile = std::move(file);
    return true;
}

void CloseLogFile() noexcept { gLogFile.reset(); }

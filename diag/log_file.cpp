// The log file that every process loading the module shares: one Winlogon per
// terminal session, vyn-check and the logon host. It is opened at load (and a
// folder someone else made is taken back first); each line is appended under
// a machine-wide lock that also elects the one process that rotates the file.
#include <windows.h>
#include <strsafe.h>

#include <cstdio>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "common/critical_section.h"
#include "common/strings.h"
#include "diag/eventlog.h"
#include "diag/log.h"
#include "diag/log_file.h"

unique_hfile gLogFile;

namespace log_detail {

ULONGLONG& RotationBytes() noexcept {
    static ULONGLONG bytes = kLogRotationBytes;
    return bytes;
}

}  // namespace log_detail

namespace {

constexpr size_t kLogDirectoryChars = 520;

// Full control for SYSTEM and the Administrators only, as the private folder
// passes on: what a vyn.log the module creates is given.
constexpr wchar_t kLogFileSecurity[] = L"D:P(A;;FA;;;SY)(A;;FA;;;BA)";

constexpr char kDebuggerOnly[] = "; logging to the debugger output only";

// Serialises every process's size check, rotation and write, so that exactly
// one process rotates and every other one sees the new file before its next
// line. The Global namespace makes it one lock for all terminal sessions.
constexpr wchar_t kLogLockName[] = L"Global\\Vyn Security log";

// Only SYSTEM and the Administrators may open the lock: a user who could would
// hold it and stall every Winlogon's log.
constexpr wchar_t kLogLockSecurity[] = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)";

// How long a line waits for another process's line or rotation. A holder
// that keeps the lock longer is stuck; lines then go on without it.
constexpr DWORD kLogLockWaitMs = 1000;

// What the writer keeps between lines. Zero before OpenLogFile and touched
// only while `active` (set once OpenLogFile succeeded, after every global of
// the module was built; cleared by CloseLogFile), so a line logged from
// another global's constructor or destructor reaches the debugger output
// alone. Threads of this process take gLogGuard; processes take gLogLock.
struct LogFileState {
    bool active;
    // The lock could not be had as this machine's own (OpenLogLock): files
    // are followed and rotated without it.
    bool unlocked;
    // A wait for the lock ran out: later lines try it without waiting until
    // one gets it, so a stuck holder costs each process one wait only.
    bool lockStalled;
    // Inside the follow-and-rotate step: a line it logs itself is written
    // where the handle points now, with no second step.
    bool busy;
    // One report per run of failed rotations, and one event per load for a
    // refused log file.
    bool rotationFailureLogged;
    bool refusalReported;
    // Warnings wait for ReportDeferredLogEvents (OpenLogFile at process attach).
    bool deferEvents;
    wchar_t path[MAX_PATH + 1];
    wchar_t oldPath[MAX_PATH + 1];
};
LogFileState gState;
CCriticalSection gLogGuard;
unique_handle gLogLock;

// Opens the object at `path` itself, never what a reparse point leads to.
unique_hfile OpenNotFollowed(const wchar_t* path, DWORD access, DWORD disposition, DWORD flags) noexcept {
    unique_hfile file(::CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    disposition, flags | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    return file;
}

// Warnings kept while the event log may not be called (see OpenLogFile).
// Touched only between OpenLogFile and ReportDeferredLogEvents, after every
// global of the module has been built.
std::vector<std::string> gDeferredEvents;

// A warning for the administrator: logged at once, and reported to the event
// log at once or, while events are deferred, by ReportDeferredLogEvents.
void ReportWarning(const std::string& text) noexcept {
    LogMessage(text);
    try {
        if (gState.deferEvents) {
            gDeferredEvents.push_back(text);
        } else {
            ReportEventOnly(EVENTLOG_WARNING_TYPE, text);
        }
    } catch (...) {
        // Out of memory: the line is in the log all the same.
    }
}

// Why the log is not written to, for the administrator: once per load.
void ReportRefusal(const char* what, const wchar_t* path, const char* why) noexcept {
    if (gState.refusalReported) return;
    gState.refusalReported = true;
    try {
        ReportWarning(std::string("ERROR: ") + what + " '" + ToUtf8(path) + "' refused: " + why + kDebuggerOnly);
    } catch (...) {
        // Out of memory: the log stays on the debugger output all the same.
    }
}

// Opens `gState.path` for appending. Append-only and fully shared: every
// Winlogon appends to the same file, an administrator may read it at any
// time, and the file may be renamed by whichever process rotates it.
unique_hfile OpenLogFileAt(DWORD disposition) noexcept {
    // A file created here gets the private DACL of its own, whatever the
    // folder passes on (Wine passes nothing on).
    const unique_hlocal descriptor = log_detail::DescriptorFromText(kLogFileSecurity);
    if (!descriptor) {
        ReportRefusal("Log file", gState.path, "its access list cannot be built");
        return unique_hfile();
    }
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor.get(), FALSE};
    unique_hfile file(::CreateFileW(gState.path, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &attributes, disposition,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH | FILE_FLAG_OPEN_REPARSE_POINT,
                                    nullptr));
    if (!file) {
        const DWORD error = ::GetLastError();
        const DWORD attributes = ::GetFileAttributesW(gState.path);
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            ReportRefusal("Log file", gState.path, "it is a folder");
        } else {
            LogSystemCallFailure("CreateFileW", error);
            ReportRefusal("Log file", gState.path, "it cannot be opened");
        }
        return unique_hfile();
    }
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!::GetFileInformationByHandle(file.get(), &info)) {
        LogSystemCallFailure("GetFileInformationByHandle", ::GetLastError());
        ReportRefusal("Log file", gState.path, "it cannot be examined");
        return unique_hfile();
    }
    if (const char* why = LogPathRefusal(info)) {
        ReportRefusal("Log file", gState.path, why);
        return unique_hfile();
    }
    return file;
}

// Opens the machine-wide lock, creating it when no process has yet. On XP and
// 2003 any user may create a name in the Global namespace first (before the
// module is installed, say) and hold it for ever: a lock found with an owner
// other than SYSTEM, the Administrators or this process's own account is not
// used, and `why` says so.
unique_handle OpenLogLock(const char*& why) noexcept {
    const unique_hlocal descriptor = log_detail::DescriptorFromText(kLogLockSecurity);
    if (!descriptor) {
        why = "its access list cannot be built";
        return unique_handle();
    }
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor.get(), FALSE};
    unique_handle lock(::CreateMutexW(&attributes, FALSE, kLogLockName));
    const DWORD created = ::GetLastError();
    if (!lock) {
        LogSystemCallFailure("CreateMutexW", created);
        why = "it cannot be opened";
        return unique_handle();
    }
    if (created != ERROR_ALREADY_EXISTS) return lock;
    DWORD size = 0;
    ::GetKernelObjectSecurity(lock.get(), OWNER_SECURITY_INFORMATION, nullptr, 0, &size);
    std::unique_ptr<BYTE[]> current(size ? new (std::nothrow) BYTE[size] : nullptr);
    if (!current || !::GetKernelObjectSecurity(lock.get(), OWNER_SECURITY_INFORMATION, current.get(), size, &size)) {
        LogSystemCallFailure("GetKernelObjectSecurity", ::GetLastError());
        why = "its owner cannot be read";
        return unique_handle();
    }
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    if (!::GetSecurityDescriptorOwner(current.get(), &owner, &defaulted) || owner == nullptr ||
        !log_detail::IsMachineAccount(owner)) {
        why = "another account created it";
        return unique_handle();
    }
    return lock;
}

// Holds the machine-wide lock for one line, when there is one to hold.
class LogLockScope {
public:
    LogLockScope() noexcept {
        if (!gLogLock) return;
        const DWORD wait = ::WaitForSingleObject(gLogLock.get(), gState.lockStalled ? 0 : kLogLockWaitMs);
        // An abandoned lock (its holder ended mid-line) is this process's now;
        // every step under it is whole on disk, so nothing needs repair.
        held_ = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
        gState.lockStalled = !held_;
    }
    ~LogLockScope() {
        if (held_) ::ReleaseMutex(gLogLock.get());
    }
    LogLockScope(const LogLockScope&) = delete;
    LogLockScope& operator=(const LogLockScope&) = delete;

    bool held() const noexcept { return held_; }

private:
    bool held_ = false;
};

bool SameFile(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) noexcept {
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
           a.nFileIndexLow == b.nFileIndexLow;
}

// Points gLogFile at the file named vyn.log now, when another process has
// rotated since this one's last line (or someone removed the file). A
// vyn.log that is refused leaves the line to the debugger output, and the
// next line tries again.
void FollowCurrentLogFile() noexcept {
    const unique_hfile named = OpenNotFollowed(gState.path, FILE_READ_ATTRIBUTES, OPEN_EXISTING, 0);
    BY_HANDLE_FILE_INFORMATION held = {}, current = {};
    if (gLogFile && named && ::GetFileInformationByHandle(gLogFile.get(), &held) &&
        ::GetFileInformationByHandle(named.get(), &current) && SameFile(held, current))
        return;
    gLogFile.reset();
    gLogFile = OpenLogFileAt(OPEN_ALWAYS);
}

// Moves vyn.log to vyn.log.old. The earlier vyn.log.old is renamed to a name
// of its own and deleted rather than replaced: another Winlogon may still hold
// it open (its handle from before the last rotation, kept until its next
// line), and a file held open cannot be replaced, while it can be renamed and
// deleted when every holder shares delete access as the module does. It
// vanishes when its last holder closes it. Returns the failed call, or null.
const char* RotateLogFiles(DWORD& error) noexcept {
    wchar_t aside[MAX_PATH + 1] = {};
    if (FAILED(::StringCchPrintfW(aside, MAX_PATH + 1, L"%s.%lu.%lu", gState.oldPath, ::GetCurrentProcessId(),
                                  ::GetTickCount()))) {
        error = ERROR_FILENAME_EXCED_RANGE;
        return "StringCchPrintfW";
    }
    const bool hadOld = ::MoveFileExW(gState.oldPath, aside, 0) != FALSE;
    if (!hadOld && (error = ::GetLastError()) != ERROR_FILE_NOT_FOUND) return "MoveFileExW";
    if (!::MoveFileExW(gState.path, gState.oldPath, 0)) {
        error = ::GetLastError();
        // The earlier old log goes back: a failed rotation loses nothing.
        if (hadOld && !::MoveFileExW(aside, gState.oldPath, 0)) LogSystemCallFailure("MoveFileExW", ::GetLastError());
        return "MoveFileExW";
    }
    if (hadOld && !::DeleteFileW(aside)) LogSystemCallFailure("DeleteFileW", ::GetLastError());
    return nullptr;
}

// Rotates when `lineBytes` more would take vyn.log past the bound, so that
// vyn.log and vyn.log.old never hold more than twice the bound together (a
// single line longer than the bound excepted). Runs with gLogFile on the file
// named vyn.log. A rotation that fails is tried again with the next line;
// the first failure of a run is logged, the lines carry on in vyn.log.
void RotateIfFull(size_t lineBytes) noexcept {
    LARGE_INTEGER size = {};
    if (!::GetFileSizeEx(gLogFile.get(), &size)) {
        LogSystemCallFailure("GetFileSizeEx", ::GetLastError());
        return;
    }
    const ULONGLONG bytes = static_cast<ULONGLONG>(size.QuadPart);
    if (bytes == 0 || bytes + lineBytes <= log_detail::RotationBytes()) return;
    DWORD error = 0;
    if (const char* failed = RotateLogFiles(error)) {
        if (!gState.rotationFailureLogged) {
            gState.rotationFailureLogged = true;
            LogSystemCallFailure(failed, error);
            LogMessage("WARNING: vyn.log not rotated; trying again with the next line");
        }
        return;
    }
    gState.rotationFailureLogged = false;
    gLogFile.reset();
    gLogFile = OpenLogFileAt(OPEN_ALWAYS);
}

void WriteLine(const std::string& line) noexcept {
    if (!gLogFile) return;
    // One write on an append-only handle: the system places the whole line at
    // the end of the file, whoever else appends at the same moment.
    DWORD written = 0;
    ::WriteFile(gLogFile.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

// True when the file or folder at `path` exists with an owner other than this
// machine's accounts: someone else made it, or moving it aside failed at an
// earlier take-back (its owner is taken back only once it is aside).
bool OwnedByOthers(const wchar_t* path) noexcept {
    const unique_hfile found =
        OpenNotFollowed(path, READ_CONTROL | FILE_READ_ATTRIBUTES, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
    if (!found) {
        const DWORD error = ::GetLastError();
        return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
    }
    DWORD size = 0;
    ::GetKernelObjectSecurity(found.get(), OWNER_SECURITY_INFORMATION, nullptr, 0, &size);
    std::unique_ptr<BYTE[]> descriptor(size ? new (std::nothrow) BYTE[size] : nullptr);
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    if (!descriptor ||
        !::GetKernelObjectSecurity(found.get(), OWNER_SECURITY_INFORMATION, descriptor.get(), size, &size) ||
        !::GetSecurityDescriptorOwner(descriptor.get(), &owner, &defaulted) || owner == nullptr)
        return true;
    return !log_detail::IsMachineAccount(owner);
}

// A log found in a folder that was someone else's may have been created by
// them, and a handle they keep open would read every line appended to it. It
// is never written again: renamed to "<name>.taken-back-<YYYYMMDD-hhmmss>"
// (local time), then given the Administrators as owner and the private
// entries so nobody opens it anew. A file with a second link or a reparse
// point keeps its security (the other name may be any file of the machine).
bool MoveAsideTakenBack(const wchar_t* path) noexcept {
    if (::GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return true;
        LogSystemCallFailure("GetFileAttributesW", error);
        return false;
    }
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    wchar_t aside[MAX_PATH + 1] = {};
    for (unsigned attempt = 1;; ++attempt) {
        // A second take-back within the same second gets "-2" and so on.
        wchar_t suffix[8] = {};
        if (attempt > 1) ::StringCchPrintfW(suffix, 8, L"-%u", attempt);
        if (attempt > 9 ||
            FAILED(::StringCchPrintfW(aside, MAX_PATH + 1, L"%s.taken-back-%04u%02u%02u-%02u%02u%02u%s", path,
                                      now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, suffix)))
            return false;
        if (::MoveFileExW(path, aside, 0)) break;
        const DWORD error = ::GetLastError();
        if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) {
            LogSystemCallFailure("MoveFileExW", error);
            return false;
        }
    }
    const unique_hfile moved = OpenNotFollowed(aside, READ_CONTROL | WRITE_DAC | WRITE_OWNER | FILE_READ_ATTRIBUTES,
                                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!moved) {
        LogSystemCallFailure("CreateFileW", ::GetLastError());
    } else if (::GetFileInformationByHandle(moved.get(), &info) && !LogPathRefusal(info) &&
               !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        log_detail::SetOwnerAndDacl(moved.get(), log_detail::kTakenBackFileSecurity);
    }
    return true;
}

// Opens the log file in the folder held at `folder`, under the lock.
unique_hfile OpenInFolder(HANDLE folder, const wchar_t* directory, DWORD folderAttributes) noexcept {
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!::GetFileInformationByHandle(folder, &info)) {
        LogSystemCallFailure("GetFileInformationByHandle", ::GetLastError());
        ReportRefusal("Log folder", directory, "it cannot be examined");
        return unique_hfile();
    }
    // What the name itself showed counts as well: Windows reports a reparse
    // point either way, Wine (a Unix link to a folder) only there.
    if (folderAttributes != INVALID_FILE_ATTRIBUTES)
        info.dwFileAttributes |= folderAttributes & FILE_ATTRIBUTE_REPARSE_POINT;
    if (const char* why = LogPathRefusal(info)) {
        ReportRefusal("Log folder", directory, why);
        return unique_hfile();
    }
    bool takenBack = false;
    if (!log_detail::MakeFolderPrivate(folder, takenBack)) {
        ReportRefusal("Log folder", directory, "its owner and DACL cannot be taken back");
        return unique_hfile();
    }
    if (!takenBack && !OwnedByOthers(gState.path) && !OwnedByOthers(gState.oldPath))
        return OpenLogFileAt(OPEN_ALWAYS);
    for (const wchar_t* path : {gState.path, gState.oldPath}) {
        if (!MoveAsideTakenBack(path)) {
            ReportRefusal("Log file", path, "it cannot be moved aside");
            return unique_hfile();
        }
    }
    // Created here, so it is this module's, with the private entries, and
    // nobody else holds it open.
    return OpenLogFileAt(CREATE_NEW);
}

}  // namespace

void AppendToLogFile(const std::string& line) noexcept {
    if (!gState.active) return;
    const CCriticalSectionLock guard(gLogGuard);
    if (!gState.active) return;
    if (gState.busy) {
        WriteLine(line);
        return;
    }
    gState.busy = true;
    {
        const LogLockScope lock;
        // Without the lock this process still follows and rotates (a rare race
        // with another process may then drop an old log, never the bound);
        // only while a stuck holder keeps it does it append where it is.
        if (lock.held() || gState.unlocked) {
            FollowCurrentLogFile();
            if (gLogFile) RotateIfFull(line.size());
        }
        WriteLine(line);
    }
    gState.busy = false;
}

bool OpenLogFile(bool deferEvents) noexcept {
    CloseLogFile();
    gState = LogFileState();
    gState.deferEvents = deferEvents;
    gDeferredEvents.clear();
    wchar_t directory[kLogDirectoryChars] = {};
    if (FAILED(GetLogDirectory(directory))) return false;
    const DWORD attributes = ::GetFileAttributesW(directory);
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
        log_detail::CreatePrivateLogDirectory(directory);
    if (FAILED(::StringCchPrintfW(gState.path, MAX_PATH + 1, L"%s\\%s", directory, L"vyn.log")) ||
        FAILED(::StringCchPrintfW(gState.oldPath, MAX_PATH + 1, L"%s\\%s", directory, L"vyn.log.old")))
        return false;

    const char* lockProblem = nullptr;
    gLogLock = OpenLogLock(lockProblem);
    if (!gLogLock) {
        gState.unlocked = true;
        try {
            ReportWarning(std::string("WARNING: Log lock '") + ToUtf8(kLogLockName) + "' not used: " + lockProblem +
                          "; vyn.log is rotated without it");
        } catch (...) {
            // Out of memory: the log goes on without the lock all the same.
        }
    }

    const log_detail::PrivilegedScope privileges;
    // The folder's checks, a take-back and the first open are one step among
    // all processes, like a rotation.
    const LogLockScope lock;
    // Held open, without delete sharing, until the log file is open: the
    // folder cannot be renamed or replaced between its checks and the file's.
    const unique_hfile folder(::CreateFileW(directory, READ_CONTROL | WRITE_DAC | WRITE_OWNER | FILE_READ_ATTRIBUTES,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                            FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!folder) {
        LogSystemCallFailure("CreateFileW", ::GetLastError());
        ReportRefusal("Log folder", directory, "it cannot be opened");
        return false;
    }
    gLogFile = OpenInFolder(folder.get(), directory, attributes);
    if (!gLogFile) return false;
    gState.active = true;
    return true;
}

void ReportDeferredLogEvents() noexcept {
    std::vector<std::string> events;
    {
        const CCriticalSectionLock guard(gLogGuard);
        gState.deferEvents = false;
        events.swap(gDeferredEvents);
    }
    for (const std::string& text : events) ReportEventOnly(EVENTLOG_WARNING_TYPE, text);
}

void CloseLogFile() noexcept {
    if (gState.active) {
        const CCriticalSectionLock guard(gLogGuard);
        gState.active = false;
    }
    gLogFile.reset();
    gLogLock.reset();
}

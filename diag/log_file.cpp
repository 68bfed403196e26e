// The log file that every process loading the module shares: one Winlogon per
// terminal session, vyn-check and the logon host. The folder is checked (and
// taken back from someone else) at load; each line opens vyn.log, appends and
// closes it under a machine-wide lock that also elects the one process that
// rotates the file. No handle is kept between lines: on NTFS a file that an
// idle process holds cannot be replaced, and a deleted one keeps its name
// (delete-pending) until the last holder closes it.
#include "diag/log_file.h"

#include <strsafe.h>

#include <algorithm>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "common/critical_section.h"
#include "common/handles.h"
#include "common/strings.h"
#include "diag/log_report.h"
#include "diag/log_security.h"

namespace log_detail {

ULONGLONG& RotationBytes() noexcept {
    static ULONGLONG bytes = kLogRotationBytes;
    return bytes;
}

const LogFileSystem& PlatformLogFileSystem() noexcept {
    static const LogFileSystem files = {::CreateFileW, ::MoveFileExW, ::DeleteFileW};
    return files;
}

LogFileSystem& CurrentLogFileSystem() noexcept {
    static LogFileSystem files = PlatformLogFileSystem();
    return files;
}

}  // namespace log_detail

namespace {

constexpr size_t kLogDirectoryChars = 520;

// A vyn.log the module creates is owned by the Administrators, whoever runs
// the process (SYSTEM in Winlogon, an administrator running the logon host or
// vyn-check): the next load trusts it as its own instead of moving it aside.
// Full control for SYSTEM and the Administrators only, whatever the folder
// passes on (Wine passes nothing on).
constexpr wchar_t kLogFileSecurity[] = L"O:BAD:P(A;;FA;;;SY)(A;;FA;;;BA)";

constexpr char kDebuggerOnly[] = "; logging to the debugger output only";

// Serialises every process's size check, rotation and write, so that exactly
// one process rotates and every other one writes to the new file. The Global
// namespace makes it one lock for all terminal sessions.
constexpr wchar_t kLogLockName[] = L"Global\\Vyn Security log";

// Only SYSTEM and the Administrators may open the lock: a user who could would
// hold it and stall every Winlogon's log. Owned by the Administrators whoever
// creates it: on XP an administrator's objects are owned by that
// administrator, and a Winlogon loading while vyn-check or the logon host holds
// the lock would take it for another account's and rotate without it.
constexpr wchar_t kLogLockSecurity[] = L"O:BAD:P(A;;GA;;;SY)(A;;GA;;;BA)";

// How long a line waits for another process's line or rotation. A holder
// that keeps the lock longer is stuck; lines then go on without it.
constexpr DWORD kLogLockWaitMs = 1000;

// Files moved aside when the folder was taken back that are kept (the newest).
constexpr size_t kTakenBackKept = 2;

// What the writer keeps between lines. Zero before OpenLogFileWriter and
// touched only while `active` (set once the writer opened, after every global
// of the module was built; cleared by CloseLogFileWriter), so a line logged
// from another global's constructor or destructor reaches the debugger output
// alone. Threads of this process take gLogGuard; processes take gLogLock.
struct LogFileState {
    bool active;
    // The lock could not be had as this machine's own (OpenLogLock): files
    // are rotated without it.
    bool unlocked;
    // A wait for the lock ran out: later lines try it without waiting until
    // one gets it, so a stuck holder costs this process one wait per stall.
    bool lockStalled;
    // Inside a line's rotation: a line it reports is appended with no
    // rotation of its own.
    bool busy;
    // One report per run of failed rotations, and one warning per load for a
    // refused log file.
    bool rotationFailureLogged;
    bool refusalReported;
    wchar_t directory[kLogDirectoryChars];
    wchar_t path[MAX_PATH + 1];
    wchar_t oldPath[MAX_PATH + 1];
};
LogFileState gState;
CCriticalSection gLogGuard;
unique_handle gLogLock;

const log_detail::LogFileSystem& Files() noexcept { return log_detail::CurrentLogFileSystem(); }

// Opens the object at `path` itself, never what a reparse point leads to.
unique_hfile OpenNotFollowed(const wchar_t* path, DWORD access, DWORD disposition, DWORD flags) noexcept {
    unique_hfile file(Files().createFile(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                         nullptr, disposition, flags | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    return file;
}

// Why the log is not written to, for the administrator: once per load.
void ReportRefusal(const char* what, const wchar_t* path, const char* why) noexcept {
    if (gState.refusalReported) return;
    gState.refusalReported = true;
    try {
        ReportLogWarning(std::string("ERROR: ") + what + " '" + ToUtf8(path) + "' refused: " + why + kDebuggerOnly);
    } catch (...) {
        // Out of memory: the log stays on the debugger output all the same.
    }
}

// Opens `gState.path` for appending, for one line. `quiet` for the lines the
// writer reports about itself: a failure to open for those is not reported
// again, or each report would beget the next. Append-only: the system
// places each write whole at the end, whoever else appends, so no write-through
// is needed for a line to stay whole. Fully shared: an administrator may read,
// rename or delete the file at any time.
unique_hfile OpenLogFileAt(DWORD disposition, bool quiet) noexcept {
    const unique_hlocal descriptor = log_detail::DescriptorFromText(kLogFileSecurity);
    if (!descriptor) {
        if (quiet) return unique_hfile();
        ReportRefusal("Log file", gState.path, "its access list cannot be built");
        return unique_hfile();
    }
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor.get(), FALSE};
    unique_hfile file(Files().createFile(gState.path, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &attributes,
                                         disposition, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file) {
        const DWORD error = ::GetLastError();
        if (quiet) return unique_hfile();
        const DWORD found = ::GetFileAttributesW(gState.path);
        if (found != INVALID_FILE_ATTRIBUTES && (found & FILE_ATTRIBUTE_DIRECTORY)) {
            ReportRefusal("Log file", gState.path, "it is a folder");
        } else if (!gState.refusalReported) {
            ReportLogCallFailure("CreateFileW", error);
            ReportRefusal("Log file", gState.path, "it cannot be opened");
        }
        return unique_hfile();
    }
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!::GetFileInformationByHandle(file.get(), &info)) {
        if (quiet) return unique_hfile();
        ReportLogCallFailure("GetFileInformationByHandle", ::GetLastError());
        ReportRefusal("Log file", gState.path, "it cannot be examined");
        return unique_hfile();
    }
    if (const char* why = LogPathRefusal(info)) {
        if (!quiet) ReportRefusal("Log file", gState.path, why);
        return unique_hfile();
    }
    return file;
}

// Reads the owner of the object open at `handle` into `owner` (null when
// none is recorded); `descriptor` keeps it. False (reported) when unreadable.
bool ReadOwner(HANDLE handle, std::unique_ptr<BYTE[]>& descriptor, PSID& owner) noexcept {
    owner = nullptr;
    DWORD size = 0;
    ::GetKernelObjectSecurity(handle, OWNER_SECURITY_INFORMATION, nullptr, 0, &size);
    descriptor.reset(size ? new (std::nothrow) BYTE[size] : nullptr);
    if (!descriptor || !::GetKernelObjectSecurity(handle, OWNER_SECURITY_INFORMATION, descriptor.get(), size, &size)) {
        ReportLogCallFailure("GetKernelObjectSecurity", ::GetLastError());
        return false;
    }
    BOOL defaulted = FALSE;
    if (!::GetSecurityDescriptorOwner(descriptor.get(), &owner, &defaulted)) owner = nullptr;
    return true;
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
        ReportLogCallFailure("CreateMutexW", created);
        why = "it cannot be opened";
        return unique_handle();
    }
    if (created != ERROR_ALREADY_EXISTS) return lock;
    std::unique_ptr<BYTE[]> current;
    PSID owner = nullptr;
    if (!ReadOwner(lock.get(), current, owner)) {
        why = "its owner cannot be read";
        return unique_handle();
    }
    if (owner == nullptr || !log_detail::IsMachineAccount(owner)) {
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
        // Once a wait has run out, lines only try the lock until one gets it:
        // a stuck holder costs one wait per stall, not one per line.
        const DWORD wait = ::WaitForSingleObject(gLogLock.get(), gState.lockStalled ? 0 : kLogLockWaitMs);
        // An abandoned lock (its holder ended mid-line) is this process's now;
        // a rotation it left half done is cleared at the next load.
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

// "<directory>\<name>" into `path` (MAX_PATH + 1 characters).
bool InFolder(const wchar_t* name, wchar_t* path) noexcept {
    return SUCCEEDED(::StringCchPrintfW(path, MAX_PATH + 1, L"%s\\%s", gState.directory, name));
}

// The name the earlier vyn.log.old takes while a rotation drops it:
// "vyn.log.old.<process id>.<tick count>".
bool IsRotationLeftover(const wchar_t* name) noexcept {
    static const wchar_t kStem[] = L"vyn.log.old.";
    const size_t stem = sizeof kStem / sizeof kStem[0] - 1;
    if (::wcsncmp(name, kStem, stem) != 0) return false;
    size_t digits = 0, dots = 0;
    for (const wchar_t* c = name + stem; *c; ++c) {
        if (*c == L'.') {
            if (digits == 0) return false;
            ++dots;
            digits = 0;
        } else if (*c >= L'0' && *c <= L'9') {
            ++digits;
        } else {
            return false;
        }
    }
    return dots == 1 && digits > 0;
}

// Moves vyn.log to vyn.log.old. The earlier vyn.log.old is renamed to a name
// of its own and deleted rather than replaced: a file someone holds open (an
// administrator's viewer) cannot be replaced, while it can be renamed and
// deleted when every holder shares delete access. Returns the failed call,
// or null.
const char* RotateLogFiles(DWORD& error) noexcept {
    wchar_t aside[MAX_PATH + 1] = {};
    if (FAILED(::StringCchPrintfW(aside, MAX_PATH + 1, L"%s.%lu.%lu", gState.oldPath, ::GetCurrentProcessId(),
                                  ::GetTickCount()))) {
        error = ERROR_FILENAME_EXCED_RANGE;
        return "StringCchPrintfW";
    }
    const bool hadOld = Files().moveFile(gState.oldPath, aside, 0) != FALSE;
    if (!hadOld && (error = ::GetLastError()) != ERROR_FILE_NOT_FOUND) return "MoveFileExW";
    if (!Files().moveFile(gState.path, gState.oldPath, 0)) {
        error = ::GetLastError();
        // The earlier old log goes back: a failed rotation loses nothing.
        if (hadOld && !Files().moveFile(aside, gState.oldPath, 0)) ReportLogCallFailure("MoveFileExW", ::GetLastError());
        return "MoveFileExW";
    }
    if (hadOld && !Files().deleteFile(aside)) ReportLogCallFailure("DeleteFileW", ::GetLastError());
    return nullptr;
}

// True when `lineBytes` more would take the file open at `file` past the
// bound, so that vyn.log and vyn.log.old never hold more than twice the bound
// together (a single line longer than the bound excepted).
bool IsFull(HANDLE file, size_t lineBytes) noexcept {
    LARGE_INTEGER size = {};
    if (!::GetFileSizeEx(file, &size)) {
        ReportLogCallFailure("GetFileSizeEx", ::GetLastError());
        return false;
    }
    const ULONGLONG bytes = static_cast<ULONGLONG>(size.QuadPart);
    return bytes != 0 && bytes + lineBytes > log_detail::RotationBytes();
}

// A rotation that fails is tried again with the next line; the first failure
// of a run is reported, the lines carry on in vyn.log.
void Rotate() noexcept {
    DWORD error = 0;
    if (const char* failed = RotateLogFiles(error)) {
        if (!gState.rotationFailureLogged) {
            gState.rotationFailureLogged = true;
            ReportLogCallFailure(failed, error);
            ReportLogLine("WARNING: vyn.log not rotated; trying again with the next line");
        }
        return;
    }
    gState.rotationFailureLogged = false;
}

// One line: open, rotate first when allowed and due, append with one write,
// close. The system places a write on an append-only handle whole at the end
// of the file, whoever else appends at the same moment.
void AppendLine(const std::string& line, bool mayRotate, bool quiet) noexcept {
    unique_hfile file = OpenLogFileAt(OPEN_ALWAYS, quiet);
    if (!file) return;
    if (mayRotate && IsFull(file.get(), line.size())) {
        file.reset();
        Rotate();
        file = OpenLogFileAt(OPEN_ALWAYS, quiet);
        if (!file) return;
    }
    DWORD written = 0;
    ::WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

// True when the name at `path` is delete-pending: NTFS keeps a deleted file
// that someone (an administrator's viewer) still holds, and refuses every open
// of the name with ERROR_ACCESS_DENIED until the last holder closes it. With
// the backup privilege and backup semantics nothing else refuses an open that
// asks for no data.
bool IsDeletePending(const wchar_t* path) noexcept {
    const unique_hfile found = OpenNotFollowed(path, FILE_READ_ATTRIBUTES, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
    return !found && ::GetLastError() == ERROR_ACCESS_DENIED;
}

// True when the file or folder at `path` exists with an owner other than this
// machine's accounts: someone else made it, or moving it aside failed at an
// earlier take-back (its owner is taken back only once it is aside). A
// delete-pending name is nobody's: it goes away at its holder's last close,
// and moving it aside would fail (and leave the process without a log).
bool OwnedByOthers(const wchar_t* path) noexcept {
    const unique_hfile found =
        OpenNotFollowed(path, READ_CONTROL | FILE_READ_ATTRIBUTES, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
    if (!found) {
        const DWORD error = ::GetLastError();
        return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND && error != ERROR_ACCESS_DENIED;
    }
    std::unique_ptr<BYTE[]> descriptor;
    PSID owner = nullptr;
    return !ReadOwner(found.get(), descriptor, owner) || owner == nullptr || !log_detail::IsMachineAccount(owner);
}

// The "<name>.taken-back-<time>" files of the folder, oldest first: the time
// (YYYYMMDD-hhmmss, then "-2" and so on within one second) sorts as text.
std::vector<std::wstring> TakenBackFiles() {
    std::vector<std::pair<std::wstring, std::wstring>> found;  // (time, name)
    wchar_t pattern[MAX_PATH + 1] = {};
    if (!InFolder(L"vyn.log*.taken-back-*", pattern)) return {};
    WIN32_FIND_DATAW entry;
    const unique_hfind search(::FindFirstFileW(pattern, &entry));
    if (!search) return {};
    do {
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        const std::wstring name = entry.cFileName;
        const size_t time = name.find(L".taken-back-");
        found.emplace_back(name.substr(time + 12), name);
    } while (::FindNextFileW(search.get(), &entry));
    std::sort(found.begin(), found.end());
    std::vector<std::wstring> names;
    for (const auto& f : found) names.push_back(f.second);
    return names;
}

// Keeps the newest kTakenBackKept moved-aside logs: each take-back adds up to
// two files of up to the bound each, and a user who can make the folder
// someone else's at every boot must not fill the disk that way.
void DropOldTakenBackFiles() noexcept {
    try {
        const std::vector<std::wstring> names = TakenBackFiles();
        for (size_t i = 0; i + kTakenBackKept < names.size(); ++i) {
            wchar_t path[MAX_PATH + 1] = {};
            if (InFolder(names[i].c_str(), path) && !Files().deleteFile(path))
                ReportLogCallFailure("DeleteFileW", ::GetLastError());
        }
    } catch (...) {
        // Out of memory: the files are dropped at a later load.
    }
}

// Deletes what a rotation left when its process ended between dropping the
// earlier old log and deleting it. Called at load under the lock, so no
// rotation is under way.
void DropRotationLeftovers() noexcept {
    wchar_t pattern[MAX_PATH + 1] = {};
    if (!InFolder(L"vyn.log.old.*", pattern)) return;
    WIN32_FIND_DATAW entry;
    const unique_hfind search(::FindFirstFileW(pattern, &entry));
    if (!search) return;
    do {
        wchar_t path[MAX_PATH + 1] = {};
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || !IsRotationLeftover(entry.cFileName) ||
            !InFolder(entry.cFileName, path))
            continue;
        if (!Files().deleteFile(path)) ReportLogCallFailure("DeleteFileW", ::GetLastError());
    } while (::FindNextFileW(search.get(), &entry));
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
        ReportLogCallFailure("GetFileAttributesW", error);
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
        if (Files().moveFile(path, aside, 0)) break;
        const DWORD error = ::GetLastError();
        if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) {
            ReportLogCallFailure("MoveFileExW", error);
            return false;
        }
    }
    const unique_hfile moved = OpenNotFollowed(aside, READ_CONTROL | WRITE_DAC | WRITE_OWNER | FILE_READ_ATTRIBUTES,
                                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!moved) {
        ReportLogCallFailure("CreateFileW", ::GetLastError());
    } else if (::GetFileInformationByHandle(moved.get(), &info) && !LogPathRefusal(info) &&
               !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        log_detail::SetOwnerAndDacl(moved.get(), log_detail::kTakenBackFileSecurity);
    }
    return true;
}

// Checks the folder held at `folder` and what is in it, under the lock, and
// opens vyn.log once to check it. `locked`: this process holds the lock, so
// no other process is midway through a rotation.
bool CheckFolderAndLog(HANDLE folder, DWORD folderAttributes, bool locked) noexcept {
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!::GetFileInformationByHandle(folder, &info)) {
        ReportLogCallFailure("GetFileInformationByHandle", ::GetLastError());
        ReportRefusal("Log folder", gState.directory, "it cannot be examined");
        return false;
    }
    // What the name itself showed counts as well: Windows reports a reparse
    // point either way, Wine (a Unix link to a folder) only there.
    if (folderAttributes != INVALID_FILE_ATTRIBUTES)
        info.dwFileAttributes |= folderAttributes & FILE_ATTRIBUTE_REPARSE_POINT;
    if (const char* why = LogPathRefusal(info)) {
        ReportRefusal("Log folder", gState.directory, why);
        return false;
    }
    bool takenBack = false;
    if (!log_detail::MakeFolderPrivate(folder, takenBack)) {
        ReportRefusal("Log folder", gState.directory, "its owner and DACL cannot be taken back");
        return false;
    }
    // A leftover is another process's rotation under way unless the lock
    // says no rotation is: without it (a stuck holder, a lock not ours) the
    // leftovers wait for a later load.
    if (locked) DropRotationLeftovers();
    if (!takenBack && !OwnedByOthers(gState.path) && !OwnedByOthers(gState.oldPath)) {
        // A delete-pending vyn.log is reported once, and the writer stays
        // open: each line tries the name again, and the first one after the
        // holder lets go creates the file.
        return static_cast<bool>(OpenLogFileAt(OPEN_ALWAYS, false)) || IsDeletePending(gState.path);
    }
    for (const wchar_t* path : {gState.path, gState.oldPath}) {
        if (!MoveAsideTakenBack(path)) {
            ReportRefusal("Log file", path, "it cannot be moved aside");
            return false;
        }
    }
    DropOldTakenBackFiles();
    // Created here, so it is this module's, with the private entries, and
    // nobody else holds it open.
    return static_cast<bool>(OpenLogFileAt(CREATE_NEW, false));
}

}  // namespace

void AppendToLogFile(const std::string& line) noexcept {
    if (!gState.active) return;
    const CCriticalSectionLock guard(gLogGuard);
    if (!gState.active) return;
    if (gState.busy) {
        // A line the step below reports about itself: its locks are held.
        AppendLine(line, false, true);
        return;
    }
    gState.busy = true;
    {
        const LogLockScope lock;
        // Without the lock this process still rotates (a rare race with
        // another process may then drop an old log, never the bound); only
        // while a stuck holder keeps it does it append without rotating.
        AppendLine(line, lock.held() || gState.unlocked, false);
    }
    gState.busy = false;
}

bool OpenLogFileWriter() noexcept {
    CloseLogFileWriter();
    gState = LogFileState();
    if (FAILED(GetLogDirectory(gState.directory))) return false;
    const DWORD attributes = ::GetFileAttributesW(gState.directory);
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
        log_detail::CreatePrivateLogDirectory(gState.directory);
    if (!InFolder(L"vyn.log", gState.path) || !InFolder(L"vyn.log.old", gState.oldPath)) return false;

    const char* lockProblem = nullptr;
    gLogLock = OpenLogLock(lockProblem);
    if (!gLogLock) {
        gState.unlocked = true;
        try {
            ReportLogWarning(std::string("WARNING: Log lock '") + ToUtf8(kLogLockName) + "' not used: " +
                             lockProblem + "; vyn.log is rotated without it");
        } catch (...) {
            // Out of memory: the log goes on without the lock all the same.
        }
    }

    const log_detail::PrivilegedScope privileges;
    // The folder's checks, a take-back, clearing leftovers and the first open
    // are one step among all processes, like a rotation.
    const LogLockScope lock;
    // Held open, without delete sharing, until the checks are done: the
    // folder cannot be renamed or replaced between its checks and the file's.
    const unique_hfile folder(::CreateFileW(gState.directory,
                                            READ_CONTROL | WRITE_DAC | WRITE_OWNER | FILE_READ_ATTRIBUTES,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                            FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!folder) {
        ReportLogCallFailure("CreateFileW", ::GetLastError());
        ReportRefusal("Log folder", gState.directory, "it cannot be opened");
        return false;
    }
    if (!CheckFolderAndLog(folder.get(), attributes, lock.held())) return false;
    gState.active = true;
    return true;
}

void CloseLogFileWriter() noexcept {
    if (gState.active) {
        const CCriticalSectionLock guard(gLogGuard);
        gState.active = false;
    }
    gLogLock.reset();
}

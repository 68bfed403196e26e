// The log file that many processes share (one Winlogon per terminal
// session): bounded as lines are written, rotated by exactly one process under
// the machine-wide lock, followed by every other one, never a torn line.
#include <gtest/gtest.h>

#include <windows.h>
#include <sddl.h>

#include <algorithm>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "common/handles.h"
#include "common/strings.h"
#include "diag/log.h"
#include "diag/log_setup.h"
#include "tests/diag/delete_pending.h"
#include "tests/support/log_capture.h"
#include "tests/support/windows_path.h"
#include "tests/transport/event_recorder.h"

namespace {

std::wstring Directory() {
    wchar_t directory[520] = {};
    EXPECT_EQ(GetLogDirectory(directory), S_OK);
    return directory;
}
std::wstring LogPath() { return Directory() + L"\\vyn.log"; }
std::wstring OldPath() { return Directory() + L"\\vyn.log.old"; }

std::string ReadAll(const std::wstring& path) {
    const unique_hfile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_EXISTING, 0, nullptr));
    std::string bytes;
    char buffer[65536];
    DWORD read = 0;
    while (file && ::ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr) && read > 0) bytes.append(buffer, read);
    return bytes;
}

void WriteAll(const std::wstring& path, const std::string& bytes) {
    const unique_hfile file(::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    ASSERT_TRUE(file && ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
}

// The module's private folder with no log file in it: every "vyn.log*" name
// an earlier test left (rotated-aside files included) is removed.
void EmptyLogFolder() {
    ASSERT_TRUE(OpenLogFile());
    CloseLogFile();
    WIN32_FIND_DATAW found;
    const HANDLE search = ::FindFirstFileW((Directory() + L"\\vyn.log*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            // Delete-pending files left by the NTFS player are read-only.
            const std::wstring path = Directory() + L"\\" + found.cFileName;
            ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
            ::DeleteFileW(path.c_str());
        } while (::FindNextFileW(search, &found));
        ::FindClose(search);
    }
}

// The bound every test here runs with, and the module's own afterwards.
class SmallBound {
public:
    explicit SmallBound(ULONGLONG bytes) { log_detail::RotationBytes() = bytes; }
    ~SmallBound() {
        CloseLogFile();
        log_detail::RotationBytes() = kLogRotationBytes;
    }
};

std::vector<std::string> Lines(const std::string& bytes) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < bytes.size()) {
        const size_t end = bytes.find("\r\n", start);
        if (end == std::string::npos) {
            ADD_FAILURE() << "unterminated last line: " << bytes.substr(start);
            break;
        }
        lines.push_back(bytes.substr(start, end + 2 - start));
        start = end + 2;
    }
    return lines;
}

// Starts vyn-test-log-writer: it opens the log, waits for `startName`, writes
// `lines` lines under `bound`, then, with an `idleName`, stays idle until that
// event is set.
unique_handle StartWriter(ULONGLONG bound, int id, int lines, const std::wstring& startName,
                          const std::wstring& idleName = std::wstring()) {
    std::wstring line = L"\"" + WindowsPath(LOG_WRITER_PATH) + L"\" " + std::to_wstring(bound) + L" " +
                        std::to_wstring(id) + L" " + std::to_wstring(lines) + L" " + startName;
    if (!idleName.empty()) line += L" " + idleName;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!::CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
        ADD_FAILURE() << "CreateProcessW " << ::GetLastError();
        return unique_handle();
    }
    ::CloseHandle(process.hThread);
    return unique_handle(process.hProcess);
}

void ExpectExitedCleanly(const unique_handle& writer) {
    ASSERT_EQ(::WaitForSingleObject(writer.get(), 60000), WAIT_OBJECT_0);
    DWORD code = 0;
    ASSERT_TRUE(::GetExitCodeProcess(writer.get(), &code));
    EXPECT_EQ(code, 0u);
}

// Several writer processes, started together, append 64-byte texts across a
// rotation while this process holds vyn.log.old open for appending, as an
// idle Winlogon does. The bound is chosen so that exactly one rotation falls
// in the run: then every line must still be there, once, in order.
TEST(SharedLog, WritersAcrossARotationLoseNoLineAndStayWithinTheBound) {
    constexpr ULONGLONG kBound = 32 * 1024;
    constexpr int kWriters = 4, kLinesEach = 60;
    EmptyLogFolder();
    const SmallBound bound(kBound);
    std::string prefill;
    while (prefill.size() < kBound - 2048) prefill += "prefill line of an earlier load\r\n";
    WriteAll(LogPath(), prefill);
    WriteAll(OldPath(), "earlier old log\r\n");
    const unique_hfile heldOld(::CreateFileW(OldPath().c_str(), FILE_APPEND_DATA,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                             OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(heldOld);

    const std::wstring startName = L"vyn-log-share-start-" + std::to_wstring(::GetCurrentProcessId());
    const unique_handle start(::CreateEventW(nullptr, TRUE, FALSE, startName.c_str()));
    ASSERT_TRUE(start);
    std::vector<unique_handle> writers;
    for (int id = 0; id < kWriters; ++id) {
        writers.push_back(StartWriter(kBound, id, kLinesEach, startName));
        ASSERT_TRUE(writers.back());
    }
    ::Sleep(500);  // every writer has its log open and waits
    ASSERT_TRUE(::SetEvent(start.get()));
    for (const unique_handle& writer : writers) ExpectExitedCleanly(writer);

    const std::string old = ReadAll(OldPath());
    const std::string current = ReadAll(LogPath());
    // The rotation came with the first line that would have passed the bound.
    ASSERT_EQ(old.compare(0, prefill.size(), prefill), 0);
    ASSERT_FALSE(current.empty());
    EXPECT_LE(old.size(), kBound);
    EXPECT_GT(old.size() + Lines(current).front().size(), kBound);
    EXPECT_LE(current.size(), kBound);
    // Nobody wrote into the old log this process held, which is gone.
    LARGE_INTEGER heldSize = {};
    ASSERT_TRUE(::GetFileSizeEx(heldOld.get(), &heldSize));
    EXPECT_EQ(heldSize.QuadPart, static_cast<LONGLONG>(sizeof "earlier old log\r\n" - 1));

    static const std::regex layout(R"(^\d{2}/\d{2}/\d{2} \d{2}:\d{2}:\d{2} \(\d+\) writer (\d) line (\d{3}) x+\r\n$)");
    std::map<int, std::vector<int>> seen;
    for (const std::string& line : Lines(old.substr(prefill.size()) + current)) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, layout)) << line;
        EXPECT_EQ(line.size() - line.find(") ") - 2, 64u + 2) << line;
        seen[std::stoi(m[1])].push_back(std::stoi(m[2]));
    }
    ASSERT_EQ(seen.size(), static_cast<size_t>(kWriters));
    for (const auto& writer : seen) {
        std::vector<int> expected;
        for (int n = 0; n < kLinesEach; ++n) expected.push_back(n);
        EXPECT_EQ(writer.second, expected) << "writer " << writer.first;
    }
}

// Writer processes that each load the log, write one line and then stay
// idle, as the Winlogon of a disconnected session does, until this ends.
class IdleWriters {
public:
    explicit IdleWriters(ULONGLONG bound) : bound_(bound) {
        const std::wstring tag = std::to_wstring(::GetCurrentProcessId());
        startName_ = L"vyn-log-idle-start-" + tag;
        idleName_ = L"vyn-log-idle-" + tag;
        start_.reset(::CreateEventW(nullptr, TRUE, TRUE, startName_.c_str()));
        idle_.reset(::CreateEventW(nullptr, TRUE, FALSE, idleName_.c_str()));
        EXPECT_TRUE(start_ && idle_);
    }
    ~IdleWriters() {
        ::SetEvent(idle_.get());
        for (const unique_handle& writer : writers_) ExpectExitedCleanly(writer);
    }
    IdleWriters(const IdleWriters&) = delete;
    IdleWriters& operator=(const IdleWriters&) = delete;

    // Starts writer `id` and returns once its line is in vyn.log.
    void Start(int id) {
        writers_.push_back(StartWriter(bound_, id, 1, startName_, idleName_));
        const std::string mark = "writer " + std::to_string(id) + " line 000";
        for (int waited = 0; ReadAll(LogPath()).find(mark) == std::string::npos; waited += 20) {
            ASSERT_LT(waited, 30000) << mark;
            ::Sleep(20);
        }
    }

private:
    ULONGLONG bound_;
    std::wstring startName_, idleName_;
    unique_handle start_, idle_;
    std::vector<unique_handle> writers_;
};

ULONGLONG FileBytes(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
    return (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// Every byte the log folder holds, delete-pending files included.
ULONGLONG FolderBytes() {
    ULONGLONG bytes = 0;
    WIN32_FIND_DATAW found;
    const unique_hfind search(::FindFirstFileW((Directory() + L"\\*").c_str(), &found));
    if (!search) return 0;
    do {
        bytes += (static_cast<ULONGLONG>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
    } while (::FindNextFileW(search.get(), &found));
    return bytes;
}

// An administrator deletes vyn.log while another process that loaded the log
// is idle. On NTFS the name stays delete-pending while anyone holds the file,
// so a writer that kept its handle would leave every process without a log
// until that idle one wrote again. The next line makes a new vyn.log, owned
// by the Administrators whoever runs the process.
TEST(SharedLog, DeletedLogWhileAnotherProcessIsIdleIsMadeAnewByTheNextLine) {
    EmptyLogFolder();
    const delete_pending::Scope ntfs;
    IdleWriters idle(kLogRotationBytes);
    idle.Start(1);
    ASSERT_TRUE(OpenLogFile());
    LogMessage("before the delete");
    ASSERT_TRUE(delete_pending::DeleteAsNtfs(LogPath().c_str()));
    LogMessage("after the delete");
    std::vector<std::string> texts;
    for (const std::string& line : Lines(ReadAll(LogPath()))) texts.push_back(StripLogPrefix(line));
    EXPECT_EQ(texts, std::vector<std::string>{"after the delete"});
    EXPECT_EQ(delete_pending::LastCreatedSecurity(), L"O:BAD:P(A;;FA;;;SY)(A;;FA;;;BA)");
    CloseLogFile();
}

// A process loads while an administrator's deleted vyn.log or vyn.log.old is
// still held open by a viewer (delete-pending on NTFS: opening the name fails
// with ERROR_ACCESS_DENIED). The name goes away at the viewer's last close, so
// it is not a file someone else owns: the load keeps the log, and the first
// line after the viewer lets go makes a new vyn.log.
TEST(SharedLog, LoadWhileALogIsDeletePendingKeepsTheLog) {
    for (const wchar_t* name : {L"vyn.log", L"vyn.log.old"}) {
        SCOPED_TRACE(ToUtf8(name));
        EmptyLogFolder();
        const delete_pending::Scope ntfs;
        const std::wstring path = Directory() + L"\\" + name;
        WriteAll(path, "deleted\r\n");
        {
            const unique_hfile viewer(::CreateFileW(path.c_str(), GENERIC_READ,
                                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                    OPEN_EXISTING, 0, nullptr));
            ASSERT_TRUE(viewer);
            ASSERT_TRUE(delete_pending::DeleteAsNtfs(path.c_str()));
            EXPECT_TRUE(OpenLogFile());
        }
        LogMessage("after the viewer");
        std::vector<std::string> texts;
        for (const std::string& line : Lines(ReadAll(LogPath()))) texts.push_back(StripLogPrefix(line));
        EXPECT_EQ(texts, std::vector<std::string>{"after the viewer"});
        CloseLogFile();
    }
}

// vyn.log.old deleted while the process that wrote its last line is idle:
// every later rotation still happens, so three times the bound written leaves
// both files within it. A rotation a process abandoned midway (its earlier
// old log renamed, never deleted) is cleared at the next load.
TEST(SharedLog, DeletedOldLogLeavesTheRotationsBounded) {
    constexpr ULONGLONG kBound = 4096;
    EmptyLogFolder();
    const delete_pending::Scope ntfs;
    const SmallBound bound(kBound);
    const std::wstring leftover = OldPath() + L".4242.17";
    WriteAll(leftover, std::string(3000, 'l'));
    WriteAll(OldPath() + L".taken-back-20260101-000000", "kept\r\n");
    IdleWriters idle(kBound);
    idle.Start(1);
    ASSERT_TRUE(OpenLogFile());
    EXPECT_EQ(::GetFileAttributesW(leftover.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(ReadAll(OldPath() + L".taken-back-20260101-000000"), "kept\r\n");
    const std::string text(100, 'r');
    for (int n = 0; ::GetFileAttributesW(OldPath().c_str()) == INVALID_FILE_ATTRIBUTES; ++n) {
        ASSERT_LT(n, 100);
        LogMessage(text);
    }
    ASSERT_NE(ReadAll(OldPath()).find("writer 1 line 000"), std::string::npos);
    ASSERT_TRUE(delete_pending::DeleteAsNtfs(OldPath().c_str()));
    for (ULONGLONG written = 0; written < 3 * kBound; written += text.size()) LogMessage(text);
    EXPECT_LE(FileBytes(LogPath()), kBound);
    EXPECT_LE(FileBytes(OldPath()), kBound);
    EXPECT_GT(FileBytes(OldPath()), kBound / 2);
}

// A load that cannot have the lock (another process holds it, midway through
// a rotation) leaves a rotation's leftover alone: it may be that rotation's
// earlier old log, which goes back to vyn.log.old if the rotation fails. The
// next load that has the lock clears it.
TEST(SharedLog, RotationLeftoversAreClearedOnlyUnderTheLock) {
    EmptyLogFolder();
    const std::wstring leftover = OldPath() + L".4242.17";
    WriteAll(leftover, "earlier old log\r\n");
    const unique_handle taken(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const unique_handle release(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    struct Holder {
        HANDLE taken, release;
    } holder = {taken.get(), release.get()};
    const unique_handle thread(::CreateThread(
        nullptr, 0,
        [](void* context) -> DWORD {
            const auto* h = static_cast<Holder*>(context);
            const unique_handle lock(::OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, L"Global\\Vyn Security log"));
            if (!lock || ::WaitForSingleObject(lock.get(), 10000) != WAIT_OBJECT_0) return 1;
            ::SetEvent(h->taken);
            ::WaitForSingleObject(h->release, 30000);
            ::ReleaseMutex(lock.get());
            return 0;
        },
        &holder, 0, nullptr));
    ASSERT_TRUE(thread);
    {
        // Keeps the lock's name alive for the holder between the loads.
        const unique_handle name(::CreateMutexW(nullptr, FALSE, L"Global\\Vyn Security log"));
        ASSERT_EQ(::WaitForSingleObject(taken.get(), 10000), WAIT_OBJECT_0);
        ASSERT_TRUE(OpenLogFile());
        EXPECT_EQ(ReadAll(leftover), "earlier old log\r\n");
        CloseLogFile();
        ::SetEvent(release.get());
        ASSERT_EQ(::WaitForSingleObject(thread.get(), 10000), WAIT_OBJECT_0);
    }
    ASSERT_TRUE(OpenLogFile());
    EXPECT_EQ(::GetFileAttributesW(leftover.c_str()), INVALID_FILE_ATTRIBUTES);
    CloseLogFile();
}

// Three processes stay idle, each after a line written into a different
// vyn.log, while this one writes through five rotations: no idle process
// keeps a rotated file alive, so the folder never holds more than twice the
// bound and one line.
TEST(SharedLog, IdleWritersAcrossFiveRotationsKeepTheFolderWithinTheBound) {
    constexpr ULONGLONG kBound = 4096;
    EmptyLogFolder();
    const delete_pending::Scope ntfs;
    const SmallBound bound(kBound);
    ASSERT_TRUE(OpenLogFile());
    IdleWriters idle(kBound);
    const std::string text(100, 'r');
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    const ULONGLONG line = FormatLogPrefix(now, ::GetCurrentThreadId()).size() + 1 + text.size() + 2;
    ULONGLONG largest = 0;
    for (int rotation = 0; rotation < 5; ++rotation) {
        if (rotation < 3) idle.Start(rotation);
        for (ULONGLONG before = FileBytes(LogPath()), n = 0; FileBytes(LogPath()) >= before; ++n) {
            ASSERT_LT(n, 100u);
            before = FileBytes(LogPath());
            LogMessage(text);
            largest = std::max(largest, FolderBytes());
        }
    }
    EXPECT_LE(largest, 2 * kBound + line);
    EXPECT_GT(largest, kBound);
}

// A rotation that cannot be made (someone holds a file without sharing
// delete access) is reported once, loses no line and no old log, and is made
// by the first line after the holder lets go.
TEST(SharedLog, BlockedRotationIsReportedOnceAndMadeLater) {
    const struct {
        const wchar_t* held;
        const char* failure;
    } cases[] = {
        {L"vyn.log.old", "ERROR: Failure in system call 'MoveFileExW' (32)"},
        {L"vyn.log", "ERROR: Failure in system call 'MoveFileExW' (32)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(ToUtf8(c.held));
        EmptyLogFolder();
        const SmallBound bound(1024);
        const std::string prefill(1000, 'p');
        WriteAll(LogPath(), prefill);
        WriteAll(OldPath(), "earlier old log\r\n");
        ASSERT_TRUE(OpenLogFile());
        {
            const unique_hfile reader(::CreateFileW((Directory() + L"\\" + c.held).c_str(), GENERIC_READ,
                                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                                    nullptr));
            ASSERT_TRUE(reader);
            LogMessage("first");
            LogMessage("second");
            EXPECT_EQ(ReadAll(OldPath()), "earlier old log\r\n");
        }
        std::vector<std::string> texts;
        for (const std::string& line : Lines(ReadAll(LogPath()).substr(prefill.size())))
            texts.push_back(StripLogPrefix(line));
        EXPECT_EQ(texts, (std::vector<std::string>{c.failure, "WARNING: vyn.log not rotated; trying again with the next line",
                                                   "first", "second"}));
        const std::string before = ReadAll(LogPath());
        LogMessage("third");
        EXPECT_EQ(ReadAll(OldPath()), before);
        ASSERT_EQ(Lines(ReadAll(LogPath())).size(), 1u);
        EXPECT_EQ(StripLogPrefix(Lines(ReadAll(LogPath()))[0]), "third");
    }
}

// Refusals reach the administrator: one warning event per load naming the
// path and the reason, the lines going on to the debugger output. At process
// attach the event waits for ReportDeferredLogEvents (no event-log call under
// the loader lock); the line does not.
TEST(SharedLog, RefusedLogFileIsOneWarningEventPerLoad) {
    EmptyLogFolder();
    ASSERT_TRUE(::CreateDirectoryW(LogPath().c_str(), nullptr));
    const std::string expected = "ERROR: Log file '" + ToUtf8(LogPath()) +
                                 "' refused: it is a folder; logging to the debugger output only";
    for (const bool deferred : {false, true, false}) {
        SCOPED_TRACE(deferred);
        EventRecorder events;
        LogCapture capture;
        EXPECT_FALSE(OpenLogFile(deferred));
        LogMessage("a line");
        if (deferred) {
            EXPECT_TRUE(events.events().empty());
            ReportDeferredLogEvents();
        }
        ReportDeferredLogEvents();
        EXPECT_EQ(events.events(), (EventRecorder::Events{{EVENTLOG_WARNING_TYPE, expected}}));
        EXPECT_EQ(capture.Texts(), (std::vector<std::string>{expected, "a line"}));
        CloseLogFile();
    }
    EXPECT_TRUE(::RemoveDirectoryW(LogPath().c_str()));
}

// The lock is made owned by the Administrators whoever creates it first: on
// XP an administrator's objects are owned by that administrator, and a
// Winlogon (SYSTEM) loading while vyn-check or the logon host holds the lock
// would otherwise find another account's lock and rotate without it.
TEST(SharedLog, LockIsOwnedByTheAdministratorsWhoeverCreatesIt) {
    EmptyLogFolder();
    ASSERT_TRUE(OpenLogFile());
    const unique_handle lock(::OpenMutexW(READ_CONTROL, FALSE, L"Global\\Vyn Security log"));
    ASSERT_TRUE(lock);
    DWORD size = 0;
    ::GetKernelObjectSecurity(lock.get(), OWNER_SECURITY_INFORMATION, nullptr, 0, &size);
    std::vector<BYTE> descriptor(size);
    ASSERT_TRUE(::GetKernelObjectSecurity(lock.get(), OWNER_SECURITY_INFORMATION, descriptor.data(), size, &size));
    LPWSTR text = nullptr;
    ASSERT_TRUE(::ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor.data(), SDDL_REVISION_1,
                                                                       OWNER_SECURITY_INFORMATION, &text, nullptr));
    const unique_hlocal owned(text);
    EXPECT_STREQ(text, L"O:BA");
    CloseLogFile();
}

// A user may create the lock's name first and hold it: a lock another
// account owns is not waited for. The administrator is told once, and the
// log is still bounded.
TEST(SharedLog, LockCreatedByAnotherAccountIsNotUsed) {
    EmptyLogFolder();
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"O:S-1-5-21-1-2-3-1001D:(A;;GA;;;WD)",
                                                                       SDDL_REVISION_1, &descriptor, nullptr));
    const unique_hlocal owner(descriptor);
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};
    const unique_handle squatted(::CreateMutexW(&attributes, TRUE, L"Global\\Vyn Security log"));
    ASSERT_TRUE(squatted);
    ASSERT_NE(::GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    const SmallBound bound(256);
    {
        EventRecorder events;
        ASSERT_TRUE(OpenLogFile());
        EXPECT_EQ(events.events(),
                  (EventRecorder::Events{{EVENTLOG_WARNING_TYPE,
                                          "WARNING: Log lock 'Global\\Vyn Security log' not used: another account "
                                          "created it; vyn.log is rotated without it"}}));
    }
    for (int i = 0; i < 6; ++i) LogMessage(std::string(60, 'a' + i));
    EXPECT_LE(ReadAll(LogPath()).size(), 256u);
    EXPECT_LE(ReadAll(OldPath()).size(), 256u);
    EXPECT_NE(ReadAll(LogPath()).find(std::string(60, 'f')), std::string::npos);
    ::ReleaseMutex(squatted.get());
}

}  // namespace

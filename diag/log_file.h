#pragma once
// The file writer under LogMessage: vyn.log in the log folder, shared by
// every process that loads the module (one Winlogon per terminal session,
// vyn-check, the logon host). Reports its own trouble
// through diag/log_report.h, never by calling up into the log.

#include <windows.h>

#include <string>

// A line that would take vyn.log past this size first moves it to
// "vyn.log.old" (dropping the earlier one), so the two hold at most twice this
// together, plus the one line. Checked as every line is written, by whichever
// process writes it.
constexpr ULONGLONG kLogRotationBytes = 16ull * 1024 * 1024;

// Writes the log folder ("<common app data>\Vyn Security") into a buffer of
// 520 wide characters.
HRESULT GetLogDirectory(wchar_t* buffer) noexcept;

// Opens the log at load: creates the folder when missing, takes back a folder
// someone else made (LogDirectoryLetsOthersIn) and moves the logs found in it
// aside, checks vyn.log, and clears what an earlier process left behind. No
// handle of the log is kept: AppendToLogFile opens the file for each line.
// False (reported) when the log stays on the debugger output. Called by
// OpenLogFile, which installs the reporter first.
bool OpenLogFileWriter() noexcept;
void CloseLogFileWriter() noexcept;

// Opens vyn.log, rotates it first when the line would take it past the bound,
// appends `line` (prefix, text and CR LF) with one write, and closes it, all
// under a machine-wide lock. Does nothing while the writer is closed. Called
// by LogMessage only; never throws.
void AppendToLogFile(const std::string& line) noexcept;

namespace log_detail {

// The bound in use: kLogRotationBytes unless a test program lowered it, so
// that several processes can rotate with a few kilobytes each.
ULONGLONG& RotationBytes() noexcept;

// The file calls the writer makes on the log's names. NTFS keeps a deleted
// file that someone holds open as a delete-pending name, which Wine does not
// do: tests swap this table to play that rule.
struct LogFileSystem {
    HANDLE(WINAPI* createFile)(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES attributes,
                               DWORD disposition, DWORD flags, HANDLE templateFile);
    BOOL(WINAPI* moveFile)(LPCWSTR from, LPCWSTR to, DWORD flags);
    BOOL(WINAPI* deleteFile)(LPCWSTR path);
};

// The platform's own functions.
const LogFileSystem& PlatformLogFileSystem() noexcept;

// The table in use: the platform's unless a test installed another one.
LogFileSystem& CurrentLogFileSystem() noexcept;

}  // namespace log_detail

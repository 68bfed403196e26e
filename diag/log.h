#pragma once
// The module's line log: every line goes to the debugger output and is appended
// to "<common application data>\Vyn Security\vyn.log". Always on, no levels.

#include <windows.h>

#include <string>

#include "common/handles.h"

// Set by OpenLogFile at process attach, replaced when the file is rotated,
// closed by CloseLogFile at detach.
extern unique_hfile gLogFile;

// Writes "<MM/DD/YYY hh:mm:ss (tid)> <text>\r\n". Never throws, never fails visibly.
void LogMessage(const char* text) noexcept;
void LogMessage(const std::string& text) noexcept;

// "ERROR: Failure in system call '<name>' (<code, unsigned>)"; returns code.
DWORD LogSystemCallFailure(const char* name, DWORD code) noexcept;

// "ERROR: Failure in socket operation '<name>' (<WSAGetLastError(), signed>)".
void LogSocketFailure(const char* name) noexcept;

// Writes the log folder ("<common app data>\Vyn Security") into a buffer of
// 520 wide characters.
HRESULT GetLogDirectory(wchar_t* buffer) noexcept;

// The security descriptor a log folder that OpenLogFile creates gets: a
// protected DACL with full control for SYSTEM and the Administrators only,
// inherited by what is created in it. Null (logged) when it cannot be built;
// the folder is then not created.
unique_hlocal PrivateLogDirectorySecurity() noexcept;

// True when the descriptor's owner is the Administrators and its DACL is the
// private one above, entry for entry, protected. Any other folder was made or
// changed by someone else (on XP and 2003 every user may create folders in the
// common application-data folder) and is taken back at open.
bool IsPrivateLogDirectorySecurity(PSECURITY_DESCRIPTOR descriptor) noexcept;

// Why a folder or log file opened (not followed) at `info` may not carry the
// log, or nullptr when it may: a reparse point would send the lines elsewhere,
// and a file with a second link is also someone else's file.
const char* LogPathRefusal(const BY_HANDLE_FILE_INFORMATION& info) noexcept;

// A line that would take vyn.log past this size first moves it to
// "vyn.log.old" (dropping the earlier one), so the two hold at most twice this
// together. Checked as every line is written, by whichever process writes it.
constexpr ULONGLONG kLogRotationBytes = 16ull * 1024 * 1024;

namespace log_detail {

// The bound in use: kLogRotationBytes unless a test program lowered it, so
// that several processes can rotate with a few kilobytes each.
ULONGLONG& RotationBytes() noexcept;

}  // namespace log_detail

// Service texts (status and message texts, decisions, fault codes) longer than
// this are cut in the log.
constexpr size_t kServiceTextLogBytes = 512;

// `text` as the log shows a text the service sent: whole when it fits in
// kServiceTextLogBytes, else its first bytes up to a whole UTF-8 character
// within that bound followed by " ... (<n> bytes left out)". CR and LF are
// written as the two characters \r and \n, so a service text cannot start a
// log line of its own.
std::string ServiceTextForLog(const std::string& text);

// Opens the log for appending, creating folder and file as needed. A folder
// it creates is private (PrivateLogDirectorySecurity); an existing one whose
// owner or DACL differ is taken back (Administrators as owner, the private
// DACL), and the vyn.log and vyn.log.old found in it are moved aside to names
// with the time and never written again: a new vyn.log is created. A
// reparse-point folder or log file, a log file with more than one link, a
// folder in the file's place, or a folder that cannot be taken back leaves
// the log on the debugger output alone, reported once per load to the event
// log as a warning naming the path and the reason. A vyn.log or vyn.log.old
// owned by another account is moved aside as well. Called at process attach
// (and by the tools that log); calling it again starts over.
//
// With `deferEvents` (process attach: the event log is reached by RPC, which
// must not be called under the loader lock) the warnings are logged at once
// but reported to the event log only by ReportDeferredLogEvents.
bool OpenLogFile(bool deferEvents = false) noexcept;
void CloseLogFile() noexcept;

// Reports the warnings kept since OpenLogFile(true), and every later one at
// once. Called by the first export Winlogon calls, WlxNegotiate.
void ReportDeferredLogEvents() noexcept;

// The line prefix for a given time and thread, e.g. "03/05/14 09:07:02 (1234)".
std::string FormatLogPrefix(const SYSTEMTIME& time, DWORD threadId);

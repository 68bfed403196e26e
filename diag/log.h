#pragma once
// The module's line log: every line goes to the debugger output and is appended
// to "<common application data>\Vyn Security\vyn.log". Always on, no levels.

#include <windows.h>

#include <string>

#include "common/handles.h"

// Set by OpenLogFile at process attach, closed by CloseLogFile at detach.
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

// Opens (creating folder and file as needed) the log for appending. A folder
// it creates is private (PrivateLogDirectorySecurity); an existing one is
// left as it is.
bool OpenLogFile() noexcept;
void CloseLogFile() noexcept;

// The line prefix for a given time and thread, e.g. "03/05/14 09:07:02 (1234)".
std::string FormatLogPrefix(const SYSTEMTIME& time, DWORD threadId);

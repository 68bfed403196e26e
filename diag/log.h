#pragma once
// The module's line log: every line goes to the debugger output and is appended
// to "<common application data>\Vyn Security\vyn.log". Always on, no levels.

#include <windows.h>

#include <string>

// What the log's users also call: the log folder and bound (the file writer)
// and the folder's security checks. Opening the log is diag/log_setup.h.
#include "diag/log_file.h"
#include "diag/log_security.h"

// Writes "<MM/DD/YYY hh:mm:ss (tid)> <text>\r\n". Never throws, never fails visibly.
void LogMessage(const char* text) noexcept;
void LogMessage(const std::string& text) noexcept;

// "ERROR: Failure in system call '<name>' (<code, unsigned>)"; returns code.
DWORD LogSystemCallFailure(const char* name, DWORD code) noexcept;

// "ERROR: Failure in socket operation '<name>' (<WSAGetLastError(), signed>)".
void LogSocketFailure(const char* name) noexcept;

// Service texts (status and message texts, decisions, fault codes) longer than
// this are cut in the log.
constexpr size_t kServiceTextLogBytes = 512;

// `text` as the log shows a text the service sent: whole when it fits in
// kServiceTextLogBytes, else its first bytes up to a whole UTF-8 character
// within that bound followed by " ... (<n> bytes left out)". CR and LF are
// written as the two characters \r and \n, so a service text cannot start a
// log line of its own.
std::string ServiceTextForLog(const std::string& text);

// The line prefix for a given time and thread, e.g. "03/05/14 09:07:02 (1234)".
std::string FormatLogPrefix(const SYSTEMTIME& time, DWORD threadId);

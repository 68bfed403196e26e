#pragma once
// How the code under LogMessage (the file writer and the log folder's checks)
// reports its own trouble without calling up into the log it serves: through
// the two functions the layer above installs when it opens the log
// (OpenLogFile). Until then, and after CloseLogFile, reports are dropped.

#include <windows.h>

#include <string>

struct LogFileReporter {
    // Writes one line of the log; called while the writer holds its locks, so
    // the line it writes goes straight to the file, with no rotation of its own.
    void (*line)(const std::string& text) noexcept;
    // A warning for the administrator: a line, then (now or once the event log
    // may be called) a warning event.
    void (*warning)(const std::string& text) noexcept;
};

// Installed by OpenLogFile, removed (null members) by CloseLogFile.
void SetLogFileReporter(const LogFileReporter& reporter) noexcept;

// "ERROR: Failure in system call '<name>' (<code, unsigned>)": the fixed form,
// shared with LogSystemCallFailure.
std::string SystemCallFailureText(const char* name, DWORD code);

void ReportLogLine(const std::string& text) noexcept;
void ReportLogWarning(const std::string& text) noexcept;

// Reports SystemCallFailureText(name, code) as a line and returns code.
DWORD ReportLogCallFailure(const char* name, DWORD code) noexcept;

#include "diag/log_report.h"

#include <cstdio>

namespace {

LogFileReporter gReporter = {nullptr, nullptr};

}  // namespace

void SetLogFileReporter(const LogFileReporter& reporter) noexcept { gReporter = reporter; }

std::string SystemCallFailureText(const char* name, DWORD code) {
    char text[512];
    std::snprintf(text, sizeof text, "ERROR: Failure in system call '%s' (%lu)", name ? name : "",
                  static_cast<unsigned long>(code));
    return text;
}

void ReportLogLine(const std::string& text) noexcept {
    if (gReporter.line) gReporter.line(text);
}

void ReportLogWarning(const std::string& text) noexcept {
    if (gReporter.warning) gReporter.warning(text);
}

DWORD ReportLogCallFailure(const char* name, DWORD code) noexcept {
    try {
        ReportLogLine(SystemCallFailureText(name, code));
    } catch (...) {
        // Out of memory while reporting: the failure itself is handled by the caller.
    }
    return code;
}

#include "diag/log.h"

#include <winsock2.h>

#include <cstdio>

#include "diag/log_file.h"
#include "diag/log_report.h"

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
        AppendToLogFile(line);
    } catch (...) {
        // Out of memory while logging: the line is lost, the caller carries on.
    }
}

void LogMessage(const std::string& text) noexcept { LogMessage(text.c_str()); }

DWORD LogSystemCallFailure(const char* name, DWORD code) noexcept {
    try {
        LogMessage(SystemCallFailureText(name, code));
    } catch (...) {
        // Out of memory while logging: the caller still gets its code back.
    }
    return code;
}

void LogSocketFailure(const char* name) noexcept {
    const int error = ::WSAGetLastError();
    char line[512];
    std::snprintf(line, sizeof line, "ERROR: Failure in socket operation '%s' (%d)", name ? name : "", error);
    LogMessage(line);
}

std::string ServiceTextForLog(const std::string& text) {
    size_t kept = text.size();
    if (kept > kServiceTextLogBytes) {
        kept = kServiceTextLogBytes;
        // Back to the start of the character the bound falls in (continuation
        // bytes are 10xxxxxx), so the log never holds half a character.
        while (kept > 0 && (static_cast<unsigned char>(text[kept]) & 0xC0) == 0x80) --kept;
    }
    // A line end inside a service text would start a line of the service's
    // making, prefix and all: it is written as the two characters \r or \n.
    std::string shown;
    shown.reserve(kept);
    for (size_t i = 0; i < kept; ++i) {
        if (text[i] == '\r') {
            shown += "\\r";
        } else if (text[i] == '\n') {
            shown += "\\n";
        } else {
            shown += text[i];
        }
    }
    if (kept < text.size()) shown += " ... (" + std::to_string(text.size() - kept) + " bytes left out)";
    return shown;
}

// The logon host's output lines (see host_output.h).
#include "tools/logon_host/host_output.h"

#include <cstdarg>
#include <cstdio>

#include "common/strings.h"

bool gQuiet = false;

std::string Utf8(const std::wstring& text) { return ToUtf8(text); }
std::string Utf8(const wchar_t* text) { return text ? ToUtf8(std::wstring(text)) : std::string("(null)"); }

namespace {

void PrintLine(const char* format, va_list args) {
    std::vprintf(format, args);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

}  // namespace

void Say(const char* format, ...) {
    if (gQuiet) return;
    va_list args;
    va_start(args, format);
    PrintLine(format, args);
    va_end(args);
}

void Report(const char* format, ...) {
    va_list args;
    va_start(args, format);
    PrintLine(format, args);
    va_end(args);
}

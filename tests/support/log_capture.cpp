#include "tests/support/log_capture.h"

#include <windows.h>

#include <regex>

namespace {

CRITICAL_SECTION gLock;
bool gLockReady = false;
std::vector<std::string>* gLines = nullptr;
PVOID gHandler = nullptr;

LONG CALLBACK OnDebugString(EXCEPTION_POINTERS* info) {
    if (info->ExceptionRecord->ExceptionCode != DBG_PRINTEXCEPTION_C) return EXCEPTION_CONTINUE_SEARCH;
    const auto length = static_cast<size_t>(info->ExceptionRecord->ExceptionInformation[0]);
    const auto* text = reinterpret_cast<const char*>(info->ExceptionRecord->ExceptionInformation[1]);
    if (text && length > 0) {
        // The length counts the terminating NUL.
        std::string line(text, length - 1);
        ::EnterCriticalSection(&gLock);
        if (gLines) gLines->push_back(line);
        ::LeaveCriticalSection(&gLock);
    }
    return EXCEPTION_CONTINUE_EXECUTION;
}

}  // namespace

LogCapture::LogCapture() {
    if (!gLockReady) {
        ::InitializeCriticalSection(&gLock);
        gLockReady = true;
    }
    ::EnterCriticalSection(&gLock);
    delete gLines;
    gLines = new std::vector<std::string>();
    ::LeaveCriticalSection(&gLock);
    gHandler = ::AddVectoredExceptionHandler(1, OnDebugString);
}

LogCapture::~LogCapture() {
    ::RemoveVectoredExceptionHandler(gHandler);
    ::EnterCriticalSection(&gLock);
    delete gLines;
    gLines = nullptr;
    ::LeaveCriticalSection(&gLock);
}

std::vector<std::string> LogCapture::RawLines() const {
    ::EnterCriticalSection(&gLock);
    std::vector<std::string> copy = *gLines;
    ::LeaveCriticalSection(&gLock);
    return copy;
}

std::vector<std::string> LogCapture::Texts() const {
    std::vector<std::string> texts;
    for (const auto& line : RawLines()) texts.push_back(StripLogPrefix(line));
    return texts;
}

void LogCapture::Clear() {
    ::EnterCriticalSection(&gLock);
    gLines->clear();
    ::LeaveCriticalSection(&gLock);
}

std::string StripLogPrefix(const std::string& line) {
    static const std::regex prefix(R"(^\d{2}/\d{2}/\d{2,3} \d{2}:\d{2}:\d{2} \(\d+\) )");
    std::smatch m;
    if (!std::regex_search(line, m, prefix)) return line;
    std::string text = line.substr(m.length(0));
    if (text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0) text.resize(text.size() - 2);
    return text;
}

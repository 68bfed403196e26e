#include "diag/log.h"

#include <shlobj.h>
#include <strsafe.h>
#include <winsock2.h>
#include <sddl.h>

#include <cstdio>

unique_hfile gLogFile;

namespace {

constexpr size_t kLogDirectoryChars = 520;

// The log holds user names, client addresses, the integration key and the
// service's texts. The folder gets a protected DACL (nothing inherited from
// the common application-data folder, which lets every local user read) with
// full control for SYSTEM and the Administrators only, inherited by the log
// file and anything else created in it.
constexpr wchar_t kLogDirectorySecurity[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

bool LogFileOpen() noexcept {
    const HANDLE h = gLogFile.get();
    return h != INVALID_HANDLE_VALUE && h != nullptr;
}

// Creates the log folder (and any missing parent) readable by SYSTEM and the
// Administrators only.
void CreatePrivateLogDirectory(const wchar_t* directory) noexcept {
    const unique_hlocal descriptor = PrivateLogDirectorySecurity();
    if (!descriptor) {
        // Without the private descriptor the folder is not created at all: a
        // log readable by every local user is worse than no log file (the
        // lines still reach the debugger output).
        return;
    }
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor.get(), FALSE};
    const int rc = ::SHCreateDirectoryExW(nullptr, directory, &attributes);
    // Another process loading the module (one Winlogon per session) may have
    // created it in between: then it is that process's private folder.
    if (rc != ERROR_SUCCESS && rc != ERROR_ALREADY_EXISTS) {
        LogSystemCallFailure("SHCreateDirectoryExW", static_cast<DWORD>(rc));
    }
}

}  // namespace

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
        if (LogFileOpen()) {
            DWORD written = 0;
            ::WriteFile(gLogFile.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
        }
    } catch (...) {
        // Out of memory while logging: the line is lost, the caller carries on.
    }
}

void LogMessage(const std::string& text) noexcept { LogMessage(text.c_str()); }

DWORD LogSystemCallFailure(const char* name, DWORD code) noexcept {
    char line[512];
    std::snprintf(line, sizeof line, "ERROR: Failure in system call '%s' (%lu)", name ? name : "",
                  static_cast<unsigned long>(code));
    LogMessage(line);
    return code;
}

void LogSocketFailure(const char* name) noexcept {
    const int error = ::WSAGetLastError();
    char line[512];
    std::snprintf(line, sizeof line, "ERROR: Failure in socket operation '%s' (%d)", name ? name : "", error);
    LogMessage(line);
}

unique_hlocal PrivateLogDirectorySecurity() noexcept {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kLogDirectorySecurity, SDDL_REVISION_1,
                                                                &descriptor, nullptr)) {
        LogSystemCallFailure("ConvertStringSecurityDescriptorToSecurityDescriptorW", ::GetLastError());
        return unique_hlocal();
    }
    return unique_hlocal(descriptor);
}

HRESULT GetLogDirectory(wchar_t* buffer) noexcept {
    wchar_t appData[MAX_PATH] = {};
    const HRESULT hr = ::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, appData);
    if (FAILED(hr)) return hr;
    wchar_t work[kLogDirectoryChars] = {};
    // Cut to fit when too long; the copy below reports it.
    ::StringCchPrintfW(work, kLogDirectoryChars, L"%s\\%s", appData, L"Vyn Security");
    return ::StringCchCopyW(buffer, kLogDirectoryChars, work);
}

bool OpenLogFile() noexcept {
    wchar_t directory[kLogDirectoryChars] = {};
    GetLogDirectory(directory);
    const DWORD attributes = ::GetFileAttributesW(directory);
    // A folder that exists already keeps the security it has: an
    // administrator may have set it on purpose.
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
        CreatePrivateLogDirectory(directory);

    wchar_t again[kLogDirectoryChars] = {};
    if (FAILED(GetLogDirectory(again))) return false;
    wchar_t path[MAX_PATH + 1] = {};
    if (FAILED(::StringCchPrintfW(path, MAX_PATH + 1, L"%s\\%s", again, L"vyn.log"))) return false;

    // Append-only and fully shared: every Winlogon (one per terminal session)
    // appends to the same file, and administrators may read it at any time.
    gLogFile.reset(::CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH, nullptr));
    return LogFileOpen();
}

void CloseLogFile() noexcept { gLogFile.reset(); }

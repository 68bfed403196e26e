// WinHTTP's codes and texts for the failures of both TLS clients (see
// net/winhttp_error.h).
#include <winsock2.h>

#include "net/winhttp_error.h"

#include <winhttp.h>

#include "diag/log.h"
#include "net/winhttp_api.h"

DWORD WinHttpErrorFor(DWORD lastError) {
    return lastError == WSAETIMEDOUT ? static_cast<DWORD>(ERROR_WINHTTP_TIMEOUT) : lastError;
}

void ThrowWinHttpError(const std::string& callName, DWORD lastError, NetWait wait) {
    const DWORD code = WinHttpErrorFor(lastError);
    char text[1024] = {};
    DWORD length = 0;
    if (HMODULE winhttp = ::GetModuleHandleA("winhttp.dll")) {
        length = winhttp_api().FormatErrorText(FORMAT_MESSAGE_FROM_HMODULE, winhttp, code, 0x400, text,
                                               sizeof(text), nullptr);
    }
    if (length != 0) {
        // The text keeps the line break FormatMessage ends it with.
        LogMessage("ERROR: Failure during WinHttp call (" + callName + "): " + std::string(text, length) + " [" +
                   std::to_string(static_cast<unsigned long>(code)) + "]");
    } else {
        LogSystemCallFailure(callName.c_str(), code);
    }
    throw CINetException(code, wait);
}

#pragma once
// Helpers of the HTTPS transport (CVynAuthSession::OpenHttpSession and
// MakeHttpRequest live in net/transport.cpp).

#include <windows.h>
#include <winhttp.h>

#include <cstdint>
#include <string>

#include "net/https_types.h"

// Sets the request's time-outs to `timeoutSeconds` (-1: no limit) for the
// waits `scope` names and lifts the others. Logs and returns false at the
// first option that cannot be set.
bool SetRequestTimeouts(HINTERNET request, int32_t timeoutSeconds,
                        TimeoutScope scope = TimeoutScope::ConnectOnly);

// The WinHTTP error code a failed call stands for. Wine's WinHTTP reports an
// expired send or receive time-out with the socket's code (WSAETIMEDOUT);
// Windows reports ERROR_WINHTTP_TIMEOUT, which is what the log and the user's
// message show on both.
DWORD WinHttpErrorFor(DWORD lastError);

// Logs the failed WinHTTP call with WinHTTP's own text for `code` and throws
// CINetException(code).
[[noreturn]] void ThrowWinHttpError(const std::string& callName, DWORD code);

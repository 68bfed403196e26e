#pragma once
// Helpers of the HTTPS transport (CVynAuthSession::OpenHttpSession and
// MakeHttpRequest live in net/transport.cpp).

#include <windows.h>
#include <winhttp.h>

#include <cstdint>
#include <string>

// Bounds the connection set-up of a request to `timeoutSeconds` (-1: no
// limit) and lifts every limit on sending and receiving. Logs and returns
// false at the first option that cannot be set.
bool SetRequestTimeouts(HINTERNET request, int32_t timeoutSeconds);

// Logs the failed WinHTTP call with WinHTTP's own text for `code` and throws
// CINetException(code).
[[noreturn]] void ThrowWinHttpError(const std::string& callName, DWORD code);

#pragma once
// Helpers of the HTTPS transport (CVynAuthSession::OpenHttpSession and
// MakeHttpRequest live in net/transport.cpp).

#include <windows.h>
#include <winhttp.h>

#include <cstdint>
#include <string>

// What a request's time-out bounds.
enum class TimeoutScope {
    // The connection set-up only; once connected the request waits as long as
    // the service takes (authentication and its polls, which run behind the
    // status dialog and its Cancel).
    ConnectOnly,
    // Every wait of the exchange: connecting, the TLS handshake, sending, the
    // answer's headers and each read of its body. For requests made on
    // Winlogon's own thread, which nothing else can interrupt.
    WholeExchange,
};

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

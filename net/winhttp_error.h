#pragma once
// How a failed network call is reported, in WinHTTP's codes and words: the
// system's TLS client (net/transport.h), the module's own (net/builtin_tls.h)
// and its pieces (HTTP framing, name resolution) all throw through here, so
// the log, the events and fail-open read the same whichever client served.

#include <windows.h>

#include <string>

#include "diag/errors.h"

// The WinHTTP error code a failed call stands for. Wine's WinHTTP reports an
// expired send or receive time-out with the socket's code (WSAETIMEDOUT);
// Windows reports ERROR_WINHTTP_TIMEOUT, which is what the log and the user's
// message show on both.
DWORD WinHttpErrorFor(DWORD lastError);

// Logs the failed WinHTTP call with WinHTTP's own text for `code` and throws
// CINetException(code, wait).
[[noreturn]] void ThrowWinHttpError(const std::string& callName, DWORD code, NetWait wait = NetWait::Sending);

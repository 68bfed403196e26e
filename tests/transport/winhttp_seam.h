#pragma once
// Test-side control of the transport's WinHTTP table: a scope that restores the
// real functions when it ends, and stand-ins used where Wine cannot act (the
// time-out options cannot be read back; Wine never reports a cancelled call).

#include <windows.h>
#include <winhttp.h>

#include <utility>
#include <vector>

#include "net/winhttp_api.h"

class ScopedWinHttpApi {
public:
    ScopedWinHttpApi() : saved_(winhttp_api()) {}
    ~ScopedWinHttpApi() { winhttp_api() = saved_; }
    ScopedWinHttpApi(const ScopedWinHttpApi&) = delete;
    ScopedWinHttpApi& operator=(const ScopedWinHttpApi&) = delete;
    WinHttpApi* operator->() { return &winhttp_api(); }

private:
    WinHttpApi saved_;
};

// Every WinHttpSetOption call that carried a 4-byte value: (option, value).
// The call is passed on to WinHTTP unless the option is `failOption`, which
// fails with `failError`.
struct SetOptionRecorder {
    static std::vector<std::pair<DWORD, DWORD>>& Calls() {
        static std::vector<std::pair<DWORD, DWORD>> calls;
        return calls;
    }
    static DWORD& FailOption() {
        static DWORD option = 0;
        return option;
    }
    static DWORD& FailError() {
        static DWORD error = 0;
        return error;
    }
    static BOOL WINAPI SetOption(HINTERNET handle, DWORD option, LPVOID buffer, DWORD length) {
        if (length == sizeof(DWORD)) Calls().emplace_back(option, *static_cast<DWORD*>(buffer));
        if (FailOption() != 0 && option == FailOption()) {
            ::SetLastError(FailError());
            return FALSE;
        }
        return RealWinHttpApi().SetOption(handle, option, buffer, length);
    }
    static void Reset() {
        Calls().clear();
        FailOption() = 0;
        FailError() = 0;
    }
};

// A name resolver that takes `DelayMs()` to answer, standing in for a slow DNS
// server (under Wine every name used here resolves at once). Like WinHTTP on
// Windows it gives up after the resolve time-out set on the request, failing
// the send with ERROR_WINHTTP_TIMEOUT; without one it waits the whole delay,
// and the request then goes out for real.
// Install with ScopedWinHttpApi: SetOption and SendRequest.
struct SlowResolver {
    static DWORD& DelayMs() {
        static DWORD delay = 60000;
        return delay;
    }
    // The resolve time-out last set by the thread that sends (0: none).
    static DWORD& Bound() {
        static thread_local DWORD bound = 0;
        return bound;
    }
    static BOOL WINAPI SetOption(HINTERNET handle, DWORD option, LPVOID buffer, DWORD length) {
        if (option == WINHTTP_OPTION_RESOLVE_TIMEOUT && length == sizeof(DWORD))
            Bound() = *static_cast<DWORD*>(buffer);
        return RealWinHttpApi().SetOption(handle, option, buffer, length);
    }
    static BOOL WINAPI SendRequest(HINTERNET request, LPCWSTR headers, DWORD headersLength, LPVOID body,
                                   DWORD bodyLength, DWORD totalLength, DWORD_PTR context) {
        const DWORD bound = Bound();
        Bound() = 0;
        const bool timesOut = bound != 0 && bound != 0xFFFFFFFF && bound < DelayMs();
        ::Sleep(timesOut ? bound : DelayMs());
        if (timesOut) {
            ::SetLastError(ERROR_WINHTTP_TIMEOUT);
            return FALSE;
        }
        return RealWinHttpApi().SendRequest(request, headers, headersLength, body, bodyLength, totalLength, context);
    }
};

#pragma once
// The system's TLS client: one synchronous WinHTTP exchange per request, with
// the WinHTTP helpers it is built from (time-outs, error codes and their log
// lines). CHttpsClient (net/https_client.h) owns one and picks it.

#include <windows.h>
#include <winhttp.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "common/critical_section.h"
#include "diag/errors.h"
#include "net/https_types.h"
#include "net/tls_client.h"
#include "net/winhttp_handle.h"

class CWinHttpClient final : public ITlsClient {
public:
    CWinHttpClient() = default;
    CWinHttpClient(const CWinHttpClient&) = delete;
    CWinHttpClient& operator=(const CWinHttpClient&) = delete;

    // Opens the WinHTTP session on first use, with `userAgent` and redirects
    // never followed, and closes the previous request's connection and request.
    // A failure is logged and thrown as CVynException(UnexpectedError).
    void Open(const std::string& userAgent);

    // Needs an open session. `request.userAgent` is not used: the session's is.
    int32_t Send(const HttpsRequest& request, std::string& response) override;
    void Abort() override;
    const std::string& AnswerContentType() const noexcept override { return contentType_; }

    // The handles as they stand, for tests of their lifetime.
    HINTERNET Session() const noexcept { return session_.get(); }
    HINTERNET Connection() const noexcept { return connection_.get(); }
    HINTERNET Request() const noexcept { return request_.get(); }

private:
    // Throws the failure of `callName`: as cancelled after an Abort, as a
    // time-out after the deadline passed, else with `lastError`.
    [[noreturn]] void Fail(const std::string& callName, DWORD lastError, NetWait wait) const;
    // The deadline timer's callback (a thread-pool thread): closes the request
    // so that a call blocked on it ends, where the platform allows that.
    static void CALLBACK DeadlinePassed(PVOID client, BOOLEAN);
    // WinHTTP's notification that the request has gone out (on the sending
    // thread, the exchange being synchronous); `context` is the client.
    static void CALLBACK RequestProgress(HINTERNET, DWORD_PTR context, DWORD status, LPVOID, DWORD);
    void Expire();

    unique_hinternet session_;
    unique_hinternet connection_;
    // Replaced by Send and closed by Abort, which runs on another thread.
    CCriticalSection requestLock_;
    unique_hinternet request_;
    std::atomic<bool> aborted_{false};
    std::atomic<bool> expired_{false};
    // Whether the service has the request: a time-out after it is a wait for
    // the answer, even when it ends inside WinHttpSendRequest (Wine reads the
    // answer's headers there at times).
    std::atomic<bool> sent_{false};
    std::string contentType_;  // of the last answer (the Send thread's)
};

// Sets the request's time-outs to `timeoutSeconds` (-1: no limit) for the
// waits `scope` names and lifts the others. Logs and returns false at the
// first option that cannot be set.
bool SetRequestTimeouts(HINTERNET request, int32_t timeoutSeconds,
                        TimeoutScope scope = TimeoutScope::ConnectOnly);

// Bounds the wait for the answer's headers and each body read to `seconds`,
// leaving every other time-out as it is. Logs and returns false like
// SetRequestTimeouts.
bool SetAnswerTimeouts(HINTERNET request, int32_t seconds);

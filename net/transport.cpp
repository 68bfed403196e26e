// The system's TLS client: one synchronous WinHTTP request per call, the
// status code and the body handed back through CHttpsClient to the request
// executor, every failed platform call thrown.
#include <winsock2.h>

#include "net/transport.h"

#include <memory>

#include "common/handles.h"
#include "common/strings.h"
#include "config/config.h"
#include "diag/errors.h"
#include "diag/log.h"
#include "net/winhttp_api.h"
#include "net/winhttp_error.h"

namespace {

constexpr DWORD kNoLimit = 0xFFFFFFFF;
constexpr DWORD kErrorNoMoreFiles = 18;

// Certificate checking is left at the platform's defaults on purpose: no
// security flag is ever set, so a bad or foreign certificate fails the request.
constexpr DWORD kRequestFlags = WINHTTP_FLAG_SECURE | WINHTTP_FLAG_REFRESH;

bool SetDwordOption(HINTERNET handle, DWORD option, DWORD value) {
    return winhttp_api().SetOption(handle, option, &value, sizeof(value)) != FALSE;
}

// The leading decimal digits of the status text; 0 when there are none.
int32_t ParseStatus(const wchar_t* text) {
    int64_t value = 0;
    for (; *text >= L'0' && *text <= L'9'; ++text) {
        value = value * 10 + (*text - L'0');
        if (value > INT32_MAX) return INT32_MAX;
    }
    return static_cast<int32_t>(value);
}

}  // namespace

bool SetRequestTimeouts(HINTERNET request, int32_t timeoutSeconds, TimeoutScope scope) {
    // A status poll is held open by the service by design, so outside the
    // whole-exchange scope only the connection set-up is bounded. Windows
    // bounds the wait for the answer's headers with the receive-response
    // option and each body read with the receive option. Wine ignores the
    // receive option but still ends a held answer, a stalled body and a
    // stalled TLS handshake within the bound once both are set.
    const DWORD bound = timeoutSeconds == -1 ? kNoLimit : static_cast<DWORD>(timeoutSeconds) * 1000u;
    const DWORD exchange = scope == TimeoutScope::WholeExchange ? bound : kNoLimit;
    // Name resolution has no bound by default (WinHTTP's resolve time-out is
    // infinite). Only the whole-exchange scope sets one; elsewhere it stays
    // as the platform has it.
    if (scope == TimeoutScope::WholeExchange &&
        !SetDwordOption(request, WINHTTP_OPTION_RESOLVE_TIMEOUT, exchange)) {
        LogSystemCallFailure("WinHttpSetOption", ::GetLastError());
        return false;
    }
    const struct {
        DWORD option;
        DWORD value;
    } options[] = {
        {WINHTTP_OPTION_CONNECT_TIMEOUT, bound},
        {WINHTTP_OPTION_SEND_TIMEOUT, exchange},
        {WINHTTP_OPTION_RECEIVE_TIMEOUT, exchange},
        {WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, exchange},
    };
    for (const auto& o : options) {
        if (!SetDwordOption(request, o.option, o.value)) {
            LogSystemCallFailure("WinHttpSetOption", ::GetLastError());
            return false;
        }
    }
    return true;
}

bool SetAnswerTimeouts(HINTERNET request, int32_t seconds) {
    // Both options, for the reasons SetRequestTimeouts gives: Windows bounds
    // the headers with one and each body read with the other, Wine honours
    // only the first but applies it to both.
    const DWORD bound = static_cast<DWORD>(seconds) * 1000u;
    for (const DWORD option : {WINHTTP_OPTION_RECEIVE_TIMEOUT, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT}) {
        if (!SetDwordOption(request, option, bound)) {
            LogSystemCallFailure("WinHttpSetOption", ::GetLastError());
            return false;
        }
    }
    return true;
}

void CWinHttpClient::Open(const std::string& userAgent) {
    if (!session_) {
        session_.reset(winhttp_api().Open(FromUtf8(userAgent).c_str(), WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                          WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
        if (!session_) {
            LogSystemCallFailure("WinHttpOpen", ::GetLastError());
            throw CVynException(UnexpectedError, std::string());
        }
        // Redirects are never followed: a 3xx answer goes back to the executor
        // as its status. A session without this policy is not kept, so the
        // next call opens a new one and tries again instead of running on a
        // session that follows redirects.
        if (!SetDwordOption(session_.get(), WINHTTP_OPTION_REDIRECT_POLICY, WINHTTP_OPTION_REDIRECT_POLICY_NEVER)) {
            session_.reset();
            throw CVynException(UnexpectedError, std::string());
        }
    }

    {
        const CCriticalSectionLock lock(requestLock_);
        request_.reset();
    }
    connection_.reset();
}

void CWinHttpClient::Abort() {
    // WinHTTP ends a call in progress on a handle that is closed (Windows
    // reports it as cancelled; Wine lets a blocked call run on). The flag
    // makes any failure of this exchange read as cancelled on both.
    const CCriticalSectionLock lock(requestLock_);
    aborted_ = true;
    request_.reset();
}

void CALLBACK CWinHttpClient::DeadlinePassed(PVOID client, BOOLEAN) {
    static_cast<CWinHttpClient*>(client)->Expire();
}

void CALLBACK CWinHttpClient::RequestProgress(HINTERNET, DWORD_PTR context, DWORD status, LPVOID, DWORD) {
    if (status == WINHTTP_CALLBACK_STATUS_REQUEST_SENT && context != 0)
        reinterpret_cast<CWinHttpClient*>(context)->sent_ = true;
}

void CWinHttpClient::Expire() {
    // Windows ends a synchronous call on a request handle that is closed;
    // Wine lets it run on, and Send's own checks between calls end it there.
    const CCriticalSectionLock lock(requestLock_);
    expired_ = true;
    request_.reset();
}

void CWinHttpClient::Fail(const std::string& callName, DWORD lastError, NetWait wait) const {
    DWORD code = lastError;
    if (aborted_.load()) {
        code = ERROR_WINHTTP_OPERATION_CANCELLED;
    } else if (expired_.load()) {
        code = ERROR_WINHTTP_TIMEOUT;
    }
    ThrowWinHttpError(callName, code, wait);
}

namespace {

// One header of the answer as text; "" when the answer has none. Its length
// is asked first, so a long value is read whole rather than cut.
std::string AnswerHeaderText(const WinHttpApi& api, HINTERNET handle, DWORD query) {
    DWORD bytes = 0;
    if (api.QueryHeaders(handle, query, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER, &bytes,
                         WINHTTP_NO_HEADER_INDEX) ||
        ::GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return std::string();  // ERROR_WINHTTP_HEADER_NOT_FOUND: none sent
    std::wstring text(bytes / sizeof(wchar_t) + 1, L'\0');
    if (!api.QueryHeaders(handle, query, WINHTTP_HEADER_NAME_BY_INDEX, text.data(), &bytes, WINHTTP_NO_HEADER_INDEX)) {
        LogSystemCallFailure("WinHttpQueryHeaders", ::GetLastError());
        return std::string();
    }
    text.resize(bytes / sizeof(wchar_t));
    return ToUtf8(text);
}

}  // namespace

int32_t CWinHttpClient::Send(const HttpsRequest& request, std::string& response) {
    const WinHttpApi& api = winhttp_api();
    const std::string& method = request.method;
    const std::string& body = request.body;

    // The request handle is taken under the lock; the calls below use this
    // copy, so an Abort from another thread never races with them for the owner.
    HINTERNET handle = nullptr;
    {
        const CCriticalSectionLock lock(requestLock_);
        request_.reset();
        aborted_ = false;
        expired_ = false;
        sent_ = false;
    }
    connection_.reset();

    // Every whole-exchange wait has its own bound, but the bounds apply to
    // each wait alone: resolving then connecting, or an answer trickled one
    // byte inside each read's bound, would add up without end. The deadline
    // bounds the exchange as a whole. Its timer is declared before the calls
    // and so deleted (waiting for a callback under way) before Send returns.
    const bool hasDeadline = request.scope == TimeoutScope::WholeExchange && request.timeoutSeconds > 0;
    const DWORD deadlineMs = hasDeadline ? static_cast<DWORD>(request.timeoutSeconds) * 1000u + kDeadlineSlackMs : 0;
    const DWORD started = ::GetTickCount();
    unique_timer deadline;
    if (hasDeadline &&
        !::CreateTimerQueueTimer(deadline.put(), nullptr, &CWinHttpClient::DeadlinePassed, this, deadlineMs, 0,
                                 WT_EXECUTEONLYONCE)) {
        LogSystemCallFailure("CreateTimerQueueTimer", ::GetLastError());
        throw CVynException(UnexpectedError, std::string());
    }
    // After each call that returned: a passed deadline ends the exchange
    // there, named after that call, as a time-out.
    const auto checkDeadline = [&](const char* callName, NetWait wait) {
        if (hasDeadline && (expired_.load() || ::GetTickCount() - started >= deadlineMs)) {
            Expire();
            Fail(callName, ERROR_WINHTTP_TIMEOUT, wait);
        }
    };

    connection_.reset(api.Connect(session_.get(), FromUtf8(request.host).c_str(), request.port, 0));
    if (!connection_) ThrowWinHttpError("WinHttpConnect on " + request.host, ::GetLastError());

    {
        const CCriticalSectionLock lock(requestLock_);
        request_.reset(api.OpenRequest(connection_.get(), FromUtf8(method).c_str(),
                                       FromUtf8(request.objectName).c_str(), nullptr, WINHTTP_NO_REFERER,
                                       WINHTTP_DEFAULT_ACCEPT_TYPES, kRequestFlags));
        // From here an Abort closes this request. A cancel that came before
        // it is taken as that Abort: the request is closed unsent.
        if (request_ && ExchangeCancelled(request)) {
            aborted_ = true;
            request_.reset();
        }
        handle = request_.get();
    }
    if (handle == nullptr) Fail("WinHttpOpenRequest", ::GetLastError(), NetWait::Sending);

    // An option that cannot be set is a local failure, unless an Abort closed
    // the request between the calls: that exchange was cancelled.
    const auto optionFailed = [&] {
        if (aborted_.load()) Fail("WinHttpSetOption", ERROR_WINHTTP_OPERATION_CANCELLED, NetWait::Sending);
        throw CVynException(UnexpectedError, std::string());
    };
    if (request.timeoutSeconds != 0 && !SetRequestTimeouts(handle, request.timeoutSeconds, request.scope)) {
        optionFailed();
    }
    if (request.answerSeconds > 0 && !SetAnswerTimeouts(handle, request.answerSeconds)) optionFailed();

    if (method == "POST" && !body.empty()) {
        if (!api.AddRequestHeaders(handle, L"Content-Type: application/x-www-form-urlencoded\r\n",
                                   static_cast<DWORD>(-1), WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE)) {
            Fail("WinHttpAddRequestHeaders", ::GetLastError(), NetWait::Sending);
        }
    }

    if (api.SetStatusCallback(handle, &CWinHttpClient::RequestProgress, WINHTTP_CALLBACK_FLAG_SEND_REQUEST, 0) ==
        WINHTTP_INVALID_STATUS_CALLBACK) {
        Fail("WinHttpSetStatusCallback", ::GetLastError(), NetWait::Sending);
    }

    // The extra headers and the body go out in one call.
    const std::wstring wideHeaders = FromUtf8(request.headers);
    const DWORD bodyLength = static_cast<DWORD>(body.size());
    if (!api.SendRequest(handle, wideHeaders.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : wideHeaders.c_str(),
                         static_cast<DWORD>(wideHeaders.size()),
                         body.empty() ? WINHTTP_NO_REQUEST_DATA : const_cast<char*>(body.data()), bodyLength,
                         bodyLength, reinterpret_cast<DWORD_PTR>(this))) {
        Fail("WinHttpSendRequest", ::GetLastError(), sent_.load() ? NetWait::Answer : NetWait::Sending);
    }
    checkDeadline("WinHttpSendRequest", NetWait::Answer);

    // From here on the service has the request: a wait that ends now was a
    // wait for its answer.
    if (!api.ReceiveResponse(handle, nullptr)) Fail("WinHttpReceiveResponse", ::GetLastError(), NetWait::Answer);
    checkDeadline("WinHttpReceiveResponse", NetWait::Answer);
    // Each request here has a connection handle of its own. The TLS version
    // is not named: the option that tells it (WINHTTP_OPTION_SECURITY_INFO)
    // exists only in WinHTTP of recent Windows 10 builds, and the XP x64 /
    // Server 2003 x64 one stops at TLS 1.0 anyway.
    if (gDebugLogging) {
        LogMessage("DEBUG: Connected to " + HostPort(request.host, request.port) +
                   " through the system's TLS (WinHTTP)");
    }

    // The body is bytes (BSON holds zeros): it is appended by length, in chunks
    // of whatever the platform reports available.
    const size_t bodyStart = response.size();
    for (;;) {
        DWORD available = 0;
        if (!api.QueryDataAvailable(handle, &available)) {
            // Only the end-of-data code ends the body quietly. Any other
            // failure, even before the first byte, is a broken exchange: taking
            // it for a complete (possibly empty) body would report a failed
            // transfer as an answer.
            const DWORD error = ::GetLastError();
            if (error == kErrorNoMoreFiles) break;
            Fail("WinHttpQueryDataAvailable", error, NetWait::Answer);
        }
        checkDeadline("WinHttpQueryDataAvailable", NetWait::Answer);
        if (available == 0) break;
        std::unique_ptr<char[]> chunk(new char[available]);
        DWORD read = 0;
        if (!api.ReadData(handle, chunk.get(), available, &read)) {
            Fail("WinHttpReadData", ::GetLastError(), NetWait::Answer);
        }
        response.append(chunk.get(), read);
        if (response.size() - bodyStart > kMaxAnswerBytes)
            ThrowWinHttpError("WinHttpReadData", ERROR_WINHTTP_CONNECTION_ERROR, NetWait::Answer);
    }

    // A connection that ends before the declared length is a broken exchange,
    // not a shorter answer. Windows reports it from the availability query;
    // Wine ends the body quietly, so the length is checked here as well.
    DWORD declaredLength = 0;
    DWORD declaredSize = sizeof(declaredLength);
    if (api.QueryHeaders(handle, WINHTTP_QUERY_CONTENT_LENGTH | WINHTTP_QUERY_FLAG_NUMBER,
                         WINHTTP_HEADER_NAME_BY_INDEX, &declaredLength, &declaredSize, WINHTTP_NO_HEADER_INDEX) &&
        response.size() - bodyStart < declaredLength) {
        Fail("WinHttpQueryDataAvailable", ERROR_WINHTTP_CONNECTION_ERROR, NetWait::Answer);
    }

    wchar_t statusText[10] = {};
    DWORD statusLength = sizeof(statusText);
    if (!api.QueryHeaders(handle, WINHTTP_QUERY_STATUS_CODE, WINHTTP_HEADER_NAME_BY_INDEX, statusText,
                          &statusLength, WINHTTP_NO_HEADER_INDEX)) {
        Fail("WinHttpQueryHeaders", ::GetLastError(), NetWait::Answer);
    }
    statusText[9] = L'\0';
    const int32_t status = ParseStatus(statusText);
    contentType_ = AnswerHeaderText(api, handle, WINHTTP_QUERY_CONTENT_TYPE);
    if (status != 200) LogMessage("ERROR: Server returned non-success status: " + ToUtf8(statusText));

    return status;
}

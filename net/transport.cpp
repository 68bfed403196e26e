// The HTTPS exchange with the authentication service: one synchronous WinHTTP
// request per call, the status code and the body handed back to the request
// executor (auth/executor.cpp), every failed platform call thrown.
#include <winsock2.h>

#include "net/transport.h"

#include <memory>

#include "auth/session.h"
#include "common/strings.h"
#include "config/config.h"
#include "diag/errors.h"
#include "diag/log.h"
#include "net/winhttp_api.h"

namespace {

constexpr DWORD kNoLimit = 0xFFFFFFFF;
constexpr DWORD kErrorNoMoreFiles = 18;

// The service's answers are a few hundred bytes. A longer body is a broken
// exchange, like one cut short, and is never held whole in Winlogon.
constexpr size_t kMaxAnswerBytes = 64 * 1024;

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

const WinHttpApi& RealWinHttpApi() noexcept {
    static const WinHttpApi api = {
        ::WinHttpOpen,
        ::WinHttpSetOption,
        ::WinHttpConnect,
        ::WinHttpOpenRequest,
        ::WinHttpAddRequestHeaders,
        ::WinHttpSendRequest,
        ::WinHttpReceiveResponse,
        ::WinHttpQueryDataAvailable,
        ::WinHttpReadData,
        ::WinHttpQueryHeaders,
        ::FormatMessageA,
    };
    return api;
}

WinHttpApi& winhttp_api() noexcept {
    static WinHttpApi api = RealWinHttpApi();
    return api;
}

bool SetRequestTimeouts(HINTERNET request, int32_t timeoutSeconds, TimeoutScope scope) {
    // A status poll is held open by the service by design, so outside the
    // whole-exchange scope only the connection set-up is bounded. Windows
    // bounds the wait for the answer's headers with the receive-response
    // option and each body read with the receive option. Wine ignores the
    // receive option but still ends a held answer, a stalled body and a
    // stalled TLS handshake within the bound once both are set.
    const DWORD bound = timeoutSeconds == -1 ? kNoLimit : static_cast<DWORD>(timeoutSeconds) * 1000u;
    const DWORD exchange = scope == TimeoutScope::WholeExchange ? bound : kNoLimit;
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

DWORD WinHttpErrorFor(DWORD lastError) {
    return lastError == WSAETIMEDOUT ? static_cast<DWORD>(ERROR_WINHTTP_TIMEOUT) : lastError;
}

void ThrowWinHttpError(const std::string& callName, DWORD lastError) {
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
    throw CINetException(code);
}

void CVynAuthSession::OpenHttpSession() {
    if (!winsockStarted) {
        WSADATA data;
        const int rc = ::WSAStartup(0x0001, &data);
        if (rc != 0) {
            LogSystemCallFailure("WSAStartup", static_cast<DWORD>(rc));
            throw CVynException(UnexpectedError, std::string());
        }
        winsockStarted = true;
    }

    if (!hSession) {
        hSession.reset(winhttp_api().Open(FromUtf8(userAgent).c_str(), WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                          WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
        if (!hSession) {
            LogSystemCallFailure("WinHttpOpen", ::GetLastError());
            throw CVynException(UnexpectedError, std::string());
        }
        // Redirects are never followed: a 3xx answer goes back to the executor
        // as its status. A session without this policy is not kept, so the
        // next call opens a new one and tries again instead of running on a
        // session that follows redirects.
        if (!SetDwordOption(hSession.get(), WINHTTP_OPTION_REDIRECT_POLICY, WINHTTP_OPTION_REDIRECT_POLICY_NEVER)) {
            hSession.reset();
            throw CVynException(UnexpectedError, std::string());
        }
    }

    hRequest.reset();
    hConnect.reset();
}

int32_t CVynAuthSession::MakeHttpRequest(const std::string& method, const std::string& objectName,
                                         const std::string& headers, const std::string& body, int32_t timeout,
                                         std::string& response, TimeoutScope scope) {
    if (gDebugLogging) LogMessage("DEBUG: Entered CVynAuthSession::MakeHttpRequest");
    const WinHttpApi& api = winhttp_api();

    hRequest.reset();
    hConnect.reset();

    hConnect.reset(api.Connect(hSession.get(), FromUtf8(config.host).c_str(), config.port, 0));
    if (!hConnect) ThrowWinHttpError("WinHttpConnect on " + config.host, ::GetLastError());

    hRequest.reset(api.OpenRequest(hConnect.get(), FromUtf8(method).c_str(), FromUtf8(objectName).c_str(), nullptr,
                                   WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, kRequestFlags));
    if (!hRequest) ThrowWinHttpError("WinHttpOpenRequest", ::GetLastError());

    if (timeout != 0 && !SetRequestTimeouts(hRequest.get(), timeout, scope)) {
        throw CVynException(UnexpectedError, std::string());
    }

    if (method == "POST" && !body.empty()) {
        if (!api.AddRequestHeaders(hRequest.get(), L"Content-Type: application/x-www-form-urlencoded\r\n",
                                   static_cast<DWORD>(-1), WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE)) {
            ThrowWinHttpError("WinHttpAddRequestHeaders", ::GetLastError());
        }
    }

    // The extra headers and the body go out in one call.
    const std::wstring wideHeaders = FromUtf8(headers);
    const DWORD bodyLength = static_cast<DWORD>(body.size());
    if (!api.SendRequest(hRequest.get(), wideHeaders.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : wideHeaders.c_str(),
                         static_cast<DWORD>(wideHeaders.size()),
                         body.empty() ? WINHTTP_NO_REQUEST_DATA : const_cast<char*>(body.data()), bodyLength,
                         bodyLength, 0)) {
        ThrowWinHttpError("WinHttpSendRequest", ::GetLastError());
    }

    if (!api.ReceiveResponse(hRequest.get(), nullptr)) ThrowWinHttpError("WinHttpReceiveResponse", ::GetLastError());

    // The body is bytes (BSON holds zeros): it is appended by length, in chunks
    // of whatever the platform reports available.
    const size_t bodyStart = response.size();
    for (;;) {
        DWORD available = 0;
        if (!api.QueryDataAvailable(hRequest.get(), &available)) {
            // Only the end-of-data code ends the body quietly. Any other
            // failure, even before the first byte, is a broken exchange: taking
            // it for a complete (possibly empty) body would report a failed
            // transfer as an answer.
            const DWORD error = ::GetLastError();
            if (error == kErrorNoMoreFiles) break;
            ThrowWinHttpError("WinHttpQueryDataAvailable", error);
        }
        if (available == 0) break;
        std::unique_ptr<char[]> chunk(new char[available]);
        DWORD read = 0;
        if (!api.ReadData(hRequest.get(), chunk.get(), available, &read)) {
            ThrowWinHttpError("WinHttpReadData", ::GetLastError());
        }
        response.append(chunk.get(), read);
        if (response.size() - bodyStart > kMaxAnswerBytes)
            ThrowWinHttpError("WinHttpReadData", ERROR_WINHTTP_CONNECTION_ERROR);
    }

    // A connection that ends before the declared length is a broken exchange,
    // not a shorter answer. Windows reports it from the availability query;
    // Wine ends the body quietly, so the length is checked here as well.
    DWORD declaredLength = 0;
    DWORD declaredSize = sizeof(declaredLength);
    if (api.QueryHeaders(hRequest.get(), WINHTTP_QUERY_CONTENT_LENGTH | WINHTTP_QUERY_FLAG_NUMBER,
                         WINHTTP_HEADER_NAME_BY_INDEX, &declaredLength, &declaredSize, WINHTTP_NO_HEADER_INDEX) &&
        response.size() - bodyStart < declaredLength) {
        ThrowWinHttpError("WinHttpQueryDataAvailable", ERROR_WINHTTP_CONNECTION_ERROR);
    }

    wchar_t statusText[10] = {};
    DWORD statusLength = sizeof(statusText);
    if (!api.QueryHeaders(hRequest.get(), WINHTTP_QUERY_STATUS_CODE, WINHTTP_HEADER_NAME_BY_INDEX, statusText,
                          &statusLength, WINHTTP_NO_HEADER_INDEX)) {
        ThrowWinHttpError("WinHttpQueryHeaders", ::GetLastError());
    }
    statusText[9] = L'\0';
    const int32_t status = ParseStatus(statusText);
    if (status != 200) LogMessage("ERROR: Server returned non-success status: " + ToUtf8(statusText));

    if (gDebugLogging) LogMessage("DEBUG: Leaving CVynAuthSession::MakeHttpRequest");
    return status;
}

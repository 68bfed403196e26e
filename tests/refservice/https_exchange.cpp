#include "tests/refservice/https_exchange.h"

#include <winhttp.h>

#include "net/winhttp_handle.h"

// One synchronous HTTPS exchange with plain WinHTTP, default certificate checks.
Exchange Send(uint16_t port, const std::wstring& method, const std::wstring& target, const std::wstring& headers,
              const std::string& body) {
    Exchange x;
    unique_hinternet session(::WinHttpOpen(L"refservice-test", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                           WINHTTP_NO_PROXY_BYPASS, 0));
    unique_hinternet connect(session ? ::WinHttpConnect(session.get(), L"localhost", port, 0) : nullptr);
    unique_hinternet request(connect ? ::WinHttpOpenRequest(connect.get(), method.c_str(), target.c_str(), nullptr,
                                                            WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                            WINHTTP_FLAG_SECURE | WINHTTP_FLAG_REFRESH)
                                     : nullptr);
    if (!request) {
        x.error = ::GetLastError();
        return x;
    }
    if (!::WinHttpSendRequest(request.get(), headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : headers.c_str(),
                              static_cast<DWORD>(headers.size()), const_cast<char*>(body.data()),
                              static_cast<DWORD>(body.size()), static_cast<DWORD>(body.size()), 0) ||
        !::WinHttpReceiveResponse(request.get(), nullptr)) {
        x.error = ::GetLastError();
        return x;
    }
    DWORD size = sizeof x.status;
    ::WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                          WINHTTP_HEADER_NAME_BY_INDEX, &x.status, &size, WINHTTP_NO_HEADER_INDEX);
    DWORD available = 0;
    while (::WinHttpQueryDataAvailable(request.get(), &available) && available > 0) {
        std::string chunk(available, '\0');
        DWORD read = 0;
        if (!::WinHttpReadData(request.get(), chunk.data(), available, &read)) break;
        x.body.append(chunk.data(), read);
    }
    return x;
}


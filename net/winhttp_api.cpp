// The WinHTTP entry points the system's TLS client and the error reports call
// (see net/winhttp_api.h).
#include "net/winhttp_api.h"

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
        ::WinHttpSetStatusCallback,
    };
    return api;
}

WinHttpApi& winhttp_api() noexcept {
    static WinHttpApi api = RealWinHttpApi();
    return api;
}

#pragma once
// The WinHTTP entry points the transport calls, gathered in one table. By
// default every entry is the platform's own function. Tests replace single
// entries where Wine cannot act (reading back time-out options, reporting a
// cancelled operation, failing an option, the error texts that Wine's
// winhttp.dll does not carry) and restore the table afterwards.

#include <windows.h>
#include <winhttp.h>

struct WinHttpApi {
    decltype(&::WinHttpOpen) Open;
    decltype(&::WinHttpSetOption) SetOption;
    decltype(&::WinHttpConnect) Connect;
    decltype(&::WinHttpOpenRequest) OpenRequest;
    decltype(&::WinHttpAddRequestHeaders) AddRequestHeaders;
    decltype(&::WinHttpSendRequest) SendRequest;
    decltype(&::WinHttpReceiveResponse) ReceiveResponse;
    decltype(&::WinHttpQueryDataAvailable) QueryDataAvailable;
    decltype(&::WinHttpReadData) ReadData;
    decltype(&::WinHttpQueryHeaders) QueryHeaders;
    // The text of a WinHTTP error code, looked up in winhttp.dll.
    decltype(&::FormatMessageA) FormatErrorText;
    decltype(&::WinHttpSetStatusCallback) SetStatusCallback;
};

// The platform's functions.
const WinHttpApi& RealWinHttpApi() noexcept;

// The table the transport calls through.
WinHttpApi& winhttp_api() noexcept;

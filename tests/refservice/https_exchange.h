#pragma once
// One HTTPS exchange with the reference service through plain WinHTTP (not the
// module's transport), with the platform's default certificate checks.
#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <string>

struct Exchange {
    DWORD error = 0;  // the failing call's error, 0 when an answer arrived
    DWORD status = 0;
    std::string body;
};

Exchange Send(uint16_t port, const std::wstring& method, const std::wstring& target, const std::wstring& headers,
              const std::string& body);

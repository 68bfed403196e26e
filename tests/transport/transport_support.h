#pragma once
// Small helpers shared by the transport and executor tests.

#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <string>

namespace transport_test {

// A loopback port on which nothing listens: bound, read back, released.
inline uint16_t ClosedPort() {
    WSADATA data;
    ::WSAStartup(MAKEWORD(2, 2), &data);
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    int length = sizeof(addr);
    ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &length);
    ::closesocket(s);
    ::WSACleanup();
    return ntohs(addr.sin_port);
}

}  // namespace transport_test

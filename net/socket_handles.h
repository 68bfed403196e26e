#pragma once
// Owners of Winsock's own handle kinds: a socket and a socket event. Used by
// the module's own TLS client and by the test listeners that play silent
// services.

#include <winsock2.h>

#include "common/unique_any.h"

namespace handle_traits {
struct Socket {
    using pointer = SOCKET;
    static constexpr pointer invalid() noexcept { return INVALID_SOCKET; }
    static void close(pointer s) noexcept { ::closesocket(s); }
};

struct WsaEvent {
    using pointer = WSAEVENT;
    static constexpr pointer invalid() noexcept { return WSA_INVALID_EVENT; }
    static void close(pointer e) noexcept { ::WSACloseEvent(e); }
};
}  // namespace handle_traits

using unique_socket = unique_any<handle_traits::Socket>;
using unique_wsaevent = unique_any<handle_traits::WsaEvent>;

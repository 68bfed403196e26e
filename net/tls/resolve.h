#pragma once
// Name resolution for the module's own TLS client (net/builtin_tls.cpp). The
// system resolver can hang far beyond any bound, so it runs detached
// (net/detached_call.h): the request stops waiting for it at the deadline or
// on Abort.

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdint>
#include <string>

#include "common/unique_any.h"
#include "net/tls/deadline.h"

struct AddrInfoTraits {
    using pointer = addrinfo*;
    static constexpr pointer invalid() noexcept { return nullptr; }
    static void close(pointer a) noexcept { ::freeaddrinfo(a); }
};
using unique_addrinfo = unique_any<AddrInfoTraits>;

// The addresses of `host` (waiting until `deadline`, or until `cancel` is
// signalled); throws CINetException 12007, 12002 or 12017, and
// CVynException(UnexpectedError) when the lookup cannot be started.
unique_addrinfo Resolve(const std::string& host, uint16_t port, const Deadline& deadline, HANDLE cancel);

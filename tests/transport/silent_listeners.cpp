#include "tests/transport/silent_listeners.h"

#include <ws2tcpip.h>

namespace silent {
namespace {

// Winsock for the listeners themselves, whoever else started it.
void StartWinsock() {
    static const bool started = [] {
        WSADATA data;
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    (void)started;
}

sockaddr_in Loopback(uint16_t port) {
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

// A socket listening on an ephemeral loopback port; its port in `port`.
unique_socket Listen(int backlog, uint16_t& port) {
    StartWinsock();
    unique_socket s(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (!s) return s;
    sockaddr_in address = Loopback(0);
    int length = sizeof(address);
    if (::bind(s.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::listen(s.get(), backlog) != 0 ||
        ::getsockname(s.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return unique_socket();
    }
    port = ntohs(address.sin_port);
    return s;
}

// Starts a non-blocking connection to the port; whether it was answered
// within `waitMs`. The socket is kept either way.
bool ConnectAnswered(uint16_t port, DWORD waitMs, unique_socket& out) {
    out.reset(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (!out) return false;
    u_long nonBlocking = 1;
    ::ioctlsocket(out.get(), FIONBIO, &nonBlocking);
    const sockaddr_in address = Loopback(port);
    if (::connect(out.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0) return true;
    if (::WSAGetLastError() != WSAEWOULDBLOCK) return false;
    fd_set writable;
    FD_ZERO(&writable);
    FD_SET(out.get(), &writable);
    timeval timeout = {0, static_cast<long>(waitMs * 1000)};
    return ::select(0, nullptr, &writable, nullptr, &timeout) == 1;
}

}  // namespace

NeverAcceptingListener::NeverAcceptingListener() {
    uint16_t port = 0;
    listener_ = Listen(1, port);
    if (!listener_) return;
    // The kernel completes connections into the accept queue until it is
    // full; from then on it drops the connection requests unanswered.
    for (int i = 0; i < 64 && !full_; ++i) {
        unique_socket filler;
        full_ = !ConnectAnswered(port, 300, filler);
        fillers_.push_back(std::move(filler));
    }
    if (full_) port_ = port;
}

NoTlsListener::NoTlsListener() {
    listener_ = Listen(SOMAXCONN, port_);
    if (!listener_) {
        port_ = 0;
        return;
    }
    thread_.reset(::CreateThread(nullptr, 0, AcceptLoop, this, 0, nullptr));
    if (!thread_) port_ = 0;
}

NoTlsListener::~NoTlsListener() {
    stopping_.store(true);
    if (thread_) ::WaitForSingleObject(thread_.get(), INFINITE);
}

DWORD WINAPI NoTlsListener::AcceptLoop(LPVOID parameter) {
    auto* self = static_cast<NoTlsListener*>(parameter);
    while (!self->stopping_.load()) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(self->listener_.get(), &readable);
        timeval tick = {0, 100 * 1000};
        if (::select(0, &readable, nullptr, nullptr, &tick) != 1) continue;
        unique_socket connection(::accept(self->listener_.get(), nullptr, nullptr));
        if (!connection) continue;
        self->held_.push_back(std::move(connection));
        self->accepted_.fetch_add(1);
    }
    return 0;
}

}  // namespace silent

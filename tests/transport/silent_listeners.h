#pragma once
// Loopback listeners that never answer, for the fault matrix of silent
// services: each binds an ephemeral port on 127.0.0.1 in this (Wine) process.
//
//  - NeverAcceptingListener: its accept queue is filled with connections of
//    its own that it never accepts, so a further client's connection attempt
//    is not answered at all (the connection time-out).
//  - NoTlsListener: accepts TCP connections and holds them without reading or
//    writing a byte, so a client's TLS handshake never completes.

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <vector>

#include "common/handles.h"
#include "net/socket_handles.h"

namespace silent {

class NeverAcceptingListener {
public:
    NeverAcceptingListener();
    NeverAcceptingListener(const NeverAcceptingListener&) = delete;
    NeverAcceptingListener& operator=(const NeverAcceptingListener&) = delete;

    // 0 when the listener could not be set up.
    uint16_t Port() const { return port_; }
    // Whether the queue was seen full: a probe connection went unanswered.
    bool QueueFull() const { return full_; }

private:
    unique_socket listener_;
    std::vector<unique_socket> fillers_;
    uint16_t port_ = 0;
    bool full_ = false;
};

class NoTlsListener {
public:
    NoTlsListener();
    ~NoTlsListener();
    NoTlsListener(const NoTlsListener&) = delete;
    NoTlsListener& operator=(const NoTlsListener&) = delete;

    uint16_t Port() const { return port_; }
    // Connections accepted so far (one per attempt of the client).
    int Accepted() const { return accepted_.load(); }

private:
    static DWORD WINAPI AcceptLoop(LPVOID self);

    unique_socket listener_;
    uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<int> accepted_{0};
    std::vector<unique_socket> held_;  // touched by the accept thread only
    unique_handle thread_;
};

}  // namespace silent

#pragma once
// The module's own HTTPS client: TLS 1.2 / 1.3 over Winsock with the TLS
// library built into the module, for systems whose own TLS (SChannel, and so
// WinHTTP 5.1 on XP x64 / Server 2003 x64) stops at TLS 1.0. It sends the same
// request as the WinHTTP path and fails with the WinHTTP code of the
// equivalent failure, so the executor, the log and fail-open cannot tell which
// client served.
//
// Trust is the machine's: the chain is verified by the TLS library against the
// local machine's "ROOT" store, must name the host and be inside its validity;
// a certificate of the chain found in the local machine's "Disallowed" store
// is refused. No revocation check (the system's TLS path makes none either).
//
// The machine's WinHTTP proxy configuration is followed (HTTP CONNECT tunnel,
// no proxy credentials). Winsock is started by the caller.

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "common/critical_section.h"
#include "common/handles.h"
#include "net/https_types.h"
#include "net/tls_client.h"

struct PeerChain;

class CBuiltinTlsClient final : public ITlsClient {
public:
    CBuiltinTlsClient();
    ~CBuiltinTlsClient();
    CBuiltinTlsClient(const CBuiltinTlsClient&) = delete;
    CBuiltinTlsClient& operator=(const CBuiltinTlsClient&) = delete;

    // Sends `request` and appends the answer's body bytes to `response`;
    // returns the HTTP status (a status other than 200 is logged, and
    // returned). Redirects are not followed. Failures are logged and thrown as
    // CINetException with the WinHTTP code of the equivalent failure; local
    // failures (randomness, the TLS library) as CVynException(UnexpectedError).
    // The connection is kept for the next request to the same host and port.
    int32_t Send(const HttpsRequest& request, std::string& response) override;

    // Any thread: ends the Send in progress at once (its socket is shut down
    // and its waits end); that Send throws CINetException(12017). Abort acts on
    // a Send that is running when it is called, and on none later: a Send
    // started after Abort returned runs normally.
    void Abort() override;
    const std::string& AnswerContentType() const noexcept override { return contentType_; }

    // True once this object completed a TLS handshake with a server.
    bool HandshakeCompleted() const { return handshakeCompleted_.load(); }
    // The TLS version of the last completed handshake ("TLSv1.3"), "" before
    // one; for the Send thread (vyn-check names it).
    const std::string& TlsVersion() const noexcept { return tlsVersion_; }
    // From the next handshake on, the chain the server sends and the
    // library's verdict on it are kept in `into` (vyn-check's certificate
    // probe, net/tls/peer_chain.h), which must outlive this client.
    void RecordPeerChain(PeerChain* into) noexcept { peerChain_ = into; }

    struct Connection;  // the socket with its TLS session (net/builtin_tls.cpp)

private:
    int32_t Exchange(const HttpsRequest& request, std::string& response, bool reused);
    void Open(const HttpsRequest& request);
    void Close() noexcept;
    // `ms` cut to what is left of the current Send's deadline (INFINITE:
    // unbounded); 0 once it has passed.
    DWORD WithinAttempt(DWORD ms) const;

    std::unique_ptr<Connection> connection_;  // the Send thread's; its socket also in activeSocket_
    CCriticalSection lock_;                  // guards the four members below against Abort
    unique_handle cancelEvent_;              // manual reset: set by Abort, reset as a Send starts
    UINT_PTR activeSocket_ = ~UINT_PTR(0);   // the socket Abort shuts down (INVALID_SOCKET: none)
    bool sending_ = false;
    bool aborted_ = false;
    std::atomic<bool> handshakeCompleted_{false};
    std::string tlsVersion_;
    std::string contentType_;  // of the last answer (the Send thread's)
    PeerChain* peerChain_ = nullptr;
    // The deadline of the Send in progress (the Send thread's): a
    // whole-exchange request as a whole may take its bound plus
    // kDeadlineSlackMs, over all its waits, a retry on a stale kept
    // connection included. attemptMs_ INFINITE: no such deadline.
    DWORD attemptStarted_ = 0;
    DWORD attemptMs_ = INFINITE;
};

// The module's own HTTPS client (see net/builtin_tls.h): Winsock I/O with every
// wait bounded and cancellable, an optional proxy tunnel, a TLS session of the
// TLS library verified against the machine's trust stores, and HTTP/1.1 with a
// kept connection.
#include <winsock2.h>
#include <ws2tcpip.h>

#include "net/builtin_tls.h"

#include <mbedtls/net_sockets.h>
#include <mbedtls/ssl.h>
// This header of the library's 3.6 line lacks the C linkage block its others have.
extern "C" {
#include <mbedtls/psa_util.h>
}

#include <cstdio>
#include <cstring>
#include <functional>
#include <utility>
#include <vector>

#include "config/config.h"
#include "diag/errors.h"
#include "diag/log.h"
#include "net/http_framing.h"
#include "net/tls/deadline.h"
#include "net/tls/machine_trust.h"
#include "net/tls/name_checks.h"
#include "net/tls/peer_chain.h"
#include "net/tls/proxy.h"
#include "net/tls/resolve.h"
#include "net/socket_handles.h"
#include "net/tls/tls_platform.h"
#include "net/winhttp_error.h"

namespace {

// WinHTTP's codes for the failures of this client, so that the log, the
// events and fail-open read the same whichever client served.
constexpr DWORD kCannotConnect = 12029;      // ERROR_WINHTTP_CANNOT_CONNECT
constexpr DWORD kTimeout = 12002;            // ERROR_WINHTTP_TIMEOUT
constexpr DWORD kNameNotResolved = 12007;    // ERROR_WINHTTP_NAME_NOT_RESOLVED
constexpr DWORD kCertificateRefused = 12175; // ERROR_WINHTTP_SECURE_FAILURE
constexpr DWORD kHandshakeFailed = 12157;    // ERROR_WINHTTP_SECURE_CHANNEL_ERROR
constexpr DWORD kCancelled = 12017;          // ERROR_WINHTTP_OPERATION_CANCELLED
constexpr DWORD kConnectionBroken = 12030;   // ERROR_WINHTTP_CONNECTION_ERROR
constexpr DWORD kInvalidResponse = 12152;    // ERROR_WINHTTP_INVALID_SERVER_RESPONSE

// Bounds used when the caller sets none of its own (time-out 0): WinHTTP's
// defaults, so both clients give up on a silent service at the same time.
constexpr DWORD kDefaultConnectMs = 60000;
constexpr DWORD kDefaultExchangeMs = 30000;

// The signature schemes offered, PKCS#1 v1.5 before PSS. A TLS 1.2 server
// takes the first scheme it can use, and the TLS 1.2 code of the library's
// 3.6.6 release refuses a ServerKeyExchange signed with PSS (an upstream
// regression), while a TLS 1.3 server may not use PKCS#1 v1.5 and so takes
// PSS. With the library's own order (PSS first) every TLS 1.2 server with an
// RSA key would fail the handshake.
const uint16_t kSignatureSchemes[] = {
    MBEDTLS_TLS1_3_SIG_ECDSA_SECP256R1_SHA256, MBEDTLS_TLS1_3_SIG_ECDSA_SECP384R1_SHA384,
    MBEDTLS_TLS1_3_SIG_ECDSA_SECP521R1_SHA512, MBEDTLS_TLS1_3_SIG_RSA_PKCS1_SHA256,
    MBEDTLS_TLS1_3_SIG_RSA_PKCS1_SHA384,       MBEDTLS_TLS1_3_SIG_RSA_PKCS1_SHA512,
    MBEDTLS_TLS1_3_SIG_RSA_PSS_RSAE_SHA256,    MBEDTLS_TLS1_3_SIG_RSA_PSS_RSAE_SHA384,
    MBEDTLS_TLS1_3_SIG_RSA_PSS_RSAE_SHA512,    MBEDTLS_TLS1_3_SIG_NONE,
};

// A proxy's answer to CONNECT larger than this is not an answer of a proxy.
constexpr size_t kMaxConnectAnswerBytes = 64 * 1024;

// Why a wait or a socket call of the current step ended without its data.
enum class Stop { None, Timeout, Cancelled, Closed, Broken };

DWORD CodeFor(Stop stop, DWORD otherwise) {
    switch (stop) {
        case Stop::Timeout: return kTimeout;
        case Stop::Cancelled: return kCancelled;
        default: return otherwise;
    }
}

}  // namespace

// --- The connection --------------------------------------------------------

struct CBuiltinTlsClient::Connection {
    Connection() {
        mbedtls_ssl_init(&ssl);
        mbedtls_ssl_config_init(&config);
    }
    ~Connection() {
        mbedtls_ssl_free(&ssl);
        mbedtls_ssl_config_free(&config);
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    std::string host;
    uint16_t port = 0;
    std::string proxyName;  // "host:port" of the proxy tunnelled through, "" when direct
    unique_socket socket;
    unique_wsaevent socketEvent;
    HANDLE cancel = nullptr;  // the client's cancel event
    MachineTrust trust;
    mbedtls_ssl_config config;
    mbedtls_ssl_context ssl;

    // The current step's bound, and how its last socket call ended.
    Deadline deadline;
    Stop stop = Stop::None;
    int socketError = 0;
    bool probing = false;  // a read that must not wait (the idle check of a kept connection)
    size_t rawBytesSent = 0;  // bytes handed to the socket, counted for the request being written
    // Whether the TLS session may end with our close_notify: a completed
    // handshake, and no record left half written (ending one would flush the
    // rest of a request already given up on).
    bool canNotify = false;

    bool CancelSignalled() const { return ::WaitForSingleObject(cancel, 0) == WAIT_OBJECT_0; }

    // How a socket call that ended without data is reported: the client shut
    // the socket down itself on Abort, so once the cancel event is set every
    // such end is the cancel, whatever the socket said.
    void Ended(Stop how, int error) {
        stop = CancelSignalled() ? Stop::Cancelled : how;
        if (stop == Stop::Broken) socketError = error;
    }

    // Waits until the socket may be ready for `events` again; false (with stop
    // set) at the deadline or on Abort.
    bool WaitForSocket() {
        const WSAEVENT waits[2] = {socketEvent.get(), cancel};
        const DWORD waited = ::WSAWaitForMultipleEvents(2, waits, FALSE, deadline.Remaining(), FALSE);
        if (waited == WSA_WAIT_EVENT_0) {
            WSANETWORKEVENTS happened;
            ::WSAEnumNetworkEvents(socket.get(), socketEvent.get(), &happened);  // resets the event
            return true;
        }
        if (waited == WSA_WAIT_EVENT_0 + 1) {
            stop = Stop::Cancelled;
        } else if (waited == WSA_WAIT_TIMEOUT) {
            stop = Stop::Timeout;
        } else {
            Ended(Stop::Broken, static_cast<int>(::WSAGetLastError()));
        }
        return false;
    }

    // Raw socket I/O with the step's bound; >0 bytes, 0 at the peer's close,
    // <0 with stop set.
    int RawSend(const unsigned char* data, size_t length) {
        for (;;) {
            if (::WaitForSingleObject(cancel, 0) == WAIT_OBJECT_0) {
                stop = Stop::Cancelled;
                return -1;
            }
            const int chunk = length > 0x10000 ? 0x10000 : static_cast<int>(length);
            const int sent = ::send(socket.get(), reinterpret_cast<const char*>(data), chunk, 0);
            if (sent >= 0) {
                rawBytesSent += static_cast<size_t>(sent);
                return sent;
            }
            const int error = ::WSAGetLastError();
            if (error != WSAEWOULDBLOCK) {
                Ended(Stop::Broken, error);
                return -1;
            }
            if (!WaitForSocket()) return -1;
        }
    }

    // `flags` MSG_PEEK: the bytes stay queued for the next read.
    int RawRecv(unsigned char* data, size_t length, int flags = 0) {
        for (;;) {
            if (::WaitForSingleObject(cancel, 0) == WAIT_OBJECT_0) {
                stop = Stop::Cancelled;
                return -1;
            }
            const int chunk = length > 0x10000 ? 0x10000 : static_cast<int>(length);
            const int received = ::recv(socket.get(), reinterpret_cast<char*>(data), chunk, flags);
            if (received > 0) return received;
            if (received == 0) {
                Ended(Stop::Closed, 0);
                return stop == Stop::Closed ? 0 : -1;
            }
            const int error = ::WSAGetLastError();
            if (error != WSAEWOULDBLOCK) {
                Ended(Stop::Broken, error);
                return -1;
            }
            if (probing) return MBEDTLS_ERR_SSL_WANT_READ;
            if (!WaitForSocket()) return -1;
        }
    }

    static int BioSend(void* self, const unsigned char* data, size_t length) {
        const int sent = static_cast<Connection*>(self)->RawSend(data, length);
        return sent < 0 ? MBEDTLS_ERR_NET_SEND_FAILED : sent;
    }

    static int BioRecv(void* self, unsigned char* data, size_t length) {
        const int received = static_cast<Connection*>(self)->RawRecv(data, length);
        if (received == MBEDTLS_ERR_SSL_WANT_READ) return received;
        return received < 0 ? MBEDTLS_ERR_NET_RECV_FAILED : received;
    }
};

namespace {

// Connects to one of `addresses`; throws 12029, 12002 or 12017 naming `what`.
void ConnectSocket(CBuiltinTlsClient::Connection& c, addrinfo* addresses, const std::string& what,
                   const std::function<void(SOCKET)>& publish) {
    int lastError = 0;
    for (addrinfo* a = addresses; a; a = a->ai_next) {
        unique_socket s(::socket(a->ai_family, a->ai_socktype, a->ai_protocol));
        if (!s) {
            lastError = ::WSAGetLastError();
            continue;
        }
        unique_wsaevent event(::WSACreateEvent());
        if (!event) {
            LogSocketFailure("WSACreateEvent");
            throw CVynException(UnexpectedError, std::string());
        }
        // The request goes out in one write and must not wait for the
        // previous segment's acknowledgement.
        const BOOL noDelay = TRUE;
        if (::setsockopt(s.get(), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay),
                         sizeof(noDelay)) != 0 ||
            ::WSAEventSelect(s.get(), event.get(), FD_CONNECT | FD_READ | FD_WRITE | FD_CLOSE) != 0) {
            LogSocketFailure("setsockopt/WSAEventSelect");
            throw CVynException(UnexpectedError, std::string());
        }
        c.socket = std::move(s);
        c.socketEvent = std::move(event);
        publish(c.socket.get());
        if (::connect(c.socket.get(), a->ai_addr, static_cast<int>(a->ai_addrlen)) == 0) return;
        lastError = ::WSAGetLastError();
        if (lastError == WSAEWOULDBLOCK) {
            const WSAEVENT waits[2] = {c.socketEvent.get(), c.cancel};
            for (;;) {
                const DWORD waited = ::WSAWaitForMultipleEvents(2, waits, FALSE, c.deadline.Remaining(), FALSE);
                if (waited == WSA_WAIT_EVENT_0 + 1) ThrowWinHttpError(what, kCancelled);
                if (waited == WSA_WAIT_TIMEOUT) ThrowWinHttpError(what, kTimeout);
                WSANETWORKEVENTS happened = {};
                if (waited != WSA_WAIT_EVENT_0 ||
                    ::WSAEnumNetworkEvents(c.socket.get(), c.socketEvent.get(), &happened) != 0) {
                    lastError = ::WSAGetLastError();
                    break;
                }
                if (happened.lNetworkEvents & FD_CONNECT) {
                    lastError = happened.iErrorCode[FD_CONNECT_BIT];
                    if (lastError == 0) return;
                    break;
                }
            }
        }
        if (gDebugLogging) LogMessage("DEBUG: " + what + ": connect failed (" + std::to_string(lastError) + ")");
        if (c.CancelSignalled()) ThrowWinHttpError(what, kCancelled);
        publish(INVALID_SOCKET);
        c.socketEvent.reset();
        c.socket.reset();
    }
    ThrowWinHttpError(what, kCannotConnect);
}

// Sends all of `data` on the raw socket (the proxy's CONNECT request).
void SendRaw(CBuiltinTlsClient::Connection& c, const std::string& data, const std::string& what) {
    size_t done = 0;
    while (done < data.size()) {
        const int sent = c.RawSend(reinterpret_cast<const unsigned char*>(data.data()) + done, data.size() - done);
        if (sent <= 0) ThrowWinHttpError(what, CodeFor(c.stop, kCannotConnect));
        done += static_cast<size_t>(sent);
    }
}

// Opens the tunnel to host:port through the proxy `proxyName`. Any answer but
// a 2xx, or one that is not HTTP, is a connection failure naming the proxy.
void OpenTunnel(CBuiltinTlsClient::Connection& c, const HttpsRequest& request) {
    const std::string target = HostPort(request.host, request.port);
    const std::string what = "CONNECT to " + target + " through proxy " + c.proxyName;
    SendRaw(c, "CONNECT " + target + " HTTP/1.1\r\nHost: " + target + "\r\nUser-Agent: " + request.userAgent +
                   "\r\n\r\n",
            what);
    // The answer is read to the end of its header block and no further: the
    // bytes after it belong to the TLS session. So each block is looked at
    // first, and only its part up to that end taken from the socket.
    std::string answer;
    for (bool complete = false; !complete;) {
        if (answer.size() >= kMaxConnectAnswerBytes) {
            LogMessage("ERROR: The proxy " + c.proxyName + " answered the tunnel request to " + target +
                       " with more than " + std::to_string(kMaxConnectAnswerBytes) + " bytes of headers");
            ThrowWinHttpError(what, kCannotConnect);
        }
        unsigned char block[4096];
        const int peeked = c.RawRecv(block, sizeof(block), MSG_PEEK);
        if (peeked <= 0) {
            if (c.stop == Stop::Timeout || c.stop == Stop::Cancelled) ThrowWinHttpError(what, CodeFor(c.stop, 0));
            LogMessage("ERROR: The proxy " + c.proxyName + " closed the connection instead of opening a tunnel to " +
                       target);
            ThrowWinHttpError(what, kCannotConnect);
        }
        const size_t before = answer.size();
        answer.append(reinterpret_cast<const char*>(block), static_cast<size_t>(peeked));
        const size_t end = answer.find("\r\n\r\n", before < 3 ? 0 : before - 3);
        if (end != std::string::npos) {
            answer.resize(end + 4);
            complete = true;
        }
        // The bytes looked at are queued already: this read does not wait.
        const size_t take = answer.size() - before;
        for (size_t taken = 0; taken < take;) {
            const int received = c.RawRecv(block, take - taken);
            if (received <= 0) ThrowWinHttpError(what, CodeFor(c.stop, kCannotConnect));
            taken += static_cast<size_t>(received);
        }
    }
    const std::string statusLine = answer.substr(0, answer.find("\r\n"));
    const int status = ParseStatusLine(statusLine);
    if (status < 200 || status > 299) {
        std::string shown = statusLine.substr(0, 200);
        for (char& ch : shown) {
            if (static_cast<unsigned char>(ch) < 0x20 || static_cast<unsigned char>(ch) > 0x7e) ch = '?';
        }
        LogMessage("ERROR: The proxy " + c.proxyName + " refused the tunnel to " + target + ": \"" + shown + "\"");
        ThrowWinHttpError(what, kCannotConnect);
    }
}

// The library's code, the verification flags and the socket's last error,
// for the debug log only: the user's message and the error line keep the
// WinHTTP form.
void DebugTlsFailure(const std::string& what, int code, uint32_t flags, int socketError = 0) {
    if (!gDebugLogging) return;
    char text[96];
    std::snprintf(text, sizeof(text), "-0x%04X, verification flags 0x%08lX, socket error %d",
                  static_cast<unsigned>(-code), static_cast<unsigned long>(flags), socketError);
    LogMessage("DEBUG: " + what + " failed in the TLS library (" + text + ")");
}

// Thrown inside Send when a kept connection turns out to have been closed by
// the server before a byte of this request was written: the request is made
// on a new connection. Once a byte has gone out the server may have the
// request, so any later failure is the attempt's own, for the executor to
// count; it is never sent again here.
struct StaleConnection {};

}  // namespace

// --- The client ------------------------------------------------------------

CBuiltinTlsClient::CBuiltinTlsClient() {
    cancelEvent_.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!cancelEvent_) LogSystemCallFailure("CreateEventW", ::GetLastError());
}

CBuiltinTlsClient::~CBuiltinTlsClient() { Close(); }

void CBuiltinTlsClient::Abort() {
    const CCriticalSectionLock lock(lock_);
    if (sending_) {
        aborted_ = true;
        if (cancelEvent_) ::SetEvent(cancelEvent_.get());
        // Ends a blocked call of the Send thread at once; the socket itself
        // stays the Send thread's to close.
        if (activeSocket_ != INVALID_SOCKET) ::shutdown(static_cast<SOCKET>(activeSocket_), SD_BOTH);
    }
}

DWORD CBuiltinTlsClient::WithinAttempt(DWORD ms) const {
    if (attemptMs_ == INFINITE) return ms;
    const DWORD elapsed = ::GetTickCount() - attemptStarted_;  // unsigned: correct across the wrap
    const DWORD left = elapsed >= attemptMs_ ? 0 : attemptMs_ - elapsed;
    return ms < left ? ms : left;  // INFINITE is the largest value, so "no bound" yields to the deadline
}

void CBuiltinTlsClient::Close() noexcept {
    if (connection_ && connection_->canNotify) {
        // The TLS session ends with our close_notify, so the server can tell
        // our end from a connection cut on the path. Sent only if the socket
        // takes it at once: closing never waits for the server.
        connection_->deadline = Deadline::In(0);
        mbedtls_ssl_close_notify(&connection_->ssl);
    }
    {
        const CCriticalSectionLock lock(lock_);
        activeSocket_ = INVALID_SOCKET;
    }
    connection_.reset();
}

int32_t CBuiltinTlsClient::Send(const HttpsRequest& request, std::string& response) {
    if (!cancelEvent_) throw CVynException(UnexpectedError, std::string());
    if (!EnsureTlsLibrary()) throw CVynException(UnexpectedError, std::string());
    // Each wait has its own bound, but resolving then connecting, or an
    // answer trickled one byte inside each read's bound, would add up without
    // end: a whole-exchange request also gets one deadline for all of them,
    // the same as the WinHTTP path gives it.
    attemptStarted_ = ::GetTickCount();
    attemptMs_ = request.scope == TimeoutScope::WholeExchange && request.timeoutSeconds > 0
                     ? static_cast<DWORD>(request.timeoutSeconds) * 1000u + kDeadlineSlackMs
                     : INFINITE;
    bool cancelledBefore = false;
    {
        const CCriticalSectionLock lock(lock_);
        sending_ = true;
        aborted_ = false;
        ::ResetEvent(cancelEvent_.get());
        // From here an Abort reaches this Send; a cancel that came before it
        // ends it here, before anything is written (a kept connection stays).
        cancelledBefore = ExchangeCancelled(request);
    }
    struct SendingFlag {
        CBuiltinTlsClient& client;
        ~SendingFlag() {
            const CCriticalSectionLock lock(client.lock_);
            client.sending_ = false;
        }
    } sendingFlag{*this};
    if (cancelledBefore) ThrowWinHttpError("Sending the request to " + HostPort(request.host, request.port), kCancelled);

    try {
        if (connection_ && (connection_->host != request.host || connection_->port != request.port)) Close();
        if (connection_) {
            try {
                return Exchange(request, response, true);
            } catch (const StaleConnection&) {
                if (gDebugLogging) {
                    LogMessage("DEBUG: The kept connection to " + HostPort(request.host, request.port) +
                               " was closed by the server; opening a new one");
                }
                Close();
            }
        }
        Open(request);
        return Exchange(request, response, false);
    } catch (...) {
        // Any failure ends the connection: the next request starts clean.
        Close();
        throw;
    }
}

void CBuiltinTlsClient::Open(const HttpsRequest& request) {
    // The connection is the client's from the start, so that any failure
    // below closes its socket through Close(), which Abort is kept out of.
    connection_ = std::make_unique<Connection>();
    Connection* c = connection_.get();
    c->host = request.host;
    c->port = request.port;
    c->cancel = cancelEvent_.get();
    // The whole set-up (name resolution, TCP connect, proxy tunnel and TLS
    // handshake) shares one bound in both scopes: it is the "connection" that
    // a connect-only time-out is meant to bound, and a service that does not
    // complete its handshake is as dead as one that does not accept. Only the
    // exchange after it waits without bound in the connect-only scope, unless
    // the request bounds its answer. A whole-exchange request's deadline cuts
    // this bound too.
    c->deadline = DeadlineFor(WithinAttempt(BoundMs(request.timeoutSeconds, kDefaultConnectMs)));

    const ProxyServer proxy = MachineProxyFor(request.host, request.port);
    if (!proxy.host.empty()) c->proxyName = HostPort(proxy.host, proxy.port);
    const std::string& dialHost = proxy.host.empty() ? request.host : proxy.host;
    const uint16_t dialPort = proxy.host.empty() ? request.port : proxy.port;

    unique_addrinfo addresses = Resolve(dialHost, dialPort, c->deadline, c->cancel);
    const std::string connectWhat =
        proxy.host.empty() ? "Connection to " + HostPort(dialHost, dialPort) : "Connection to proxy " + c->proxyName;
    ConnectSocket(*c, addresses.get(), connectWhat, [this](SOCKET s) {
        const CCriticalSectionLock lock(lock_);
        activeSocket_ = s;
        // An Abort that came before the socket existed has set the cancel
        // event, which every later wait of this Send sees.
        if (aborted_ && s != INVALID_SOCKET) ::shutdown(s, SD_BOTH);
    });
    Connection& conn = *c;
    if (!proxy.host.empty()) OpenTunnel(conn, request);

    const std::string what = "TLS handshake with " + HostPort(request.host, request.port);
    int rc = mbedtls_ssl_config_defaults(&conn.config, MBEDTLS_SSL_IS_CLIENT, MBEDTLS_SSL_TRANSPORT_STREAM,
                                         MBEDTLS_SSL_PRESET_DEFAULT);
    if (rc == 0) {
        mbedtls_ssl_conf_min_tls_version(&conn.config, MBEDTLS_SSL_VERSION_TLS1_2);
        mbedtls_ssl_conf_max_tls_version(&conn.config, MBEDTLS_SSL_VERSION_TLS1_3);
        mbedtls_ssl_conf_authmode(&conn.config, MBEDTLS_SSL_VERIFY_REQUIRED);
        mbedtls_ssl_conf_sig_algs(&conn.config, kSignatureSchemes);
        mbedtls_ssl_conf_rng(&conn.config, mbedtls_psa_get_random, MBEDTLS_PSA_RANDOM_STATE);
        conn.trust.Attach(&conn.config, request.host);
        conn.trust.BoundRootFetch(&conn.deadline, conn.cancel);
        rc = mbedtls_ssl_setup(&conn.ssl, &conn.config);
        if (rc == 0 && peerChain_ != nullptr) peerChain_->Attach(&conn.ssl, &conn.config);
    }
    // A DNS name is sent as the SNI; an address never is, as Windows sends
    // none for it. The trust checks the leaf names the host either way.
    if (rc == 0) {
        rc = mbedtls_ssl_set_hostname(&conn.ssl, AddressBytes(request.host).empty() ? request.host.c_str() : nullptr);
    }
    if (rc != 0) {
        DebugTlsFailure(what, rc, 0);
        throw CVynException(UnexpectedError, std::string());
    }
    mbedtls_ssl_set_bio(&conn.ssl, &conn, Connection::BioSend, Connection::BioRecv, nullptr);

    conn.stop = Stop::None;
    rc = mbedtls_ssl_handshake(&conn.ssl);
    if (peerChain_ != nullptr) peerChain_->handshakeResult = rc;
    if (rc != 0) {
        const uint32_t flags = mbedtls_ssl_get_verify_result(&conn.ssl);
        DebugTlsFailure(what, rc, flags, conn.socketError);
        if (conn.stop == Stop::Timeout || conn.stop == Stop::Cancelled) ThrowWinHttpError(what, CodeFor(conn.stop, 0));
        // Windows' search for the root, left behind at the deadline or on Abort.
        if (const DWORD stopped = conn.trust.RootFetchStopped()) {
            ThrowWinHttpError(what, conn.CancelSignalled() ? kCancelled : stopped);
        }
        // Any problem of the server's certificates, as Windows reports it:
        // among them every failure of the step that reads them, short of the
        // connection's own end.
        const bool atCertificates = conn.stop == Stop::None && rc != MBEDTLS_ERR_SSL_FATAL_ALERT_MESSAGE &&
                                    conn.ssl.MBEDTLS_PRIVATE(state) == MBEDTLS_SSL_SERVER_CERTIFICATE;
        if (conn.trust.CertificateRefused(rc, flags, atCertificates)) ThrowWinHttpError(what, kCertificateRefused);
        // Everything else, including a server that drops the connection on
        // our hello (no common version or suite): the handshake failed.
        ThrowWinHttpError(what, kHandshakeFailed);
    }
    handshakeCompleted_ = true;
    conn.canNotify = true;
    tlsVersion_ = mbedtls_ssl_get_version(&conn.ssl);
    if (gDebugLogging) {
        LogMessage("DEBUG: Connected to " + HostPort(request.host, request.port) +
                   " through the module's own TLS client (" + mbedtls_ssl_get_version(&conn.ssl) + ")" +
                   (conn.proxyName.empty() ? std::string() : " via proxy " + conn.proxyName));
    }
}

int32_t CBuiltinTlsClient::Exchange(const HttpsRequest& request, std::string& response, bool reused) {
    Connection& c = *connection_;
    const std::string where = HostPort(request.host, request.port);
    const DWORD exchangeMs = request.scope == TimeoutScope::WholeExchange
                                 ? BoundMs(request.timeoutSeconds, kDefaultExchangeMs)
                                 : (request.timeoutSeconds == 0 ? kDefaultExchangeMs : INFINITE);
    // A status poll bounds its answer whatever the scope says: the service
    // holds polls open by design, and a held poll must end in our time, not
    // the platform's.
    const DWORD answerMs = request.answerSeconds > 0 ? static_cast<DWORD>(request.answerSeconds) * 1000u : exchangeMs;

    if (reused) {
        // A kept connection the server has closed while idle shows as a
        // readable end of stream (or an alert): checked without waiting.
        c.probing = true;
        c.stop = Stop::None;
        unsigned char probe = 0;
        const int rc = mbedtls_ssl_read(&c.ssl, &probe, 1);
        c.probing = false;
        if (c.stop == Stop::Cancelled) ThrowWinHttpError("Sending the request to " + where, kCancelled);
        if (rc != MBEDTLS_ERR_SSL_WANT_READ) throw StaleConnection();
    }

    // The request as the WinHTTP path writes it, in the order WinHTTP writes
    // its lines: the content type (a form post with a body only), User-Agent,
    // Host (with the port when it is not 443), the length whenever there is a
    // body, Connection: Keep-Alive and the two no-cache lines of that path's
    // refresh flag, then the caller's lines (the Authorization line).
    std::string wire = request.method + " " + request.objectName + " HTTP/1.1\r\n";
    if (request.method == "POST" && !request.body.empty()) {
        wire += "Content-Type: application/x-www-form-urlencoded\r\n";
    }
    wire += "User-Agent: " + request.userAgent + "\r\n";
    wire += "Host: " + (request.port == 443 ? request.host : where) + "\r\n";
    if (!request.body.empty()) wire += "Content-Length: " + std::to_string(request.body.size()) + "\r\n";
    wire += "Connection: Keep-Alive\r\nPragma: no-cache\r\nCache-Control: no-cache\r\n";
    wire += request.headers;
    wire += "\r\n";
    wire.append(request.body);  // bytes, appended by length

    // Headers and body in one write: one TLS record per 16 KB, and on a
    // TCP_NODELAY socket no wait for the acknowledgement of a first segment.
    const std::string sendWhat = "Sending the request to " + where;
    c.deadline = DeadlineFor(WithinAttempt(exchangeMs));
    c.rawBytesSent = 0;
    c.canNotify = false;
    size_t sent = 0;
    while (sent < wire.size()) {
        c.stop = Stop::None;
        const int rc = mbedtls_ssl_write(&c.ssl, reinterpret_cast<const unsigned char*>(wire.data()) + sent,
                                         wire.size() - sent);
        if (rc <= 0) {
            // Refused before a single byte left: the kept connection was gone
            // already, and the request may be made on a new one.
            if (reused && c.rawBytesSent == 0 && (c.stop == Stop::Closed || c.stop == Stop::Broken)) {
                throw StaleConnection();
            }
            DebugTlsFailure(sendWhat, rc, 0, c.socketError);
            ThrowWinHttpError(sendWhat, CodeFor(c.stop, kConnectionBroken));
        }
        sent += static_cast<size_t>(rc);
    }
    c.canNotify = true;

    // The answer: status line and headers, then the body by length, chunks,
    // or to the server's close_notify. Each read has its own bound, as
    // WinHTTP's receive time-outs do, cut to the request's deadline. The
    // service has the request now: every failure from here on is one of the
    // wait for its answer, which the executor tells from a lost request (a
    // held status poll that times out is polled again).
    const std::string readWhat = "Receiving the answer from " + where;
    bool ended = false;  // the server ended the TLS session (its close_notify)
    const ReadMore readMore = [&](std::string& buffer) -> bool {
        if (ended) return false;
        unsigned char chunk[16384];
        for (;;) {
            const DWORD bound = WithinAttempt(answerMs);
            // Data already buffered would let a trickle run past the deadline
            // without a single wait: a passed deadline ends the read here.
            if (bound == 0) ThrowWinHttpError(readWhat, kTimeout, NetWait::Answer);
            c.deadline = DeadlineFor(bound);
            c.stop = Stop::None;
            const int rc = mbedtls_ssl_read(&c.ssl, chunk, sizeof(chunk));
            if (rc > 0) {
                buffer.append(reinterpret_cast<const char*>(chunk), static_cast<size_t>(rc));
                return true;
            }
            if (rc == MBEDTLS_ERR_SSL_WANT_READ || rc == MBEDTLS_ERR_SSL_RECEIVED_NEW_SESSION_TICKET) continue;
            // Only the server's close_notify ends the stream. A connection
            // that just closes (a FIN or a reset anyone on the path can
            // forge) has cut the answer short.
            if (rc == MBEDTLS_ERR_SSL_PEER_CLOSE_NOTIFY) {
                ended = true;
                return false;
            }
            if (c.stop == Stop::Timeout || c.stop == Stop::Cancelled) {
                ThrowWinHttpError(readWhat, CodeFor(c.stop, 0), NetWait::Answer);
            }
            DebugTlsFailure(readWhat, rc, 0, c.socketError);
            ThrowWinHttpError(readWhat, kConnectionBroken, NetWait::Answer);
        }
    };

    std::string buffer;
    const HttpAnswer answer = ReadHttpAnswer(buffer, readMore, readWhat);
    const int status = answer.status;
    contentType_ = answer.contentType;
    if (answer.closeAfter || ended || !buffer.empty()) Close();

    response.append(answer.body);
    const std::string statusText = std::to_string(status);
    if (status != 200) LogMessage("ERROR: Server returned non-success status: " + statusText);
    return status;
}

#pragma once
// CHttpsClient: the module's HTTPS client of the authentication service. It
// owns the Winsock start-up, the user agent and the TLS clients, and decides
// which TLS client carries each request. It knows nothing of the service's
// operations or their signing: CVynAuthSession (auth/) builds the requests.
// One thread sends at a time; Abort may come from another.

#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <string>

#include "common/critical_section.h"
#include "common/unique_any.h"
#include "config/config.h"
#include "net/builtin_tls.h"
#include "net/https_types.h"
#include "net/tls_client.h"
#include "net/transport.h"

namespace handle_traits {
// This process's use of Winsock, counted by the system: WSAStartup succeeded
// and WSACleanup is owed. Both TLS clients' sockets live under it.
struct WinsockStartup {
    using pointer = bool;
    static constexpr pointer invalid() noexcept { return false; }
    static void close(pointer) noexcept { ::WSACleanup(); }
};
}  // namespace handle_traits

using unique_winsock = unique_any<handle_traits::WinsockStartup>;

// The TLS client that carried an exchange.
enum class TlsClientKind { None, System, Module };

class CHttpsClient {
public:
    // `userAgent`: the whole User-Agent text (BuildUserAgent, net/identity.h).
    explicit CHttpsClient(std::string userAgent);
    CHttpsClient(const CHttpsClient&) = delete;
    CHttpsClient& operator=(const CHttpsClient&) = delete;

    // Before each run of requests: starts Winsock and opens the WinHTTP
    // session once, and closes what the previous request left open. A failure
    // is logged and thrown as CVynException(UnexpectedError).
    void Open();

    // One exchange through the TLS client that SelectClient picks for `mode`
    // (the "Tls" setting); the body is appended to `response` and the status
    // returned (see ITlsClient::Send). In automatic mode a failed TLS
    // handshake of the first client hands the same attempt to the other one
    // at once, with one warning in the log; the executor sees one attempt.
    int32_t Send(const HttpsRequest& request, std::string& response, TlsMode mode);

    // Ends the exchange in progress, from another thread: the client carrying
    // it is told, and a hand-over to the other client after it does not start.
    // An exchange started after Abort returned runs normally, unless its
    // request's cancel event is signalled (ExchangeCancelled, net/tls_client.h):
    // a caller that signals the event before it calls Abort misses no exchange.
    void Abort();

    const std::string& UserAgent() const noexcept { return userAgent_; }
    bool WinsockStarted() const noexcept { return winsock_.is_valid(); }
    // The system's client, for tests of its handles.
    const CWinHttpClient& WinHttp() const noexcept { return winhttp_; }
    // The module's own client, for tests of which client served.
    const CBuiltinTlsClient& Builtin() const noexcept { return builtin_; }
    // The client that carried the last exchange that got an answer (None
    // before one), for vyn-check's report; with the module's own client,
    // Builtin().TlsVersion() names the version.
    TlsClientKind LastServed() const noexcept { return lastServed_; }
    // The client that carried or last tried an exchange (None before one):
    // vyn-check names the client that failed.
    TlsClientKind LastTried() const noexcept { return lastTried_; }
    // The Content-Type of the last answer (LastServed's client); "" before one.
    const std::string& LastContentType() const noexcept;

private:
    ITlsClient& SelectClient(const HttpsRequest& request, TlsMode mode);
    ITlsClient& OtherClient(const ITlsClient& client);
    int32_t SendThrough(ITlsClient& client, const HttpsRequest& request, std::string& response);

    // Declared first, so released last: every socket and handle of the
    // clients below is closed before the process's Winsock count drops.
    unique_winsock winsock_;
    std::string userAgent_;
    CWinHttpClient winhttp_;
    CBuiltinTlsClient builtin_;
    // The client in SendThrough and whether Abort came during this Send; the
    // sending thread and Abort's thread meet here.
    CCriticalSection sendLock_;
    ITlsClient* sending_ = nullptr;
    bool aborted_ = false;
    TlsClientKind lastServed_ = TlsClientKind::None;
    TlsClientKind lastTried_ = TlsClientKind::None;
};

// Process-wide: once the module's own TLS client has completed a handshake
// with the service, it goes first for the rest of the process.
bool ModuleTlsClientGoesFirst() noexcept;
void SetModuleTlsClientGoesFirst() noexcept;

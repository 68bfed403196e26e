#pragma once
// Plain types shared by the request executor and the TLS clients that carry
// its requests (WinHTTP's and the module's own, net/builtin_tls.h).

#include <cstddef>
#include <cstdint>
#include <string>

// What a request's time-out bounds.
enum class TimeoutScope {
    // The connection set-up only; once connected the request waits as long as
    // the service takes, unless `answerSeconds` bounds the answer (the
    // authentication and its polls, which run behind the status dialog and
    // its Cancel; the polls bound their answer).
    ConnectOnly,
    // Every wait of the exchange: resolving the name, connecting, the TLS
    // handshake, sending, the answer's headers and each read of its body; and
    // the whole exchange gets a deadline of the bound plus a little slack, so
    // that an answer trickled byte by byte, each byte inside the bound, still
    // ends. For requests made on Winlogon's own thread, which nothing else
    // can interrupt.
    WholeExchange,
};

// "host:port", as the log names a service or a proxy.
inline std::string HostPort(const std::string& host, uint16_t port) { return host + ":" + std::to_string(port); }

// One request. `headers` are extra header lines, each ending in CRLF; `body`
// is bytes; `timeoutSeconds` 0 leaves the client's defaults, -1 is no limit.
// `answerSeconds`, when above 0, bounds the wait for the answer's headers and
// each read of its body whatever `timeoutSeconds` and `scope` say: status
// polls, which the service holds open by design, set it so that no platform
// default decides how long a held poll may last.
struct HttpsRequest {
    std::string host;            // configured host, lower case, no port
    uint16_t port = 443;
    std::string userAgent;
    std::string method;          // "GET" or "POST"
    std::string objectName;      // path, with "?" + query for GET requests with parameters
    std::string headers;         // extra header lines (the Authorization line), each ending "\r\n"; may be empty
    std::string body;            // bytes, possibly empty
    int32_t timeoutSeconds = 0;  // 0: no bound of ours; -1: no limit; N: seconds
    TimeoutScope scope = TimeoutScope::ConnectOnly;
    int32_t answerSeconds = 0;
    // The caller's cancel event (a HANDLE; null: none), signalled before the
    // caller's Abort. The client tests it once an Abort would reach this
    // exchange (see ExchangeCancelled, net/tls_client.h).
    void* cancelEvent = nullptr;
};

// Time added to a whole-exchange bound to make the exchange's deadline, so
// that the clients' own per-wait time-outs, which name the call that waited,
// fire first whenever they can. Three attempts of 10 s stay within 31 s.
// Both clients use it, so a trickled answer ends at the same time whichever
// one served.
constexpr uint32_t kDeadlineSlackMs = 250;

// The service's answers are a few hundred bytes. A longer body is a broken
// exchange (12030), like one cut short, and is never held whole in Winlogon.
constexpr size_t kMaxAnswerBytes = 64 * 1024;

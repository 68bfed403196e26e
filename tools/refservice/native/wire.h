#pragma once
// Minimal HTTP/1.1 server over plain sockets or OpenSSL, written for the
// reference service rather than taken from a library because the service must
// see requests exactly as they arrived (target as sent, headers in order and
// spelling, body bytes) and must be able to misbehave on purpose (drop the
// connection mid-body, hold an answer).

#include <openssl/ssl.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace vynref {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

struct RawRequest {
    std::string listener;  // name of the listener that received it ("main", "wrong-name", ...)
    std::string method, target, version;
    HeaderList headers;
    std::string body;

    // First header of that name, compared case-insensitively; empty when absent.
    std::string Header(const std::string& name) const;
    bool HasHeader(const std::string& name) const;
};

struct RawResponse {
    int status = 200;
    HeaderList headers;  // extra headers; Content-Length and Connection are added
    std::string body;
    bool sendBody = true;      // false: no body and no Content-Length (e.g. 204)
    long dropAfterBytes = -1;  // >= 0: send the headers and only that many body bytes, then close
    // With dropAfterBytes: called after those bytes went out and before the
    // close, so that the body stalls for as long as it blocks.
    std::function<void()> stall;
    bool close = false;        // close the connection after this answer
    // > 0: the body goes out one byte at a time, this many milliseconds apart
    // (and the status line and headers too with trickleHead), so that every
    // single read of a client sees data well within any per-read time-out.
    int trickleMs = 0;
    bool trickleHead = false;
};

using Handler = std::function<RawResponse(const RawRequest&)>;

const char* ReasonPhrase(int status);
bool EqualsNoCase(const std::string& a, const std::string& b);

// One listening socket on 127.0.0.1; each connection gets its own thread so that
// a held or delayed answer never blocks other clients.
class Listener {
public:
    Listener(std::string name, SSL_CTX* tls, Handler handler);
    ~Listener();
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    // Binds and starts accepting; false with a message when the port cannot be bound.
    bool Start(uint16_t port, std::string* error);
    void Stop();
    uint16_t Port() const { return port_; }

private:
    void AcceptLoop();
    void Serve(int fd);

    std::string name_;
    SSL_CTX* tls_;
    Handler handler_;
    int listenFd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread acceptThread_;
};

// The TLS versions a listener accepts, as OpenSSL numbers (TLS1_2_VERSION,
// TLS1_3_VERSION); 0 keeps OpenSSL's configured bound.
struct TlsVersions {
    int minimum = 0;
    int maximum = 0;
};

// Loads a PEM certificate chain and key into a new server context; null with a
// message on failure.
SSL_CTX* MakeServerContext(const std::string& certFile, const std::string& keyFile, std::string* error,
                           TlsVersions versions = {});

}  // namespace vynref

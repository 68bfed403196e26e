#include "wire.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>

namespace vynref {
namespace {

constexpr size_t kMaxHeaderBytes = 64 * 1024;
constexpr size_t kMaxBodyBytes = 16 * 1024 * 1024;
constexpr int kIdleTimeoutSeconds = 30;

// One accepted connection, plain or TLS. Owns the socket and the SSL object.
class Connection {
public:
    Connection(int fd, SSL* ssl) : fd_(fd), ssl_(ssl) {}
    ~Connection() {
        if (ssl_) {
            if (orderly_) SSL_shutdown(ssl_);
            SSL_free(ssl_);
        }
        close(fd_);
    }
    // An abrupt close sends no TLS close_notify: the peer sees the stream end mid-message.
    void MarkAbrupt() { orderly_ = false; }

    long Read(char* buf, size_t len) {
        if (ssl_) {
            int n = SSL_read(ssl_, buf, static_cast<int>(len));
            return n > 0 ? n : -1;
        }
        ssize_t n = recv(fd_, buf, len, 0);
        return n > 0 ? n : -1;
    }
    bool WriteAll(const char* data, size_t len) {
        while (len > 0) {
            long n;
            if (ssl_) {
                n = SSL_write(ssl_, data, static_cast<int>(len));
            } else {
                n = send(fd_, data, len, MSG_NOSIGNAL);
            }
            if (n <= 0) return false;
            data += n;
            len -= static_cast<size_t>(n);
        }
        return true;
    }

private:
    int fd_;
    SSL* ssl_;
    bool orderly_ = true;
};

std::string Trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos) return "";
    size_t e = s.find_last_not_of(" \t");
    return s.substr(b, e - b + 1);
}

// Reads one request; false when the peer closed, timed out or sent garbage.
// `pending` carries bytes read past the end of one request into the next.
bool ReadRequest(Connection& conn, std::string& pending, RawRequest& req, int& badStatus) {
    badStatus = 0;
    size_t headerEnd;
    char buf[16384];
    while ((headerEnd = pending.find("\r\n\r\n")) == std::string::npos) {
        if (pending.size() > kMaxHeaderBytes) {
            badStatus = 431;
            return false;
        }
        long n = conn.Read(buf, sizeof buf);
        if (n <= 0) return false;
        pending.append(buf, static_cast<size_t>(n));
    }
    std::string head = pending.substr(0, headerEnd);
    pending.erase(0, headerEnd + 4);

    size_t lineEnd = head.find("\r\n");
    std::string requestLine = head.substr(0, lineEnd);
    size_t sp1 = requestLine.find(' ');
    size_t sp2 = requestLine.rfind(' ');
    if (sp1 == std::string::npos || sp2 == sp1) {
        badStatus = 400;
        return false;
    }
    req.method = requestLine.substr(0, sp1);
    req.target = requestLine.substr(sp1 + 1, sp2 - sp1 - 1);
    req.version = requestLine.substr(sp2 + 1);
    req.headers.clear();
    size_t pos = lineEnd == std::string::npos ? head.size() : lineEnd + 2;
    while (pos < head.size()) {
        size_t e = head.find("\r\n", pos);
        if (e == std::string::npos) e = head.size();
        std::string line = head.substr(pos, e - pos);
        pos = e + 2;
        size_t colon = line.find(':');
        if (colon == std::string::npos) {
            badStatus = 400;
            return false;
        }
        req.headers.emplace_back(line.substr(0, colon), Trim(line.substr(colon + 1)));
    }

    req.body.clear();
    if (!req.Header("Transfer-Encoding").empty()) {
        badStatus = 501;  // nothing this service talks to sends chunked requests
        return false;
    }
    std::string lengthText = req.Header("Content-Length");
    if (!lengthText.empty()) {
        char* end = nullptr;
        errno = 0;
        unsigned long long length = std::strtoull(lengthText.c_str(), &end, 10);
        if (errno != 0 || *end != '\0' || length > kMaxBodyBytes) {
            badStatus = 400;
            return false;
        }
        while (pending.size() < length) {
            long n = conn.Read(buf, sizeof buf);
            if (n <= 0) return false;
            pending.append(buf, static_cast<size_t>(n));
        }
        req.body = pending.substr(0, length);
        pending.erase(0, length);
    }
    return true;
}

bool WantsClose(const RawRequest& req) {
    std::string connection = req.Header("Connection");
    if (req.version == "HTTP/1.0") return !EqualsNoCase(connection, "keep-alive");
    return EqualsNoCase(connection, "close");
}

std::string StatusHead(const RawResponse& resp, bool close) {
    std::string head = "HTTP/1.1 " + std::to_string(resp.status) + " " + ReasonPhrase(resp.status) + "\r\n";
    for (const auto& [name, value] : resp.headers) head += name + ": " + value + "\r\n";
    if (resp.sendBody) head += "Content-Length: " + std::to_string(resp.body.size()) + "\r\n";
    head += close ? "Connection: close\r\n" : "Connection: keep-alive\r\n";
    head += "\r\n";
    return head;
}

}  // namespace

std::string RawRequest::Header(const std::string& name) const {
    for (const auto& [n, v] : headers)
        if (EqualsNoCase(n, name)) return v;
    return "";
}

bool RawRequest::HasHeader(const std::string& name) const {
    for (const auto& h : headers)
        if (EqualsNoCase(h.first, name)) return true;
    return false;
}

bool EqualsNoCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

const char* ReasonPhrase(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 201:
            return "Created";
        case 202:
            return "Accepted";
        case 204:
            return "No Content";
        case 301:
            return "Moved Permanently";
        case 302:
            return "Found";
        case 303:
            return "See Other";
        case 307:
            return "Temporary Redirect";
        case 400:
            return "Bad Request";
        case 401:
            return "Unauthorized";
        case 403:
            return "Forbidden";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 429:
            return "Too Many Requests";
        case 431:
            return "Request Header Fields Too Large";
        case 500:
            return "Internal Server Error";
        case 501:
            return "Not Implemented";
        case 502:
            return "Bad Gateway";
        case 503:
            return "Service Unavailable";
        case 504:
            return "Gateway Timeout";
        default:
            return "Status";
    }
}

SSL_CTX* MakeServerContext(const std::string& certFile, const std::string& keyFile, std::string* error,
                           TlsVersions versions) {
    std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> ctx(SSL_CTX_new(TLS_server_method()), SSL_CTX_free);
    if (!ctx) {
        *error = "SSL_CTX_new failed";
        return nullptr;
    }
    if ((versions.minimum != 0 && SSL_CTX_set_min_proto_version(ctx.get(), versions.minimum) != 1) ||
        (versions.maximum != 0 && SSL_CTX_set_max_proto_version(ctx.get(), versions.maximum) != 1)) {
        *error = "cannot set the TLS versions";
        return nullptr;
    }
    if (SSL_CTX_use_certificate_chain_file(ctx.get(), certFile.c_str()) != 1) {
        *error = "cannot load certificate " + certFile;
        return nullptr;
    }
    if (SSL_CTX_use_PrivateKey_file(ctx.get(), keyFile.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_check_private_key(ctx.get()) != 1) {
        *error = "cannot load key " + keyFile;
        return nullptr;
    }
    return ctx.release();
}

Listener::Listener(std::string name, SSL_CTX* tls, Handler handler)
    : name_(std::move(name)), tls_(tls), handler_(std::move(handler)) {}

Listener::~Listener() { Stop(); }

bool Listener::Start(uint16_t port, std::string* error) {
    listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0) {
        *error = std::string("socket: ") + strerror(errno);
        return false;
    }
    int one = 1;
    setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    if (bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(listenFd_, 64) != 0) {
        *error = "cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + strerror(errno);
        close(listenFd_);
        listenFd_ = -1;
        return false;
    }
    socklen_t len = sizeof addr;
    getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    acceptThread_ = std::thread(&Listener::AcceptLoop, this);
    return true;
}

void Listener::Stop() {
    if (listenFd_ < 0) return;
    stopping_ = true;
    shutdown(listenFd_, SHUT_RDWR);
    if (acceptThread_.joinable()) acceptThread_.join();
    close(listenFd_);
    listenFd_ = -1;
}

void Listener::AcceptLoop() {
    while (!stopping_) {
        pollfd p{listenFd_, POLLIN, 0};
        if (poll(&p, 1, 200) <= 0) continue;
        int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        // Connection threads are detached: the process ends without waiting for
        // held answers, and nothing in a connection outlives the listener's owner.
        std::thread(&Listener::Serve, this, fd).detach();
    }
}

void Listener::Serve(int fd) {
    timeval tv{kIdleTimeoutSeconds, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    SSL* ssl = nullptr;
    if (tls_) {
        ssl = SSL_new(tls_);
        SSL_set_fd(ssl, fd);
        if (SSL_accept(ssl) != 1) {
            // Clients that reject the certificate end here; that is expected.
            SSL_free(ssl);
            close(fd);
            return;
        }
    }
    Connection conn(fd, ssl);
    std::string pending;
    for (;;) {
        RawRequest req;
        req.listener = name_;
        int badStatus = 0;
        if (!ReadRequest(conn, pending, req, badStatus)) {
            if (badStatus != 0) {
                RawResponse resp;
                resp.status = badStatus;
                std::string head = StatusHead(resp, true);
                conn.WriteAll(head.data(), head.size());
            }
            return;
        }
        RawResponse resp = handler_(req);
        bool close = resp.close || WantsClose(req) || resp.dropAfterBytes >= 0 || resp.trickleMs > 0;
        // Trickled bytes stop when the client goes away (the write fails).
        auto write = [&](const char* data, size_t n, bool trickle) {
            if (!trickle) return conn.WriteAll(data, n);
            for (size_t i = 0; i < n; ++i) {
                if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(resp.trickleMs));
                if (!conn.WriteAll(data + i, 1)) return false;
            }
            return true;
        };
        std::string head = StatusHead(resp, close);
        if (!write(head.data(), head.size(), resp.trickleMs > 0 && resp.trickleHead)) return;
        if (resp.sendBody) {
            size_t n = resp.body.size();
            if (resp.dropAfterBytes >= 0 && static_cast<size_t>(resp.dropAfterBytes) < n) {
                n = static_cast<size_t>(resp.dropAfterBytes);
            }
            if (resp.trickleMs > 0 && n > 0 && !resp.trickleHead)
                std::this_thread::sleep_for(std::chrono::milliseconds(resp.trickleMs));
            if (!write(resp.body.data(), n, resp.trickleMs > 0)) return;
        }
        if (resp.dropAfterBytes >= 0) {
            if (resp.stall) resp.stall();
            conn.MarkAbrupt();
            return;
        }
        if (close) return;
    }
}

}  // namespace vynref

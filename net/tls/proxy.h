#pragma once
// The machine's WinHTTP proxy configuration (what proxycfg or "netsh winhttp
// set proxy" wrote), applied to one HTTPS destination by the module's own TLS
// client the way WinHTTP applies it.

#include <cstdint>
#include <string>

struct ProxyServer {
    std::string host;  // empty: connect directly
    uint16_t port = 0;
};

// The proxy for an HTTPS request to `host`, from a proxy list ("host:port",
// "https=host:port;http=host:port", entries separated by ';' or white space;
// the "https=" entry wins over one without a scheme, other schemes are not
// used) and a bypass list ("<local>" for names without a dot, names and
// addresses with '*' wildcards, compared without case, optionally with a
// scheme prefix or a ":port" suffix). Direct when the host is bypassed or the
// list has no entry for HTTPS.
ProxyServer SelectProxy(const std::string& proxyList, const std::string& bypassList, const std::string& host,
                        uint16_t port);

// SelectProxy applied to WinHttpGetDefaultProxyConfiguration's answer; direct
// when the machine has no named proxy. A failure to read the configuration is
// logged and taken as direct, as WinHTTP does.
ProxyServer MachineProxyFor(const std::string& host, uint16_t port);

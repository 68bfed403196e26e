// The WinHTTP proxy rules applied by the module's own TLS client
// (net/builtin_tls.cpp).
#include "net/tls/proxy.h"

#include <windows.h>
#include <winhttp.h>

#include <cctype>
#include <vector>

#include "common/handles.h"
#include "common/strings.h"
#include "diag/log.h"

namespace {

std::vector<std::string> SplitList(const std::string& text) {
    std::vector<std::string> items;
    std::string item;
    for (char c : text) {
        if (c == ';' || c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            if (!item.empty()) items.push_back(item);
            item.clear();
        } else {
            item += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
    }
    if (!item.empty()) items.push_back(item);
    return items;
}

// '*' matches any run of characters; everything else itself.
bool Matches(const char* pattern, const char* text) {
    if (*pattern == '\0') return *text == '\0';
    if (*pattern == '*') {
        for (const char* t = text;; ++t) {
            if (Matches(pattern + 1, t)) return true;
            if (*t == '\0') return false;
        }
    }
    return *pattern == *text && Matches(pattern + 1, text + 1);
}

bool Bypassed(const std::string& bypassList, const std::string& host, uint16_t port) {
    std::string name;
    for (char c : host) name += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const std::string withPort = name + ":" + std::to_string(port);
    for (std::string entry : SplitList(bypassList)) {
        if (entry == "<local>") {
            if (name.find('.') == std::string::npos) return true;
            continue;
        }
        const size_t scheme = entry.find("://");
        if (scheme != std::string::npos) {
            if (entry.compare(0, scheme, "https") != 0) continue;
            entry.erase(0, scheme + 3);
        }
        if (Matches(entry.c_str(), name.c_str()) || Matches(entry.c_str(), withPort.c_str())) return true;
    }
    return false;
}

ProxyServer ParseServer(std::string entry) {
    const size_t scheme = entry.find("://");
    if (scheme != std::string::npos) entry.erase(0, scheme + 3);
    while (!entry.empty() && entry.back() == '/') entry.pop_back();
    ProxyServer proxy;
    const size_t colon = entry.rfind(':');
    proxy.port = 80;
    if (colon != std::string::npos && entry.find(']', colon) == std::string::npos) {
        const std::string digits = entry.substr(colon + 1);
        unsigned long value = 0;
        for (char c : digits) {
            if (c < '0' || c > '9') return ProxyServer();
            value = value * 10 + static_cast<unsigned long>(c - '0');
            if (value > 65535) return ProxyServer();
        }
        if (digits.empty() || value == 0) return ProxyServer();
        proxy.port = static_cast<uint16_t>(value);
        entry.erase(colon);
    }
    proxy.host = entry;
    if (proxy.host.empty()) proxy.port = 0;
    return proxy;
}

}  // namespace

ProxyServer SelectProxy(const std::string& proxyList, const std::string& bypassList, const std::string& host,
                        uint16_t port) {
    std::string chosen;
    bool chosenHasScheme = false;
    for (const std::string& entry : SplitList(proxyList)) {
        const size_t equals = entry.find('=');
        if (equals == std::string::npos) {
            if (chosen.empty()) chosen = entry;
        } else if (entry.compare(0, equals, "https") == 0 && !chosenHasScheme) {
            chosen = entry.substr(equals + 1);
            chosenHasScheme = true;
        }
    }
    if (chosen.empty() || Bypassed(bypassList, host, port)) return ProxyServer();
    return ParseServer(chosen);
}

ProxyServer MachineProxyFor(const std::string& host, uint16_t port) {
    WINHTTP_PROXY_INFO info = {};
    if (!::WinHttpGetDefaultProxyConfiguration(&info)) {
        LogSystemCallFailure("WinHttpGetDefaultProxyConfiguration", ::GetLastError());
        return ProxyServer();
    }
    // The two strings are the caller's to free with GlobalFree.
    const unique_hglobal proxyText(info.lpszProxy);
    const unique_hglobal bypassText(info.lpszProxyBypass);
    if (info.dwAccessType != WINHTTP_ACCESS_TYPE_NAMED_PROXY || !info.lpszProxy) return ProxyServer();
    return SelectProxy(ToUtf8(info.lpszProxy), info.lpszProxyBypass ? ToUtf8(info.lpszProxyBypass) : std::string(),
                       host, port);
}

#include "tests/support/refservice.h"

#include <winsock2.h>
#include <windows.h>

#include <cctype>
#include <cstdlib>
#include <sstream>

#include <gtest/gtest.h>

namespace {

uint16_t PortSetting(const char* name, int builtIn) {
    if (const char* value = std::getenv(name)) {
        int n = std::atoi(value);
        if (n > 0 && n < 65536) return static_cast<uint16_t>(n);
    }
    return static_cast<uint16_t>(builtIn);
}

// Winsock must be started before the first socket; every caller here is a test
// program, which keeps it started until it exits.
bool StartWinsock() {
    static const bool started = [] {
        WSADATA data;
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

struct SocketCloser {
    SOCKET s;
    ~SocketCloser() {
        if (s != INVALID_SOCKET) ::closesocket(s);
    }
};

std::string UrlEncode(const std::string& text) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kDigits[c >> 4];
            out += kDigits[c & 15];
        }
    }
    return out;
}

int Base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// Fields of the control listener's text format are base64, or "-" when empty.
std::string DecodeField(const std::string& field) {
    if (field == "-") return "";
    std::string out;
    unsigned bits = 0;
    int count = 0;
    for (char c : field) {
        int v = Base64Value(c);
        if (v < 0) continue;  // padding
        bits = (bits << 6) | static_cast<unsigned>(v);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out += static_cast<char>((bits >> count) & 0xFF);
        }
    }
    return out;
}

}  // namespace

std::string RecordedRequest::Header(const std::string& name) const {
    for (const auto& [n, v] : headers) {
        if (n.size() == name.size() && ::_strnicmp(n.c_str(), name.c_str(), n.size()) == 0) return v;
    }
    return "";
}

namespace refservice {

uint16_t Port() { return PortSetting("VYN_REFSVC_PORT", VYN_REFSVC_PORT); }
uint16_t WrongNamePort() { return PortSetting("VYN_REFSVC_WRONG_NAME_PORT", VYN_REFSVC_WRONG_NAME_PORT); }
uint16_t UntrustedPort() { return PortSetting("VYN_REFSVC_UNTRUSTED_PORT", VYN_REFSVC_UNTRUSTED_PORT); }
uint16_t ChainPort() { return PortSetting("VYN_REFSVC_CHAIN_PORT", VYN_REFSVC_CHAIN_PORT); }
uint16_t ClosedPort() { return PortSetting("VYN_REFSVC_CLOSED_PORT", VYN_REFSVC_CLOSED_PORT); }
uint16_t ControlPort() { return PortSetting("VYN_REFSVC_CONTROL_PORT", VYN_REFSVC_CONTROL_PORT); }

namespace {
Instance gInstance = Instance::Main;

uint16_t ControlPortOf(Instance instance) {
    switch (instance) {
        case Instance::Tls12Only:
            return PortSetting("VYN_REFSVC_TLS12_CONTROL_PORT", VYN_REFSVC_TLS12_CONTROL_PORT);
        case Instance::Tls13Only:
            return PortSetting("VYN_REFSVC_TLS13_CONTROL_PORT", VYN_REFSVC_TLS13_CONTROL_PORT);
        case Instance::Main: break;
    }
    return ControlPort();
}
}  // namespace

uint16_t PortOf(Instance instance) {
    switch (instance) {
        case Instance::Tls12Only: return PortSetting("VYN_REFSVC_TLS12_PORT", VYN_REFSVC_TLS12_PORT);
        case Instance::Tls13Only: return PortSetting("VYN_REFSVC_TLS13_PORT", VYN_REFSVC_TLS13_PORT);
        case Instance::Main: break;
    }
    return Port();
}

ScopedInstance::ScopedInstance(Instance instance) : previous_(gInstance) { gInstance = instance; }
ScopedInstance::~ScopedInstance() { gInstance = previous_; }

int ControlRequest(const std::string& method, const std::string& target, const std::string& body,
                   std::string* responseBody) {
    if (responseBody) responseBody->clear();
    if (!StartWinsock()) return 0;
    SocketCloser sock{::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)};
    if (sock.s == INVALID_SOCKET) return 0;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(ControlPortOf(gInstance));
    if (::connect(sock.s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return 0;
    std::string request = method + " " + target + " HTTP/1.0\r\nHost: 127.0.0.1\r\nContent-Length: " +
                          std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
    for (size_t sent = 0; sent < request.size();) {
        int n = ::send(sock.s, request.data() + sent, static_cast<int>(request.size() - sent), 0);
        if (n <= 0) return 0;
        sent += static_cast<size_t>(n);
    }
    std::string answer;
    char buf[8192];
    for (;;) {
        int n = ::recv(sock.s, buf, sizeof buf, 0);
        if (n <= 0) break;
        answer.append(buf, static_cast<size_t>(n));
    }
    size_t headEnd = answer.find("\r\n\r\n");
    if (answer.compare(0, 5, "HTTP/") != 0 || headEnd == std::string::npos) return 0;
    if (responseBody) *responseBody = answer.substr(headEnd + 4);
    size_t space = answer.find(' ');
    return space == std::string::npos ? 0 : std::atoi(answer.c_str() + space + 1);
}

bool LoadScenario(const std::string& ikey, const std::string& skey, const std::string& scenarioJson,
                  std::string* error) {
    std::string reply;
    int status = ControlRequest("POST", "/control/tenants?ikey=" + UrlEncode(ikey) + "&skey=" + UrlEncode(skey),
                                scenarioJson, &reply);
    if (status == 200) return true;
    if (error) *error = status == 0 ? "reference service not reachable" : reply;
    return false;
}

std::vector<RecordedRequest> Requests(const std::string& ikey) {
    std::vector<RecordedRequest> out;
    std::string reply;
    if (ControlRequest("GET", "/control/requests?format=text&ikey=" + UrlEncode(ikey), "", &reply) != 200) {
        return out;
    }
    std::istringstream lines(reply);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string tag, listener, method, target, body;
        size_t headerCount = 0;
        if (!(fields >> tag >> listener >> method >> target >> headerCount) || tag != "R") continue;
        RecordedRequest r;
        r.listener = DecodeField(listener);
        r.method = DecodeField(method);
        r.target = DecodeField(target);
        for (size_t i = 0; i < headerCount; ++i) {
            std::string name, value;
            fields >> name >> value;
            r.headers.emplace_back(DecodeField(name), DecodeField(value));
        }
        fields >> body;
        r.body = DecodeField(body);
        out.push_back(std::move(r));
    }
    return out;
}

bool ClearRequests(const std::string& ikey) {
    return ControlRequest("POST", "/control/clear?ikey=" + UrlEncode(ikey), "", nullptr) == 200;
}

int Release(const std::string& ikey) {
    std::string reply;
    if (ControlRequest("POST", "/control/release?ikey=" + UrlEncode(ikey), "", &reply) != 200) return -1;
    size_t colon = reply.find(':');
    return colon == std::string::npos ? -1 : std::atoi(reply.c_str() + colon + 1);
}

std::string UniqueIkey() {
    std::string name = "T";
    if (const auto* info = ::testing::UnitTest::GetInstance()->current_test_info()) {
        name = std::string(info->test_suite_name()) + info->name();
    }
    std::string key;
    for (char c : name) {
        if (std::isalnum(static_cast<unsigned char>(c))) key += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    if (key.size() > 40) {
        // Long names keep a checksum of the whole so that two long names stay apart.
        unsigned long hash = 5381;
        for (char c : key) hash = hash * 33 + static_cast<unsigned char>(c);
        key = key.substr(0, 32) + std::to_string(hash % 100000000UL);
    }
    return key + "P" + std::to_string(::GetCurrentProcessId());
}

}  // namespace refservice

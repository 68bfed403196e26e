// vyn-refservice: a reference authentication service for trying and testing
// VynGina on loopback. See tools/refservice/README.md.

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <openssl/ssl.h>

#include "control.h"
#include "service.h"
#include "wire.h"

namespace {

const char kUsage[] =
    "usage: vyn-refservice --port N --cert FILE --key FILE [options]\n"
    "\n"
    "Serves the authentication REST contract (preauth, auth, status, ping, check)\n"
    "over HTTPS on 127.0.0.1, answering BSON envelopes from scripted scenarios.\n"
    "\n"
    "  --port N                     main HTTPS listener (certificate for localhost)\n"
    "  --cert FILE --key FILE       PEM certificate chain and key for --port\n"
    "  --wrong-name-port N          HTTPS listener with a certificate for another host\n"
    "  --wrong-name-cert FILE --wrong-name-key FILE\n"
    "  --untrusted-port N           HTTPS listener with a certificate from an untrusted issuer\n"
    "  --untrusted-cert FILE --untrusted-key FILE\n"
    "  --chain-port N               HTTPS listener whose certificate comes with an intermediate\n"
    "  --chain-cert FILE --chain-key FILE\n"
    "  --min-tls 1.2|1.3            refuse clients below this TLS version on every HTTPS listener\n"
    "  --max-tls 1.2|1.3            offer no TLS version above this one on every HTTPS listener\n"
    "  --control-port N             plain-HTTP control listener on 127.0.0.1 (for tests)\n"
    "  --scenario FILE              load FILE (JSON, with ikey and skey) as the default tenant\n"
    "  --log                        print one line per request to stdout\n"
    "  --help                       this text\n";

struct Options {
    int port = -1, wrongNamePort = -1, untrustedPort = -1, chainPort = -1, controlPort = -1;
    std::string cert, key, wrongNameCert, wrongNameKey, untrustedCert, untrustedKey, chainCert, chainKey, scenario;
    // OpenSSL version numbers; 0: OpenSSL's configured bounds.
    int minTls = 0, maxTls = 0;
    bool log = false;
};

[[noreturn]] void Fail(const std::string& message) {
    std::fprintf(stderr, "vyn-refservice: %s\n", message.c_str());
    std::exit(2);
}

int ParsePort(const std::string& text) {
    char* end = nullptr;
    long n = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || n < 1 || n > 65535) Fail("bad port '" + text + "'");
    return static_cast<int>(n);
}

int ParseTlsVersion(const std::string& option, const std::string& text) {
    if (text == "1.2") return TLS1_2_VERSION;
    if (text == "1.3") return TLS1_3_VERSION;
    Fail("bad " + option + " '" + text + "' (1.2 or 1.3)");
}

Options Parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) Fail(a + " needs a value");
            return argv[++i];
        };
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        } else if (a == "--port") {
            o.port = ParsePort(value());
        } else if (a == "--wrong-name-port") {
            o.wrongNamePort = ParsePort(value());
        } else if (a == "--untrusted-port") {
            o.untrustedPort = ParsePort(value());
        } else if (a == "--chain-port") {
            o.chainPort = ParsePort(value());
        } else if (a == "--chain-cert") {
            o.chainCert = value();
        } else if (a == "--chain-key") {
            o.chainKey = value();
        } else if (a == "--min-tls") {
            o.minTls = ParseTlsVersion(a, value());
        } else if (a == "--max-tls") {
            o.maxTls = ParseTlsVersion(a, value());
        } else if (a == "--control-port") {
            o.controlPort = ParsePort(value());
        } else if (a == "--cert") {
            o.cert = value();
        } else if (a == "--key") {
            o.key = value();
        } else if (a == "--wrong-name-cert") {
            o.wrongNameCert = value();
        } else if (a == "--wrong-name-key") {
            o.wrongNameKey = value();
        } else if (a == "--untrusted-cert") {
            o.untrustedCert = value();
        } else if (a == "--untrusted-key") {
            o.untrustedKey = value();
        } else if (a == "--scenario") {
            o.scenario = value();
        } else if (a == "--log") {
            o.log = true;
        } else {
            Fail("unknown option '" + a + "' (see --help)");
        }
    }
    if (o.port < 0) Fail("--port is required (see --help)");
    if (o.cert.empty() || o.key.empty()) Fail("--cert and --key are required");
    if (o.wrongNamePort >= 0 && (o.wrongNameCert.empty() || o.wrongNameKey.empty()))
        Fail("--wrong-name-port needs --wrong-name-cert and --wrong-name-key");
    if (o.untrustedPort >= 0 && (o.untrustedCert.empty() || o.untrustedKey.empty()))
        Fail("--untrusted-port needs --untrusted-cert and --untrusted-key");
    if (o.chainPort >= 0 && (o.chainCert.empty() || o.chainKey.empty()))
        Fail("--chain-port needs --chain-cert and --chain-key");
    if (o.minTls != 0 && o.maxTls != 0 && o.minTls > o.maxTls) Fail("--min-tls is above --max-tls");
    return o;
}

}  // namespace

int main(int argc, char** argv) {
    Options opt = Parse(argc, argv);

    // Signals are taken by one waiting thread; every other thread has them blocked.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    vynref::Service service;
    service.SetLogging(opt.log);
    auto handler = [&service](const vynref::RawRequest& r) { return service.Handle(r); };

    std::vector<std::unique_ptr<vynref::Listener>> listeners;
    auto open = [&](const char* name, int port, const std::string& cert, const std::string& key) {
        if (port < 0) return;
        std::string error;
        SSL_CTX* ctx = vynref::MakeServerContext(cert, key, &error, {opt.minTls, opt.maxTls});
        if (!ctx) Fail(error);
        auto l = std::make_unique<vynref::Listener>(name, ctx, handler);
        if (!l->Start(static_cast<uint16_t>(port), &error)) Fail(error);
        std::printf("vyn-refservice: %s listener on https://localhost:%d/\n", name, port);
        listeners.push_back(std::move(l));
    };
    open("main", opt.port, opt.cert, opt.key);
    open("wrong-name", opt.wrongNamePort, opt.wrongNameCert, opt.wrongNameKey);
    open("untrusted", opt.untrustedPort, opt.untrustedCert, opt.untrustedKey);
    open("chain", opt.chainPort, opt.chainCert, opt.chainKey);

    if (!opt.scenario.empty()) {
        std::ifstream in(opt.scenario, std::ios::binary);
        if (!in) Fail("cannot read " + opt.scenario);
        std::stringstream text;
        text << in.rdbuf();
        std::string error;
        if (!service.LoadTenant("", "", text.str(), true, &error)) Fail(opt.scenario + ": " + error);
        std::printf("vyn-refservice: default scenario %s loaded\n", opt.scenario.c_str());
    }
    std::fflush(stdout);

    auto finish = [&] {
        service.Shutdown();
        for (auto& l : listeners) l->Stop();
        std::fflush(stdout);
        // Connection threads may still be in a held answer; they are not joined.
        _exit(0);
    };

    if (opt.controlPort >= 0) {
        std::thread([&] {
            int sig = 0;
            sigwait(&stopSignals, &sig);
            vynref::StopControl();
        }).detach();
        std::printf("vyn-refservice: control listener on http://127.0.0.1:%d/\n", opt.controlPort);
        std::fflush(stdout);
        std::string error;
        if (!vynref::RunControl(service, static_cast<uint16_t>(opt.controlPort), finish, &error)) Fail(error);
    } else {
        int sig = 0;
        sigwait(&stopSignals, &sig);
    }
    finish();
}

// Benchmark (not a test): time to Winlogon's answer when the service fails,
// per failure mode. Runs the module's pre-authentication (its own 10 s bound,
// three attempts) exactly as the gate calls it, on this thread, and prints how
// long the call held it and how it ended. scripts/bench-failure-modes.sh runs it.
//
//   failure_bench.exe <mode> <failopen 0|1> <service port> <closed port> <ikey> <skey> [tls 0|1|2]
//
// The last argument is the "Tls" setting (default 0, automatic).
//
// Modes: refused (nothing listens), silent (a listener whose accept queue is
// full), notls (accepts TCP, never answers the TLS handshake), held (the
// service holds the answer: the scenario of the script's service).
//
// Output: one line "<mode> <failopen> <outcome> <milliseconds> <tls>", where the
// outcome is "through" (the user passes: fail-open) or "refused:<code>".
#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "auth/session.h"
#include "diag/errors.h"
#include "tests/transport/silent_listeners.h"

int main(int argc, char** argv) {
    if (argc != 7 && argc != 8) {
        std::fprintf(stderr, "usage: failure_bench.exe <mode> <failopen> <port> <closed port> <ikey> <skey> [tls]\n");
        return 2;
    }
    const std::string mode = argv[1];
    CVynAuthSession session("VynGina/1.1.8");
    session.config.host = "localhost";
    session.config.failOpen = std::atoi(argv[2]) != 0;
    session.config.ikey = argv[5];
    session.config.skey = argv[6];
    const char* tls = argc == 8 ? argv[7] : "0";
    session.config.tls = TlsModeFrom(static_cast<DWORD>(std::atoi(tls)));
    std::unique_ptr<silent::NeverAcceptingListener> neverAccepts;
    std::unique_ptr<silent::NoTlsListener> noTls;
    if (mode == "refused") {
        session.config.port = static_cast<uint16_t>(std::atoi(argv[4]));
    } else if (mode == "silent") {
        neverAccepts = std::make_unique<silent::NeverAcceptingListener>();
        session.config.port = neverAccepts->Port();
    } else if (mode == "notls") {
        noTls = std::make_unique<silent::NoTlsListener>();
        session.config.port = noTls->Port();
    } else if (mode == "held") {
        session.config.port = static_cast<uint16_t>(std::atoi(argv[3]));
    } else {
        std::fprintf(stderr, "unknown mode %s\n", mode.c_str());
        return 2;
    }
    if (session.config.port == 0) {
        std::fprintf(stderr, "could not set up mode %s\n", mode.c_str());
        return 1;
    }

    std::string outcome = "passcode-dialog";
    LARGE_INTEGER frequency, start, end;
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&start);
    try {
        session.PreAuthorizeVynUser("alice");
    } catch (const CINetException& e) {
        outcome = "refused:" + std::to_string(e.GetErrorCode());
    } catch (const CVynException& e) {
        outcome = e.GetKind() == NoError ? "through" : "refused:kind" + std::to_string(e.GetKind());
    }
    ::QueryPerformanceCounter(&end);
    std::printf("%s %s %s %.1f %s\n", mode.c_str(), argv[2], outcome.c_str(),
                (end.QuadPart - start.QuadPart) * 1000.0 / frequency.QuadPart, tls);
    std::fflush(stdout);
    return 0;
}

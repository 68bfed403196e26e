// Benchmark (not a test): one signed "preauth" exchange through the module's
// request executor, repeated. Prints the request it sends (so a native client
// can send the same bytes) and the time of each exchange.
//
//   transport_bench.exe <port> <ikey> <skey> <user> <count>
//
// Output lines:
//   user-agent <text>
//   authorization <header line without CR LF>
//   body <form-encoded body>
//   ms <milliseconds of one exchange>      (count times)
#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "auth/session.h"
#include "diag/errors.h"
#include "net/signing.h"

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: transport_bench.exe <port> <ikey> <skey> <user> <count>\n");
        return 2;
    }
    CVynAuthSession session("VynGina/1.1.8");
    session.config.host = "localhost";
    session.config.port = static_cast<uint16_t>(std::atoi(argv[1]));
    session.config.ikey = argv[2];
    session.config.skey = argv[3];
    session.config.failOpen = false;
    const ParamMap params{{"user", argv[4]}};
    const int count = std::atoi(argv[5]);

    const std::string query = FormatQueryString(params);
    std::string header = session.FormatAuthHeader("POST", "/rest/v1/preauth.bson", query);
    if (header.size() >= 2) header.resize(header.size() - 2);
    std::printf("user-agent %s\nauthorization %s\nbody %s\n", session.userAgent.c_str(), header.c_str(),
                query.c_str());

    LARGE_INTEGER frequency;
    ::QueryPerformanceFrequency(&frequency);
    try {
        session.OpenHttpSession();
        for (int i = 0; i < count; ++i) {
            std::string response;
            LARGE_INTEGER start, end;
            ::QueryPerformanceCounter(&start);
            session.MakeRequest(VynOperation::Preauth, params, response, 10);
            ::QueryPerformanceCounter(&end);
            std::printf("ms %.3f\n", (end.QuadPart - start.QuadPart) * 1000.0 / frequency.QuadPart);
        }
    } catch (const CVynException& e) {
        std::fprintf(stderr, "exchange failed: kind %d\n", static_cast<int>(e.GetKind()));
        return 1;
    }
    std::fflush(stdout);
    return 0;
}

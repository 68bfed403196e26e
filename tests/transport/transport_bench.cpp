// Benchmark (not a test): one signed "preauth" exchange through the module's
// request executor, repeated, against its floor: the same request bytes sent
// by a bare WinHTTP client in this same process (no signing, no envelope, one
// kept session), turn about; and the same exchange through the executor with
// the module's own TLS client ("Tls" = 2), which keeps its connection between
// exchanges. Prints the request it sends (so a native client can send the
// same bytes) and the time of each exchange.
//
//   transport_bench.exe <port> <ikey> <skey> <user> <count>
//
// Output lines:
//   user-agent <text>
//   authorization <header line without CR LF>
//   body <form-encoded body>
//   ms <milliseconds of one module exchange>   (count times)
//   floor <milliseconds of one bare exchange>  (count times)
//   builtin <milliseconds of one exchange through the module's own client>  (count times)
//   fresh <the same on a new connection: a new session each time>  (count times)
#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "auth/session.h"
#include "diag/errors.h"
#include "net/signing.h"
#include "net/winhttp_handle.h"

namespace {

// The floor: what WinHTTP itself costs for these bytes. The connection is
// opened and the answer read exactly as the module does it (synchronous, TLS,
// headers and body in one WinHttpSendRequest), so that the difference is the
// module's own work.
class BareClient {
public:
    BareClient(const std::string& userAgent, uint16_t port)
        : port_(port),
          session_(::WinHttpOpen(std::wstring(userAgent.begin(), userAgent.end()).c_str(),
                                 WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS,
                                 0)) {}

    // The status code, 0 on any failure.
    DWORD Post(const std::wstring& headers, const std::string& body, std::string& answer) {
        unique_hinternet connect(::WinHttpConnect(session_.get(), L"localhost", port_, 0));
        if (!connect) return 0;
        unique_hinternet request(::WinHttpOpenRequest(connect.get(), L"POST", L"/rest/v1/preauth.bson", nullptr,
                                                      WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                      WINHTTP_FLAG_SECURE | WINHTTP_FLAG_REFRESH));
        if (!request) return 0;
        const DWORD length = static_cast<DWORD>(body.size());
        if (!::WinHttpSendRequest(request.get(), headers.c_str(), static_cast<DWORD>(headers.size()),
                                  const_cast<char*>(body.data()), length, length, 0) ||
            !::WinHttpReceiveResponse(request.get(), nullptr)) {
            return 0;
        }
        char chunk[4096];
        DWORD read = 0;
        while (::WinHttpReadData(request.get(), chunk, sizeof(chunk), &read) && read != 0) answer.append(chunk, read);
        DWORD status = 0;
        DWORD size = sizeof(status);
        ::WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                              WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX);
        return status;
    }

private:
    uint16_t port_;
    unique_hinternet session_;
};

double Milliseconds(const LARGE_INTEGER& start, const LARGE_INTEGER& end) {
    static const double frequency = [] {
        LARGE_INTEGER f;
        ::QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart);
    }();
    return (end.QuadPart - start.QuadPart) * 1000.0 / frequency;
}

}  // namespace

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
    // The same session through the module's own TLS client.
    CVynAuthSession builtin("VynGina/1.1.8");
    builtin.config = session.config;
    builtin.config.tls = TlsMode::ModuleOnly;
    const ParamMap params{{"user", argv[4]}};
    const int count = std::atoi(argv[5]);

    const std::string query = FormatQueryString(params);
    std::string header = session.FormatAuthHeader("POST", "/rest/v1/preauth.bson", query);
    if (header.size() >= 2) header.resize(header.size() - 2);
    std::printf("user-agent %s\nauthorization %s\nbody %s\n", session.http.UserAgent().c_str(), header.c_str(),
                query.c_str());

    // The same header lines the module sends: its Authorization line, then
    // the Content-Type it adds to a POST with a body.
    const std::wstring bareHeaders = std::wstring(header.begin(), header.end()) +
                                     L"\r\nContent-Type: application/x-www-form-urlencoded\r\n";
    BareClient bare(session.http.UserAgent(), session.config.port);
    std::string floorLines, builtinLines, freshLines;
    try {
        session.OpenHttpSession();
        builtin.OpenHttpSession();
        for (int i = 0; i < count; ++i) {
            std::string response;
            LARGE_INTEGER start, end;
            ::QueryPerformanceCounter(&start);
            session.MakeRequest(VynOperation::Preauth, params, response, 10, TimeoutScope::WholeExchange);
            ::QueryPerformanceCounter(&end);
            std::printf("ms %.3f\n", Milliseconds(start, end));

            std::string answer;
            ::QueryPerformanceCounter(&start);
            const DWORD status = bare.Post(bareHeaders, query, answer);
            ::QueryPerformanceCounter(&end);
            if (status != 200 || answer != response) {
                std::fprintf(stderr, "bare exchange failed: status %lu\n", static_cast<unsigned long>(status));
                return 1;
            }
            char line[64];
            std::snprintf(line, sizeof line, "floor %.3f\n", Milliseconds(start, end));
            floorLines += line;

            std::string own;
            ::QueryPerformanceCounter(&start);
            builtin.MakeRequest(VynOperation::Preauth, params, own, 10, TimeoutScope::WholeExchange);
            ::QueryPerformanceCounter(&end);
            if (own != response) {
                std::fprintf(stderr, "the module's own client got another answer\n");
                return 1;
            }
            std::snprintf(line, sizeof line, "builtin %.3f\n", Milliseconds(start, end));
            builtinLines += line;

            CVynAuthSession fresh("VynGina/1.1.8");
            fresh.config = builtin.config;
            fresh.OpenHttpSession();
            std::string freshAnswer;
            ::QueryPerformanceCounter(&start);
            fresh.MakeRequest(VynOperation::Preauth, params, freshAnswer, 10, TimeoutScope::WholeExchange);
            ::QueryPerformanceCounter(&end);
            std::snprintf(line, sizeof line, "fresh %.3f\n", Milliseconds(start, end));
            freshLines += line;
        }
    } catch (const CVynException& e) {
        std::fprintf(stderr, "exchange failed: kind %d\n", static_cast<int>(e.GetKind()));
        return 1;
    }
    std::fputs(floorLines.c_str(), stdout);
    std::fputs(builtinLines.c_str(), stdout);
    std::fputs(freshLines.c_str(), stdout);
    std::fflush(stdout);
    return 0;
}

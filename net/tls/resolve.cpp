// Name resolution for the module's own TLS client (see net/tls/resolve.h).
#include <winsock2.h>
#include <ws2tcpip.h>

#include "net/tls/resolve.h"

#include <memory>
#include <string>
#include <utility>

#include "config/config.h"
#include "diag/errors.h"
#include "diag/log.h"
#include "net/detached_call.h"
#include "net/winhttp_error.h"

namespace {
constexpr DWORD kTimeout = 12002;          // ERROR_WINHTTP_TIMEOUT
constexpr DWORD kNameNotResolved = 12007;  // ERROR_WINHTTP_NAME_NOT_RESOLVED
constexpr DWORD kCancelled = 12017;        // ERROR_WINHTTP_OPERATION_CANCELLED
}  // namespace

unique_addrinfo Resolve(const std::string& host, uint16_t port, const Deadline& deadline, HANDLE cancel) {
    struct Lookup {
        std::string host;
        std::string port;
        unique_addrinfo result;
        int error = 0;
    };
    auto lookup = std::make_shared<Lookup>();
    lookup->host = host;
    lookup->port = std::to_string(port);
    const CallEnd end = RunDetached(
        [lookup] {
            addrinfo hints = {};
            hints.ai_family = AF_UNSPEC;
            hints.ai_socktype = SOCK_STREAM;
            hints.ai_protocol = IPPROTO_TCP;
            addrinfo* found = nullptr;
            lookup->error = ::getaddrinfo(lookup->host.c_str(), lookup->port.c_str(), &hints, &found);
            lookup->result.reset(found);
        },
        deadline.Remaining(), cancel);
    if (end == CallEnd::Cancelled) ThrowWinHttpError("Name resolution of " + host, kCancelled);
    if (end == CallEnd::TimedOut) ThrowWinHttpError("Name resolution of " + host, kTimeout);
    if (end == CallEnd::Failed) throw CVynException(UnexpectedError, std::string());
    if (lookup->error != 0 || !lookup->result) {
        if (gDebugLogging) {
            LogMessage("DEBUG: getaddrinfo(" + host + ") failed (" + std::to_string(lookup->error) + ")");
        }
        ThrowWinHttpError("Name resolution of " + host, kNameNotResolved);
    }
    return std::move(lookup->result);
}


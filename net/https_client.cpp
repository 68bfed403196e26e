#include <winsock2.h>

#include "net/https_client.h"

#include <atomic>
#include <utility>

#include "diag/errors.h"
#include "diag/log.h"

namespace {
std::atomic<bool> gModuleClientFirst{false};
}  // namespace

bool ModuleTlsClientGoesFirst() noexcept { return gModuleClientFirst.load(); }
void SetModuleTlsClientGoesFirst() noexcept { gModuleClientFirst.store(true); }

CHttpsClient::CHttpsClient(std::string userAgent) : userAgent_(std::move(userAgent)) {}

void CHttpsClient::Open() {
    if (!winsock_) {
        WSADATA data;
        const int rc = ::WSAStartup(0x0001, &data);
        if (rc != 0) {
            LogSystemCallFailure("WSAStartup", static_cast<DWORD>(rc));
            throw CVynException(UnexpectedError, std::string());
        }
        winsock_.reset(true);
    }
    winhttp_.Open(userAgent_);
}

// ---------------------------------------------------------------------------
// THE SELECTION POINT: which TLS client carries a request. Today the system's
// (WinHTTP) always does, whatever `mode` says. With the module's own client
// beside it, this is where `mode` and ModuleTlsClientGoesFirst() decide.
// ---------------------------------------------------------------------------
ITlsClient& CHttpsClient::SelectClient(const HttpsRequest&, TlsMode) { return winhttp_; }

int32_t CHttpsClient::Send(const HttpsRequest& request, std::string& response, TlsMode mode) {
    return SelectClient(request, mode).Send(request, response);
}

void CHttpsClient::Abort() { winhttp_.Abort(); }

#include <winsock2.h>

#include "net/https_client.h"

#include <atomic>
#include <string>
#include <utility>

#include "diag/errors.h"
#include "diag/log.h"
#include "net/winhttp_api.h"
#include "net/winhttp_error.h"

namespace {
std::atomic<bool> gModuleClientFirst{false};
}  // namespace

bool ModuleTlsClientGoesFirst() noexcept { return gModuleClientFirst.load(); }
void SetModuleTlsClientGoesFirst() noexcept { gModuleClientFirst.store(true); }

CHttpsClient::CHttpsClient(std::string userAgent) : userAgent_(std::move(userAgent)) {}

void CHttpsClient::Open() {
    if (!winsock_) {
        WSADATA data;
        // 2.2: the module's own TLS client uses Winsock 2 calls (event
        // selection, getaddrinfo), which a 1.0 start does not promise.
        const int rc = ::WSAStartup(MAKEWORD(2, 2), &data);
        if (rc != 0) {
            LogSystemCallFailure("WSAStartup", static_cast<DWORD>(rc));
            throw CVynException(UnexpectedError, std::string());
        }
        winsock_.reset(true);
    }
    winhttp_.Open(userAgent_);
}

// ---------------------------------------------------------------------------
// THE SELECTION POINT: which TLS client carries a request.
// The system's TLS goes first in automatic mode because it is the one the
// administrator's machine already trusts and configures; the module's own
// client stands in when the system's cannot complete a handshake (the TLS 1.0
// ceiling of XP x64 / Server 2003 x64), and from then on goes first for the
// rest of the process, so the later requests do not pay for a failed
// handshake each.
// ---------------------------------------------------------------------------
ITlsClient& CHttpsClient::SelectClient(const HttpsRequest&, TlsMode mode) {
    switch (mode) {
        case TlsMode::SystemOnly: return winhttp_;
        case TlsMode::ModuleOnly: return builtin_;
        case TlsMode::Automatic: break;
    }
    if (ModuleTlsClientGoesFirst()) return builtin_;
    return winhttp_;
}

ITlsClient& CHttpsClient::OtherClient(const ITlsClient& client) {
    if (&client == &winhttp_) return builtin_;
    return winhttp_;
}

namespace {

// The codes both Windows and Wine report for a TLS handshake that did not
// complete: a failed secure channel, and a certificate refused. The second
// client refuses a certificate the first refused as well (both trust only the
// machine's root store), so handing it over changes no verdict.
bool IsHandshakeFailure(const CINetException& e) {
    return e.GetErrorCode() == ERROR_WINHTTP_SECURE_CHANNEL_ERROR || e.GetErrorCode() == ERROR_WINHTTP_SECURE_FAILURE;
}

const char* ClientWords(bool builtin) { return builtin ? "the module's own TLS client" : "the system's TLS"; }

}  // namespace

const std::string& CHttpsClient::LastContentType() const noexcept {
    static const std::string none;
    switch (lastServed_) {
        case TlsClientKind::Module: return builtin_.AnswerContentType();
        case TlsClientKind::System: return winhttp_.AnswerContentType();
        default: return none;
    }
}

int32_t CHttpsClient::SendThrough(ITlsClient& client, const HttpsRequest& request, std::string& response) {
    {
        const CCriticalSectionLock lock(sendLock_);
        if (aborted_) {
            ThrowWinHttpError("Sending the request to " + HostPort(request.host, request.port),
                              ERROR_WINHTTP_OPERATION_CANCELLED);
        }
        sending_ = &client;
    }
    struct Sending {
        CHttpsClient& owner;
        ~Sending() {
            const CCriticalSectionLock lock(owner.sendLock_);
            owner.sending_ = nullptr;
        }
    } sending{*this};
    lastTried_ = &client == &builtin_ ? TlsClientKind::Module : TlsClientKind::System;
    const int32_t status = client.Send(request, response);
    lastServed_ = &client == &builtin_ ? TlsClientKind::Module : TlsClientKind::System;
    return status;
}

int32_t CHttpsClient::Send(const HttpsRequest& request, std::string& response, TlsMode mode) {
    {
        const CCriticalSectionLock lock(sendLock_);
        aborted_ = false;
    }
    ITlsClient& first = SelectClient(request, mode);
    if (mode != TlsMode::Automatic) return SendThrough(first, request, response);

    // Whatever the outcome of the exchange, a completed handshake proves the
    // module's client can reach the service.
    struct NoteHandshake {
        const CBuiltinTlsClient& builtin;
        ~NoteHandshake() {
            if (builtin.HandshakeCompleted() && !ModuleTlsClientGoesFirst()) SetModuleTlsClientGoesFirst();
        }
    } noteHandshake{builtin_};

    const size_t responseStart = response.size();
    const DWORD started = ::GetTickCount();
    HttpsRequest handOver = request;
    try {
        return SendThrough(first, request, response);
    } catch (const CINetException& e) {
        if (!IsHandshakeFailure(e)) throw;
        // The hand-over is the same attempt, so it gets what is left of the
        // attempt's bound, not a bound of its own: a service that stalls the
        // handshake (Wine reports that as a failed secure channel when the
        // bound runs out) costs one bound per attempt, as before. With less
        // than a second left the first failure stands.
        if (request.timeoutSeconds > 0) {
            const DWORD bound = static_cast<DWORD>(request.timeoutSeconds) * 1000u;
            const DWORD elapsed = ::GetTickCount() - started;
            if (elapsed + 1000u > bound) throw;
            handOver.timeoutSeconds = static_cast<int32_t>((bound - elapsed) / 1000u);
        }
    }
    response.resize(responseStart);
    ITlsClient& second = OtherClient(first);
    LogMessage(std::string("WARNING: ") + (&first == &builtin_ ? "The module's own TLS client" : "The system's TLS") +
               " could not connect to " + HostPort(request.host, request.port) + "; trying " +
               ClientWords(&second == &builtin_));
    return SendThrough(second, handOver, response);
}

void CHttpsClient::Abort() {
    const CCriticalSectionLock lock(sendLock_);
    aborted_ = true;
    if (sending_ != nullptr) sending_->Abort();
}

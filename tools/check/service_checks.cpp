// The service as a logon meets it: Ping, the signed Check and, for one user,
// the pre-authentication, each failure named with what it means and what to do.
#include <winsock2.h>
#include <ws2tcpip.h>

#include "tools/check/checks.h"

#include <winhttp.h>

#include <exception>
#include <memory>

#include "auth/envelope.h"
#include "auth/session.h"
#include "common/handles.h"
#include "common/strings.h"
#include "diag/errors.h"
#include "diag/log.h"
#include "net/https_client.h"
#include "net/certificate_probe.h"
#include "net/tls/proxy.h"
#include "net/tls/tls_platform.h"
#include "net/winhttp_handle.h"
#include "tools/check/certificate.h"
#include "tools/check/chain_diagnosis.h"
#include "tools/check/words.h"

namespace {

// The bound of every wait of the tool's requests, the same as
// pre-authentication's: a service that accepts and then stays silent is
// reported as timed out rather than holding the administrator's console.
constexpr int32_t kRequestTimeoutSeconds = 10;

std::string Milliseconds(DWORD start) { return std::to_string(::GetTickCount() - start) + " ms"; }

std::string Number(DWORD code) { return " (error " + std::to_string(static_cast<unsigned long>(code)) + ")"; }

// --- Which wait a time-out ended --------------------------------------------

struct ResolveJob {
    std::string host;
    unique_handle done;
    bool resolved = false;
};

DWORD WINAPI ResolveThread(LPVOID parameter) {
    const std::unique_ptr<std::shared_ptr<ResolveJob>> job(static_cast<std::shared_ptr<ResolveJob>*>(parameter));
    addrinfo hints = {};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    (*job)->resolved = ::getaddrinfo((*job)->host.c_str(), "443", &hints, &found) == 0;
    if (found != nullptr) ::freeaddrinfo(found);
    ::SetEvent((*job)->done.get());
    return 0;
}

// Whether the system resolver names `host` within `ms`. It runs on a thread of
// its own, which the tool stops waiting for: the resolver can hang far beyond
// any bound. The job is shared, so a late answer writes into live memory.
bool ResolvesWithin(const std::string& host, DWORD ms) {
    auto job = std::make_shared<ResolveJob>();
    job->host = host;
    job->done.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!job->done) return true;  // cannot tell: the connection is named
    auto parameter = std::make_unique<std::shared_ptr<ResolveJob>>(job);
    const unique_handle thread(::CreateThread(nullptr, 0, ResolveThread, parameter.get(), 0, nullptr));
    if (!thread) return true;
    parameter.release();  // the thread's now
    return ::WaitForSingleObject(job->done.get(), ms) == WAIT_OBJECT_0 && job->resolved;
}

// A time-out names the wait that ended: the answer, to a request the service
// had; else name resolution, when the name does not resolve within the bound
// now either; else connecting (through the proxy, when one is configured).
std::string TimeoutWords(const CINetException& e, const SessionConfig& config, const ProxyServer& proxy) {
    const std::string bound = std::to_string(kRequestTimeoutSeconds) + " s";
    if (e.Wait() == NetWait::Answer)
        return "timed out waiting for the answer: the service had the request and did not answer within " + bound +
               Number(e.GetErrorCode());
    const std::string named = proxy.host.empty() ? config.host : proxy.host;
    if (!ResolvesWithin(named, static_cast<DWORD>(kRequestTimeoutSeconds) * 1000u))
        return "timed out resolving the name " + named + ": this machine's DNS did not answer within " + bound +
               Number(e.GetErrorCode());
    if (!proxy.host.empty())
        return "timed out connecting through the proxy " + HostPort(proxy.host, proxy.port) +
               ": the proxy, or the service behind it, did not complete the connection and TLS handshake within " +
               bound + Number(e.GetErrorCode());
    return "timed out connecting: the service did not complete the connection and TLS handshake within " + bound +
           Number(e.GetErrorCode());
}

// --- Certificates and handshakes --------------------------------------------

// With "Tls" = 1 the system's TLS alone carries the requests: its refusal is
// judged as WinHTTP and CryptoAPI judge it, and a handshake that fails
// without a certificate is the platform's TLS 1.0 ceiling.
std::string SystemTlsWords(const CVynAuthSession& session, DWORD code) {
    uint32_t policyError = 0;
    const CertificateFinding finding =
        DiagnoseCertificate(session.http.UserAgent(), session.config.host, session.config.port, policyError);
    if (finding == CertificateFinding::NoCertificate || finding == CertificateFinding::Valid) {
        std::string words = "TLS failure: the system's TLS could not complete a handshake with the service";
        if (finding == CertificateFinding::Valid) words += " (its certificate is valid for this host)";
        return words + Number(code) + ". " + kTlsLimitsNote;
    }
    std::string words = CertificateFindingWords(finding, policyError) + Number(code);
    if (finding == CertificateFinding::SignatureNotValidated) words += ". " + std::string(kTlsLimitsNote);
    return words;
}

// Otherwise the module's own client is the one a logon ends with (always with
// "Tls" = 2; in automatic mode once the system's TLS could not connect): one
// handshake of it shows the chain the service sent and what is wrong with it.
std::string ModuleTlsWords(const CVynAuthSession& session, DWORD code) {
    const auto probeOnce = [&session]() {
        return ProbeServiceCertificate(session.http.UserAgent(), session.config.host, session.config.port,
                                       kRequestTimeoutSeconds);
    };
    const CertificateProbe probe = probeOnce();
    RootAsk fetch = RootAsk::NotAsked;
    const ChainDiagnosis diagnosis = DiagnoseChain(probe, session.config.host, probeOnce, fetch);
    switch (diagnosis.finding) {
        case ChainFinding::Valid:
            return "TLS failure of the module's own TLS client, whose handshake with the service completes now (" +
                   probe.tlsVersion + ", the certificate valid for this host)" + Number(code);
        case ChainFinding::NoCertificate:
            return "TLS failure: the module's own TLS client could not complete a handshake with the service (no "
                   "TLS 1.2 or 1.3 and cipher suite in common, or no TLS service at that port)" +
                   Number(code);
        default: return diagnosis.words + Number(code);
    }
}

// --- A failure in words -------------------------------------------------------

// The answer's Content-Type as the finding shows it: the service's text,
// cleaned as the log cleans it.
std::string ContentTypeWords(const CHttpsClient& http) {
    const std::string& type = http.LastContentType();
    return type.empty() ? "no Content-Type" : "Content-Type " + ServiceTextForLog(type);
}

// A 2xx answer whose body is not an envelope the module accepts: the status,
// the Content-Type (an HTML page says a proxy or a web server answered) and
// what is wrong with the envelope.
std::string NotUnderstoodWords(int32_t status, const CHttpsClient& http, const std::string& fault) {
    return "answer not understood: HTTP status " + std::to_string(status) + ", " + ContentTypeWords(http) + ": " +
           fault;
}

std::string TransportFailure(const CVynAuthSession& session, const CINetException& e) {
    const DWORD code = e.GetErrorCode();
    const SessionConfig& config = session.config;
    // Both clients follow the machine's WinHTTP proxy configuration.
    const ProxyServer proxy = MachineProxyFor(config.host, config.port);
    if (code == 12002 || code == 10060) return TimeoutWords(e, config, proxy);
    if (code == 12029 && !proxy.host.empty())
        return "connection refused by the proxy " + HostPort(proxy.host, proxy.port) +
               ": it does not accept connections, or refused the tunnel to " + HostPort(config.host, config.port) +
               Number(code);
    if (!IsSecureChannelFailure(code)) return TransportFailureWords(code, RunningUnderWine());
    if (config.tls == TlsMode::SystemOnly) return SystemTlsWords(session, code);
    if (code == 12030) return TransportFailureWords(code, RunningUnderWine());
    return ModuleTlsWords(session, code);
}

// What a failure on this machine is, found by trying what the request needed.
std::string LocalFailureWords(const CVynAuthSession& session) {
    std::string cause = "the request could not be made (the debugger output, e.g. DebugView, names the call)";
    const unique_hinternet winhttp(::WinHttpOpen(FromUtf8(session.http.UserAgent()).c_str(),
                                                 WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                                 WINHTTP_NO_PROXY_BYPASS, 0));
    if (!winhttp)
        cause = "WinHttpOpen fails" + Number(::GetLastError());
    else if (session.config.tls != TlsMode::SystemOnly && !EnsureTlsLibrary())
        cause = "the module's own TLS client cannot start its TLS library";
    return "a failure on this machine: " + cause;
}

// What an exchange came to, in the module's terms: only a transport failure or
// a server error (5xx) may fail open; 401 means the keys; any other answer the
// module cannot use (a redirect, which it never follows, another status, an
// envelope it cannot read) is refused at logon whatever FailOpen says; a
// failure on this machine refuses too, and is this machine's to mend.
struct ExchangeResult {
    ServiceAnswer answer = ServiceAnswer::Answered;
    std::string words;
};

// The words of the last transport failure: a ping and a Check that fail alike
// are diagnosed once (a look at the certificate is one more handshake).
struct TransportWords {
    DWORD code = 0;
    std::string words;
};

ExchangeResult Classify(const CVynAuthSession& session, const std::exception_ptr& failure,
                        TransportWords* last = nullptr) {
    try {
        std::rethrow_exception(failure);
    } catch (const CINetException& e) {
        if (last != nullptr && last->code == e.GetErrorCode()) return {ServiceAnswer::Unreachable, last->words};
        std::string words = TransportFailure(session, e);
        if (last != nullptr) *last = {e.GetErrorCode(), words};
        return {ServiceAnswer::Unreachable, std::move(words)};
    } catch (const CHttpStatusException& e) {
        const int32_t status = e.GetHttpStatus();
        const std::string number = "HTTP status " + std::to_string(status);
        if (status >= 500 && status <= 599) return {ServiceAnswer::Unreachable, number + " (a server error)"};
        if (status == 401)
            return {ServiceAnswer::KeysRefused,
                    number + ": the service refused the request's signature: check IKey, SKey and Host (the "
                             "signature covers the host name)"};
        if (status >= 300 && status <= 399)
            return {ServiceAnswer::Refused, number + " (a redirect, which the module never follows)"};
        return {ServiceAnswer::Refused, number};
    } catch (const CVynException& e) {
        if (e.GetKind() == UnexpectedError) return {ServiceAnswer::LocalFailure, LocalFailureWords(session)};
        // A body the request's own caller read and refused: only its
        // Content-Type is still known here.
        return {ServiceAnswer::Refused, "answer not understood: " + ContentTypeWords(session.http) +
                                            ": the envelope is not one the module reads"};
    }
}

// One unparameterised request through the module's executor, its answer
// checked as the module checks every envelope.
ExchangeResult Exchange(CVynAuthSession& session, VynOperation operation, TransportWords& last) {
    try {
        session.OpenHttpSession();
        const ParamMap none;
        std::string body;
        const int32_t status =
            session.MakeRequest(operation, none, body, kRequestTimeoutSeconds, TimeoutScope::WholeExchange);
        const std::string fault = EnvelopeFault(body);
        if (fault.empty()) return {};
        LogMessage("vyn-check: " + fault);
        return {ServiceAnswer::Refused, NotUnderstoodWords(status, session.http, fault)};
    } catch (const CVynException&) {
        return Classify(session, std::current_exception(), &last);
    }
}

// Said after a refusal other than the keys', which names its own cause.
const char* RefusalTail(ServiceAnswer answer) {
    switch (answer) {
        case ServiceAnswer::Refused: return ": the module refuses such an answer whatever FailOpen says";
        case ServiceAnswer::LocalFailure: return ": the module refuses logons that need the service, whatever FailOpen says";
        default: return "";
    }
}

// The session the tool's requests go through: the module's product token and
// the settings as read, but never failing open: the tool must see the failure
// that a logon would have hidden behind FailOpen.
void Prepare(CVynAuthSession& session, const SessionConfig& config) {
    session.config = config;
    session.config.failOpen = false;
}

// The client that reached the service for `http`'s last answer, in words.
std::string ClientReached(const CHttpsClient& http) {
    if (http.LastServed() == TlsClientKind::Module)
        return "the module's own TLS client (" + http.Builtin().TlsVersion() + ")";
    return "the system's TLS (WinHTTP)";
}

// With "Tls" = 1 and the system's TLS failing the handshake: whether the
// module's own client completes one with the service, as automatic
// selection would have let it. The Check is made once more through it; its
// answer does not matter, only that the handshake completed.
void ProbeModuleClient(Report& report, const SessionConfig& config, DWORD failure) {
    if (config.tls != TlsMode::SystemOnly || !IsSecureChannelFailure(failure)) return;
    SessionConfig viaModule = config;
    viaModule.tls = TlsMode::ModuleOnly;
    CVynAuthSession probe(kVynProductToken);
    Prepare(probe, viaModule);
    TransportWords ignored;
    Exchange(probe, VynOperation::Check, ignored);
    if (!probe.http.Builtin().HandshakeCompleted()) return;
    report.Add("service.tls", Status::Warn,
               "service: the module's own TLS client connects (" + probe.http.Builtin().TlsVersion() +
                   ") where the system's TLS cannot: set Tls to 0 (automatic) to let logons use it");
}

// The client that carried the last exchange or last tried one, for the JSON.
std::string ClientWord(const CHttpsClient& http) {
    switch (http.LastTried()) {
        case TlsClientKind::Module: return "own";
        case TlsClientKind::System: return "system";
        default: return std::string();
    }
}

ServiceAnswer CheckServiceWith(CVynAuthSession& session, Report& report, const SessionConfig& config,
                               bool userFollows) {
    const std::string where = config.host + ":" + std::to_string(config.port);

    // The module never sends a ping: its result is information, and the signed
    // Check that follows decides.
    TransportWords last;
    DWORD start = ::GetTickCount();
    const ExchangeResult ping = Exchange(session, VynOperation::Ping, last);
    if (ping.answer == ServiceAnswer::Answered)
        report.Add("service.ping", Status::Ok, "service: ping of " + where + " answered in " + Milliseconds(start));
    else
        report.Add("service.ping", Status::Warn,
                   "service: ping of " + where + " failed after " + Milliseconds(start) + ": " + ping.words);

    start = ::GetTickCount();
    const ExchangeResult check = Exchange(session, VynOperation::Check, last);
    switch (check.answer) {
        case ServiceAnswer::Answered: break;
        case ServiceAnswer::Unreachable:
            report.Add("service.check", Status::Fail, "service: check failed after " + Milliseconds(start) + ": " + check.words);
            ProbeModuleClient(report, config, last.code);
            return check.answer;
        case ServiceAnswer::LocalFailure:
            report.Add("service.check", Status::Fail,
                       "service: check failed after " + Milliseconds(start) + ": " + check.words +
                           RefusalTail(check.answer));
            return check.answer;
        default:
            // The module never sends Check at logon: with a user named, that
            // user's pre-authentication decides, and this refusal is a warning
            // unless it fails as well.
            report.Add("service.check", userFollows ? Status::Warn : Status::Fail,
                       "service: check refused after " + Milliseconds(start) + ": " + check.words +
                           RefusalTail(check.answer));
            return check.answer;
    }
    report.Add("service.check", Status::Ok,
               "service: check answered in " + Milliseconds(start) + ": the service accepts the IKey/SKey pair");
    report.Add("service.tls", Status::Ok, "service: reached through " + ClientReached(session.http));

    // The module's own client trusts the machine's stores alone, as SYSTEM
    // does. The system's TLS served this account, whose own stores may add
    // roots SYSTEM does not have.
    if (session.http.LastServed() == TlsClientKind::Module) return check.answer;
    uint32_t policyError = 0;
    const CertificateFinding finding =
        DiagnoseCertificate(session.http.UserAgent(), session.config.host, session.config.port, policyError);
    if (finding == CertificateFinding::Valid || finding == CertificateFinding::NoCertificate) return check.answer;
    report.Add("service.certificate", Status::Fail,
               "service: this account accepts the service's certificate, SYSTEM would not: " +
                   CertificateFindingWords(finding, policyError));
    return ServiceAnswer::Unreachable;
}

}  // namespace

ServiceAnswer CheckService(Report& report, const SessionConfig& config, bool userFollows, std::string& tlsClient) {
    CVynAuthSession session(kVynProductToken);
    Prepare(session, config);
    const ServiceAnswer answer = CheckServiceWith(session, report, config, userFollows);
    tlsClient = ClientWord(session.http);
    return answer;
}

ServiceAnswer CheckUser(Report& report, const SessionConfig& config, const std::string& user) {
    CVynAuthSession session(kVynProductToken);
    Prepare(session, config);
    const std::string who = "user " + user + ": ";
    const DWORD start = ::GetTickCount();
    PreauthDecision decision;
    try {
        decision = session.RequestPreauth(user);
    } catch (const CVynException&) {
        const ExchangeResult result = Classify(session, std::current_exception());
        const bool reached = result.answer == ServiceAnswer::KeysRefused || result.answer == ServiceAnswer::Refused;
        report.Add("user.preauth", Status::Fail,
                   who + "pre-authentication " + (reached ? "refused: " : "failed: ") + result.words +
                       RefusalTail(result.answer));
        return result.answer;
    }
    const std::string took = " (" + Milliseconds(start) + ")";
    const PreauthVerdict verdict = JudgePreauth(decision);
    switch (verdict.action) {
        case PreauthAction::SecondFactor: {
            std::string text = who + "a second factor is needed";
            if (!decision.defaultFactor.empty()) {
                text += "; default factor: " + decision.defaultFactor;
                if (config.autoPush) text += " (started at once at logon: AutoPush is on)";
            }
            report.Add("user.preauth", Status::Ok, text + took);
            return ServiceAnswer::Answered;
        }
        case PreauthAction::Allow:
            report.Add("user.preauth", Status::Info, who + "allowed without a second factor" + took);
            return ServiceAnswer::Answered;
        case PreauthAction::Refuse:
            break;
    }
    // Enrol and deny are the service's decisions about this account: answers,
    // which say nothing against the machine's readiness.
    if (decision.result == "enroll") {
        report.Add("user.preauth", Status::Warn, who + "must enrol: " + verdict.message + took);
        return ServiceAnswer::Answered;
    }
    if (verdict.kind == AuthenticationDenied) {
        report.Add("user.preauth", Status::Warn, who + "denied: " + verdict.message + took);
        return ServiceAnswer::Answered;
    }
    report.Add("user.preauth", Status::Fail, who + "decision \"" + decision.result + "\" not understood" + took);
    return ServiceAnswer::Refused;
}

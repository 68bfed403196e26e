// Authentication of the user's answer: one asynchronous "auth" transaction,
// polled with "status" requests until the service decides, on the worker
// thread of the status dialog while Winlogon's thread waits in that dialog.
//
// Who owns what. The module's one CVynAuthSession (the shared session) belongs
// to Winlogon's thread. Each authentication builds an AuthWorker: a private
// CVynAuthSession with a copy of the shared user agent and configuration, its
// own HTTPS client and its own cancel event, plus the user and the answer.
// The work, the cancel action and the stop action each hold a reference to it. The worker runs
// the whole transaction on the private session only, so a worker that the
// dialog had to abandon (blocked in a request the service holds) never touches
// the shared session, the dialog, or a later authentication; it frees the
// AuthWorker when it finally ends.
//
// Cancel. The cancel action, on Winlogon's thread, logs and signals the shared
// session's event as always and passes the signal on to the worker's own
// event, the one its cancel checks and its requests test. A worker that
// notices it (at a cancel check, in a pause between failed polls, or as a
// request is about to go out) ends with the user's cancel, which the user
// reads and the event log records. A worker still blocked in a request the
// service holds when the dialog's one-second wait runs out has its request
// ended by the dialog's stop action: the logon counts as aborted, and the
// worker and its connection go at once where the platform can end a request
// in progress (Wine's WinHTTP runs a closed request on until the service
// answers, so there the worker stays abandoned until then).
#include <winsock2.h>

#include <exception>
#include <memory>

#include "auth/envelope.h"
#include "auth/operations.h"
#include "diag/secrets.h"
#include "auth/session.h"
#include "common/strings.h"
#include "diag/errors.h"
#include "diag/eventlog.h"
#include "diag/log.h"
#include "net/identity.h"
#include "ui/status_dialog.h"

namespace {

// Everything one authentication's worker uses (see above).
struct AuthWorker {
    AuthWorker(const CVynAuthSession& shared, const std::string& u, const std::string& a)
        : session(shared.config, shared.http.UserAgent()), user(u), answer(a) {
        session.statusAnswerSeconds = shared.statusAnswerSeconds;
        session.statusFailureSeconds = shared.statusFailureSeconds;
    }
    CVynAuthSession session;
    std::string user;
    std::string answer;
};

// Throws the user's cancel when the event is signalled. Tested without
// waiting; the event is auto-reset, so the test that sees it also clears it.
void ThrowIfCancelled(HANDLE cancelEvent) {
    if (cancelEvent == nullptr) return;
    const DWORD result = ::WaitForSingleObject(cancelEvent, 0);
    if (result == WAIT_OBJECT_0) throw CVynException(AuthenticationDenied, "User cancelled authentication");
    if (result == WAIT_FAILED) LogSystemCallFailure("WaitForSingleObject", ::GetLastError());
}

// A status poll whose answer arrived (with a 2xx status) but could not be
// read. To every catcher outside the polling loop it is the envelope's own
// failure: kind UnexpectedResponse, no message.
class CUnreadablePollAnswer : public CVynException {
public:
    explicit CUnreadablePollAnswer(int32_t httpStatus)
        : CVynException(UnexpectedResponse, std::string()), httpStatus_(httpStatus) {}
    int32_t GetHttpStatus() const { return httpStatus_; }

private:
    int32_t httpStatus_;
};

// What the polling loop does after a failed poll. Once the service has given
// a transaction id it is reachable and a decision is pending, so a failed
// poll (a server error, a transport failure, an answer that cannot be read)
// never lets the user in, whatever FailOpen says: the loop polls again after
// a pause (1 s, doubling up to 5 s), and when no poll has reached the service
// for `boundSeconds` the logon is refused with that failure, as a failed poll
// without fail-open always was.
class PollFailurePace {
public:
    PollFailurePace(int32_t boundSeconds, HANDLE cancelEvent)
        : boundMs_(static_cast<DWORD>(boundSeconds) * 1000u), cancelEvent_(cancelEvent) {}

    // A poll reached the service: answered, or held until its bound. Each is
    // proof the service is there, so the bound and the pauses start again.
    void Reached() {
        since_ = ::GetTickCount();
        pauseMs_ = kFirstPauseMs;
    }

    // Called inside the handler of the failed poll's exception, which it
    // rethrows once the bound has passed; otherwise it logs the failure with
    // `code` and pauses. A cancel ends the pause with the user's cancel.
    void Failed(int64_t code) {
        if (::GetTickCount() - since_ >= boundMs_) {
            LogMessage("Status polls failed for 60 s; refusing");
            throw;
        }
        LogMessage("Status poll failed; polling again (" + std::to_string(code) + ")");
        const DWORD pause = pauseMs_;
        pauseMs_ = pauseMs_ * 2 < kLongestPauseMs ? pauseMs_ * 2 : kLongestPauseMs;
        if (cancelEvent_ == nullptr) {
            ::Sleep(pause);
            return;
        }
        const DWORD result = ::WaitForSingleObject(cancelEvent_, pause);
        if (result == WAIT_OBJECT_0) throw CVynException(AuthenticationDenied, "User cancelled authentication");
        if (result == WAIT_FAILED) {
            LogSystemCallFailure("WaitForSingleObject", ::GetLastError());
            ::Sleep(pause);
        }
    }

private:
    static constexpr DWORD kFirstPauseMs = 1000;
    static constexpr DWORD kLongestPauseMs = 5000;
    const DWORD boundMs_;
    const HANDLE cancelEvent_;
    DWORD since_ = ::GetTickCount();
    DWORD pauseMs_ = kFirstPauseMs;
};

bool IsServerError(int32_t httpStatus) { return httpStatus >= 500 && httpStatus <= 599; }

}  // namespace

bool CVynAuthSession::AuthorizeVynUser(HWND owner, const std::string& user, const std::string& answer) {
    LogMessage("Entered CVynAuthSession::AuthorizeVynUser");
    LogMessage("User: " + user);
    LogMessage("Auth: " + MaskAnswerForLog(answer));

    OpenHttpSession();

    if (cancelEvent && !::ResetEvent(cancelEvent.get())) LogSystemCallFailure("ResetEvent", ::GetLastError());

    auto worker = std::make_shared<AuthWorker>(*this, user, answer);
    CAuthStatusDialog dialog(
        [worker](HWND window) {
            worker->session.OpenHttpSession();
            try {
                worker->session.RunAuthTransaction(worker->user, worker->answer, window,
                                                   worker->session.cancelEvent.get());
            } catch (const CINetException& e) {
                // A request ends as cancelled only by the user's cancel: seen
                // as the request was about to go out, or the dialog's stop
                // action after the dialog gave up (the outcome is settled
                // then, and this exception goes nowhere).
                if (e.Cancelled()) throw CVynException(AuthenticationDenied, "User cancelled authentication");
                throw;
            }
        },
        [this, worker] {
            CancelAuthentication();
            if (worker->session.cancelEvent && !::SetEvent(worker->session.cancelEvent.get())) {
                LogSystemCallFailure("SetEvent", ::GetLastError());
            }
        },
        [worker] { worker->session.http.Abort(); });
    // Events of the worker's requests (fail-open) belong to this logon only
    // while the dialog still waits for the worker.
    worker->session.abandoned = dialog.AbandonedFlag();
    dialog.DoModal(owner);

    switch (dialog.GetState()) {
    case CAuthStatusDialog::kCompleted:
        ReportToEventLog(EVENTLOG_INFORMATION_TYPE, "Successful Vyn login for '" + user + "'");
        return true;
    case CAuthStatusDialog::kFailed: {
        const std::exception_ptr failure = dialog.GetException();
        if (!failure) {
            LogMessage("ERROR: Authentication failed but no exception was thrown");
            return false;
        }
        try {
            std::rethrow_exception(failure);
        } catch (const CVynException& e) {
            if (e.GetKind() != NoError) {
                // A refusal's message is the service's own text: the log and
                // the event get it cut, the user reads it whole.
                ReportToEventLog(EVENTLOG_ERROR_TYPE, "Error in Vyn login for '" + user +
                                                          "': " + ServiceTextForLog(ToUtf8(e.GetUserMessage())));
            }
            throw;
        } catch (...) {
            // Anything outside the exception family (memory exhaustion, an
            // encoder's CAtlException...) is a local failure: it is reported
            // and handed on as one, so that no catcher on the way to Winlogon
            // meets a type it does not expect.
            const CVynException unexpected(UnexpectedError, std::string());
            ReportToEventLog(EVENTLOG_ERROR_TYPE,
                             "Error in Vyn login for '" + user + "': " + ToUtf8(unexpected.GetUserMessage()));
            throw unexpected;
        }
    }
    case CAuthStatusDialog::kCancelled:
        ReportToEventLog(EVENTLOG_WARNING_TYPE, "Aborted Vyn login for '" + user + "'");
        return false;
    default:
        LogMessage("ERROR: Authentication dialog did not complete");
        return false;
    }
}

void CVynAuthSession::RunAuthTransaction(const std::string& user, const std::string& answer, HWND progressWindow,
                                         HANDLE cancelEvent) {
    ParamMap params;
    params["user"] = NormalizeUsername(user);
    params["factor"] = "auto";
    params["auto"] = answer;
    params["async"] = "1";
    const std::string address = GetClientIpAddress(config.localIpFallback);
    if (!address.empty()) {
        LogMessage("IP address: " + address);
        params["ipaddr"] = address;
    }

    // Every request of this run tests the event too, once its Abort could
    // reach it (see ExchangeCancelled, net/tls_client.h).
    struct RequestCancelScope {
        HANDLE& slot;
        HANDLE previous;
        ~RequestCancelScope() { slot = previous; }
    } requestCancelScope{requestCancelEvent, requestCancelEvent};
    requestCancelEvent = cancelEvent;

    ThrowIfCancelled(cancelEvent);
    std::string body;
    MakeRequest(VynOperation::Auth, params, body, 10);
    ThrowIfCancelled(cancelEvent);

    const BsonView payload = ParseResponse(body);
    const std::string txid = ReadStringElement(payload, "txid");
    if (txid.empty()) {
        LogMessage("ERROR: No txid element found");
        throw CVynException(UnexpectedResponse, std::string());
    }
    LogMessage("Txid: " + ServiceTextForLog(txid));

    // The window shows the previous poll's text while the next poll is out;
    // the text that comes with the decision is never shown there (on a
    // refusal it becomes the message the user reads).
    std::string result;
    std::string status;
    PollFailurePace pace(statusFailureSeconds, cancelEvent);
    do {
        ThrowIfCancelled(cancelEvent);
        if (progressWindow != nullptr && !status.empty()) {
            const std::wstring text = FromUtf8(status);
            ::SendMessageW(progressWindow, WM_SET_STATUS_TEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
        }
        try {
            CheckTransactionStatus(txid, result, status);
        } catch (const CINetException& e) {
            // A poll the service held past its bound: poll again at once,
            // after the cancel check, with the previous text still shown.
            if (e.TimedOutAwaitingAnswer()) {
                pace.Reached();
                continue;
            }
            if (e.Cancelled()) throw;
            pace.Failed(e.GetErrorCode());
            continue;
        } catch (const CHttpStatusException& e) {
            // Other statuses (4xx, 3xx...) are the service's refusal.
            if (!IsServerError(e.GetHttpStatus())) throw;
            pace.Failed(e.GetHttpStatus());
            continue;
        } catch (const CUnreadablePollAnswer& e) {
            pace.Failed(e.GetHttpStatus());
            continue;
        }
        pace.Reached();
        LogMessage("Status: " + ServiceTextForLog(status));
    } while (result.empty());

    LogMessage("Result: " + ServiceTextForLog(result));
    if (result != "allow") {
        LogMessage("WARNING: Vyn server denied access");
        throw CVynException(AuthenticationDenied, status);
    }
}

void CVynAuthSession::CheckTransactionStatus(const std::string& txid, std::string& result, std::string& status) {
    LogMessage("Entered CVynAuthSession::CheckTransactionStatus");
    ParamMap params;
    params["txid"] = txid;
    std::string body;
    // Time-out 0: connecting keeps the platform's bound. The wait for the
    // answer gets statusAnswerSeconds from the executor, which sends a poll
    // held past it, and any other failed poll, back to the loop above.
    const int32_t httpStatus = MakeRequest(VynOperation::Status, params, body, 0);
    BsonView payload;
    if (!ExtractResponseDocument(body, payload)) throw CUnreadablePollAnswer(httpStatus);
    ReadResultAndStatus(payload, result, status);
    LogMessage("Leaving CVynAuthSession::CheckTransactionStatus");
}

void CVynAuthSession::CancelAuthentication() {
    LogMessage("User cancelled authentication");
    if (cancelEvent && !::SetEvent(cancelEvent.get())) LogSystemCallFailure("SetEvent", ::GetLastError());
}

// Pre-authentication: asks the service, once per logon or unlock, what the user
// who has just passed the Windows logon must do next. Runs on Winlogon's thread.
//
// The outcome is told by how the call ends: a normal return means the user
// must complete a second factor (the gate shows the passcode dialog); a
// CVynException of kind NoError lets the user through; any other kind refuses
// the logon with the exception's user message.

#include "auth/envelope.h"
#include "auth/recovery.h"
#include "auth/session.h"
#include "diag/errors.h"
#include "diag/eventlog.h"
#include "diag/log.h"
#include "net/identity.h"
#include "ui/dialog_host.h"

namespace {

// The bound on each wait of the pre-authentication exchange: three attempts
// hold Winlogon's thread for at most about three times this.
constexpr int32_t kPreauthTimeoutSeconds = 10;

const char kNotEnrolledText[] =
    "The username you have entered is not enrolled with Vyn Security. Please contact your system administrator.";
const char kDisabledText[] = "This account has been disabled. Please contact your system administrator.";

// Raises gCenterStatusDialog for the automatic authentication, whose status
// dialog has no owner window, and puts the earlier value back on every path.
class CenterStatusDialogScope {
public:
    CenterStatusDialogScope() : saved_(gCenterStatusDialog) { gCenterStatusDialog = true; }
    ~CenterStatusDialogScope() { gCenterStatusDialog = saved_; }
    CenterStatusDialogScope(const CenterStatusDialogScope&) = delete;
    CenterStatusDialogScope& operator=(const CenterStatusDialogScope&) = delete;

private:
    bool saved_;
};

}  // namespace

PreauthVerdict JudgePreauth(const PreauthDecision& decision) {
    if (decision.result == "auth") return {PreauthAction::SecondFactor, NoError, std::string()};
    if (decision.result == "allow") return {PreauthAction::Allow, NoError, std::string()};
    if (decision.result == "enroll") return {PreauthAction::Refuse, AuthenticationDenied, kNotEnrolledText};
    // "deny" and any decision we do not know: the service's own text, when it
    // sent one, is what the user reads.
    if (!decision.status.empty()) return {PreauthAction::Refuse, AuthenticationDenied, decision.status};
    if (decision.result == "deny") return {PreauthAction::Refuse, AuthenticationDenied, kDisabledText};
    LogMessage("ERROR: result not understood");
    return {PreauthAction::Refuse, UnexpectedResponse, std::string()};
}

PreauthDecision CVynAuthSession::RequestPreauth(const std::string& user) {
    OpenHttpSession();

    ParamMap params;
    params["user"] = NormalizeUsername(user);
    const std::string address = GetClientIpAddress(config.localIpFallback);
    if (!address.empty()) {
        LogMessage("IP address: " + address);
        params["ipaddr"] = address;
    }

    std::string body;
    // Winlogon's thread waits here with nothing on the screen and no Cancel:
    // every wait of the exchange is bounded, so a service that accepts and
    // then stays silent is a network failure like an unreachable one.
    MakeRequest(VynOperation::Preauth, params, body, kPreauthTimeoutSeconds, TimeoutScope::WholeExchange);
    const BsonView payload = ParseResponse(body);

    PreauthDecision decision;
    decision.result = ReadStringElement(payload, "result");
    decision.status = ReadStringElement(payload, "status");
    BsonView factors;
    if (ReadDocumentElement(payload, "factors", factors))
        decision.defaultFactor = ReadStringElement(factors, "default");

    if (decision.result.empty()) {
        LogMessage("ERROR: No result element found");
        throw CVynException(UnexpectedResponse, std::string());
    }
    LogMessage("Result: " + ServiceTextForLog(decision.result));
    if (!decision.status.empty()) LogMessage("Status: " + ServiceTextForLog(decision.status));
    return decision;
}

void CVynAuthSession::PreAuthorizeVynUser(const std::string& user) {
    LogMessage("Entered CVynAuthSession::PreAuthorizeVynUser");
    LogMessage("User: " + user);

    const PreauthDecision decision = RequestPreauth(user);
    const PreauthVerdict verdict = JudgePreauth(decision);

    if (verdict.action == PreauthAction::SecondFactor) {
        if (!config.autoPush || decision.defaultFactor.empty()) return;
        // Start the user's default factor at once: a user whose factor succeeds
        // never sees the passcode dialog; any failure falls back to it.
        CenterStatusDialogScope centred;
        bool allowed = false;
        try {
            allowed = AuthorizeVynUser(nullptr, user, decision.defaultFactor);
        } catch (const CVynException& e) {
            if (e.GetKind() == NoError) throw;
            // An outage with recovery codes to offer goes to the gate, which
            // offers them; otherwise (already reported to the event log) the
            // passcode dialog follows.
            if (e.Outage() && !config.failOpen && RecoveryCodesAvailable()) throw;
            return;
        }
        if (allowed) throw CVynException(NoError, std::string());
        return;
    }
    if (verdict.action == PreauthAction::Allow) {
        ReportToEventLog(EVENTLOG_INFORMATION_TYPE, "Skipped Vyn login for '" + user + "'");
        throw CVynException(NoError, std::string());
    }
    throw CVynException(verdict.kind, verdict.message);
}

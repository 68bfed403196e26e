// Pre-authentication: asks the service, once per logon or unlock, what the user
// who has just passed the Windows logon must do next. Runs on Winlogon's thread.
//
// The outcome is told by how the call ends: a normal return means the user
// must complete a second factor (the gate shows the passcode dialog); a
// CVynException of kind NoError lets the user through; any other kind refuses
// the logon with the exception's user message.

#include "auth/envelope.h"
#include "auth/session.h"
#include "diag/errors.h"
#include "diag/eventlog.h"
#include "diag/log.h"
#include "gina/globals.h"
#include "net/identity.h"

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

void CVynAuthSession::PreAuthorizeVynUser() {
    LogMessage("Entered CVynAuthSession::PreAuthorizeVynUser");
    LogMessage("User: " + gCurrentUsername);

    OpenHttpSession();

    ParamMap params;
    params["user"] = NormalizeUsername(gCurrentUsername);
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

    const std::string result = ReadStringElement(payload, "result");
    const std::string status = ReadStringElement(payload, "status");
    std::string defaultFactor;
    BsonView factors;
    if (ReadDocumentElement(payload, "factors", factors)) defaultFactor = ReadStringElement(factors, "default");

    if (result.empty()) {
        LogMessage("ERROR: No result element found");
        throw CVynException(UnexpectedResponse, std::string());
    }
    LogMessage("Result: " + result);
    if (!status.empty()) LogMessage("Status: " + status);

    if (result == "auth") {
        if (!config.autoPush || defaultFactor.empty()) return;
        // Start the user's default factor at once: a user whose factor succeeds
        // never sees the passcode dialog; any failure falls back to it.
        CenterStatusDialogScope centred;
        bool allowed = false;
        try {
            allowed = AuthorizeVynUser(nullptr, gCurrentUsername, defaultFactor);
        } catch (const CVynException& e) {
            if (e.GetKind() == NoError) throw;
            // Already reported to the event log; the passcode dialog follows.
            return;
        }
        if (allowed) throw CVynException(NoError, std::string());
        return;
    }
    if (result == "allow") {
        ReportToEventLog(EVENTLOG_INFORMATION_TYPE, "Skipped Vyn login for '" + gCurrentUsername + "'");
        throw CVynException(NoError, std::string());
    }
    if (result == "enroll") throw CVynException(AuthenticationDenied, kNotEnrolledText);
    // "deny" and any decision we do not know: the service's own text, when it
    // sent one, is what the user reads.
    if (!status.empty()) throw CVynException(AuthenticationDenied, status);
    if (result == "deny") throw CVynException(AuthenticationDenied, kDisabledText);
    LogMessage("ERROR: result not understood");
    throw CVynException(UnexpectedResponse, std::string());
}

// The second-factor gate: stands between msgina's "logon" or "unlock" answer and
// Winlogon. Called on Winlogon's thread by WlxLoggedOutSAS and WlxWkstaLockedSAS.
// True lets the logon or unlock through; false makes Winlogon keep the user at
// the logon or lock screen.

#include "gina/gate.h"

#include "auth/session.h"
#include "common/strings.h"
#include "config/config.h"
#include "diag/errors.h"
#include "diag/log.h"
#include "gina/module_objects.h"
#include "gina/recovery_prompt.h"
#include "net/identity.h"
#include "ui/dialog_host.h"
#include "ui/message_box.h"
#include "ui/passcode_dialog.h"

namespace {

// Exceptions outside the module's family (memory exhaustion, library errors)
// must not reach Winlogon: they refuse, with the unexpected-error text.
bool RefuseUnexpected(const char* where) {
    LogMessage(std::string("ERROR: Unexpected exception from ") + where + "; refusing");
    ShowVynMessageBox(gWinlogonFunctions, gWlxHandle, nullptr, DefaultUserMessage(UnexpectedError));
    return false;
}

}  // namespace

bool PerformSecondaryAuth() {
    SessionConfig& config = gSession.config;
    // A module that is not configured lets everyone through: an administrator
    // must never be locked out by a missing setting. LoadConfiguration has
    // logged and reported it.
    if (!config.IsConfigured() && !config.LoadConfiguration()) {
        LogMessage("Unable to load configuration; bypassing");
        return true;
    }
    // Through the client-identity platform table, which decides the client
    // address by the same question, so a test can play a remote session.
    if (gIdentityPlatform.getSystemMetrics(SM_REMOTESESSION) == 0 && ReadRegistryFlag("RdpOnly")) {
        LogMessage("Not configured to challenge in a non-RDP context; bypassing");
        return true;
    }

    LogMessage("Performing secondary pre-authentication");
    try {
        gSession.PreAuthorizeVynUser(gCurrentUsername);
    } catch (const CVynException& e) {
        const std::wstring text = e.GetUserMessage();
        LogMessage("Caught exception from PreAuthorizeVynUser: " + ServiceTextForLog(ToUtf8(text)));
        if (e.GetKind() == NoError) return true;
        try {
            // An outage offers a recovery code instead of the refusal; its
            // Cancel refuses without a message, as the passcode dialog's does.
            if (RecoveryOffered(e)) return PromptForRecoveryCode(nullptr);
        } catch (...) {
            return RefuseUnexpected("the recovery dialog");
        }
        ShowVynMessageBox(gWinlogonFunctions, gWlxHandle, nullptr, text);
        return false;
    } catch (...) {
        return RefuseUnexpected("PreAuthorizeVynUser");
    }

    LogMessage("Attempting secondary authentication");
    INT_PTR result = -1;
    try {
        CVynAuthDialog dialog(
            [](HWND owner, const std::string& answer) {
                try {
                    return gSession.AuthorizeVynUser(owner, gCurrentUsername, answer);
                } catch (const CVynException& e) {
                    // The status dialog has ended by now: the recovery
                    // dialog goes over the passcode dialog. Without a code the
                    // passcode dialog ends too, and the logon is refused.
                    if (!RecoveryOffered(e)) throw;
                    if (PromptForRecoveryCode(owner)) return true;
                    ::EndDialog(owner, IDCANCEL);
                    return false;
                }
            },
            gWinlogonFunctions, gWlxHandle);
        result = dialog.DoModal(nullptr);
        if (dialog.ForeignFailure()) return RefuseUnexpected("AuthorizeVynUser");
    } catch (...) {
        return RefuseUnexpected("the passcode dialog");
    }
    if (result == IDOK) {
        LogMessage("Vyn authentication completed successfully");
        return true;
    }
    LogMessage("Vyn authentication failed or was cancelled; returning WLX_SAS_ACTION_NONE");
    return false;
}

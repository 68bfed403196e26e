#include "gina/recovery_prompt.h"

#include "auth/recovery.h"
#include "diag/eventlog.h"
#include "diag/log.h"
#include "gina/module_objects.h"
#include "ui/dialog_host.h"
#include "ui/recovery_dialog.h"

bool RecoveryOffered(const CVynException& failure) {
    return failure.Outage() && !gSession.config.failOpen && RecoveryCodesAvailable();
}

bool PromptForRecoveryCode(HWND owner) {
    LogMessage("The authentication service could not be reached; asking for a recovery code");
    const std::string user = gCurrentUsername;
    CVynRecoveryDialog dialog(
        [&user](const std::wstring& typed) {
            // The dialog procedure must not throw: memory exhaustion while
            // checking refuses the code.
            try {
                size_t left = 0;
                switch (UseRecoveryCode(typed, left)) {
                case RecoveryCheck::Accepted:
                    LogMessage("Recovery code accepted; the authentication service could not be reached");
                    ReportToEventLog(EVENTLOG_WARNING_TYPE, "Recovery code used for '" + user + "'; " +
                                                                std::to_string(left) + " left");
                    return RecoveryAnswer::Accepted;
                case RecoveryCheck::NotRemoved:
                case RecoveryCheck::NotChecked:
                    return RecoveryAnswer::Refused;
                case RecoveryCheck::Wrong:
                    break;
                }
                ReportToEventLog(EVENTLOG_WARNING_TYPE, "Wrong recovery code for '" + user + "'");
                return RecoveryAnswer::Wrong;
            } catch (...) {
                LogMessage("ERROR: Unexpected exception while checking a recovery code");
                return RecoveryAnswer::Refused;
            }
        },
        gWinlogonFunctions, gWlxHandle);
    const INT_PTR result = dialog.DoModal(owner);
    if (result == IDOK) return true;
    LogMessage("No recovery code accepted; refusing");
    return false;
}

// The login-module interface that Winlogon calls. Every export writes its
// "Entered" line first and forwards to msgina's function of the same name with
// the arguments as received, returning msgina's answer unchanged (0 when msgina
// lacks the entry). The context pointer Winlogon passes is the one msgina's
// WlxInitialize produced; this module keeps none of its own.
//
// Each export is a no-throw boundary: Winlogon cannot survive a C++ exception
// unwinding into it, so anything that escapes the body is logged and replaced
// by a safe answer.
#include <winsock2.h>
#include <windows.h>

// winwlx.h declares the interface without C linkage; the exports must carry
// their plain C names, so it is included here first, inside extern "C".
extern "C" {
#include <winwlx.h>
}

#include <cstdio>
#include <exception>
#include <string>

#include "common/strings.h"
#include "diag/errors.h"
#include "diag/log.h"
#include "diag/log_setup.h"
#include "config/config.h"
#include "gina/gate.h"
#include "gina/module_objects.h"
#include "ui/dialog_host.h"

namespace {

void LogEscapedException(const char* exportName, const char* detail) noexcept {
    char line[400];
    if (detail && *detail)
        std::snprintf(line, sizeof line, "ERROR: Unexpected exception in %s: %s", exportName, detail);
    else
        std::snprintf(line, sizeof line, "ERROR: Unexpected exception in %s", exportName);
    LogMessage(line);
}

// Runs an export's body; an escaping exception is logged and `onException` is
// returned instead. The log calls here allocate nothing, so the handlers
// themselves cannot throw.
template <class Result, class Body>
Result RunGuarded(const char* exportName, Result onException, Body&& body) noexcept {
    try {
        return body();
    } catch (const CVynException& e) {
        char detail[40];
        std::snprintf(detail, sizeof detail, "kind %d", static_cast<int>(e.GetKind()));
        LogEscapedException(exportName, detail);
    } catch (const std::exception& e) {
        LogEscapedException(exportName, e.what());
    } catch (...) {
        LogEscapedException(exportName, nullptr);
    }
    return onException;
}

// "DOMAIN\user", or the bare user name when msgina reported no domain.
std::string AccountName(const WLX_MPR_NOTIFY_INFO* info) {
    if (!info) return std::string();
    const std::string user = ToUtf8(info->pszUserName);
    const std::string domain = ToUtf8(info->pszDomain);
    return domain.empty() ? user : domain + "\\" + user;
}

template <class Body>
void RunGuardedVoid(const char* exportName, Body&& body) noexcept {
    RunGuarded(exportName, 0, [&] {
        body();
        return 0;
    });
}

}  // namespace

extern "C" {

BOOL WINAPI WlxNegotiate(DWORD winlogonVersion, PDWORD dllVersion) {
    LogMessage("Entered WlxNegotiate");
    ReportDeferredLogEvents();
    return RunGuarded("WlxNegotiate", FALSE, [&]() -> BOOL {
        const auto entry = gMsgina.WlxNegotiate;
        return entry ? entry(winlogonVersion, dllVersion) : FALSE;
    });
}

BOOL WINAPI WlxInitialize(LPWSTR winstation, HANDLE wlx, PVOID reserved, PVOID winlogonFunctions,
                          PVOID* wlxContext) {
    LogMessage("Entered WlxInitialize");
    return RunGuarded("WlxInitialize", FALSE, [&]() -> BOOL {
        const auto entry = gMsgina.WlxInitialize;
        // Without msgina nothing is taken over: dialogs keep the plain target.
        if (!entry) return FALSE;
        gWlxHandle = wlx;
        gWinlogonFunctions = static_cast<PWLX_DISPATCH_VERSION_1_0>(winlogonFunctions);
        InstallWinlogonDialogTarget();
        gCenterStatusDialog = false;
        // msgina fills the context slot; Winlogon hands that context back to
        // every later call and it goes to msgina unread.
        return entry(winstation, wlx, reserved, winlogonFunctions, wlxContext);
    });
}

VOID WINAPI WlxDisplaySASNotice(PVOID wlxContext) {
    LogMessage("Entered WlxDisplaySASNotice");
    RunGuardedVoid("WlxDisplaySASNotice", [&] {
        if (const auto entry = gMsgina.WlxDisplaySASNotice) entry(wlxContext);
    });
}

int WINAPI WlxLoggedOutSAS(PVOID wlxContext, DWORD sasType, PLUID authenticationId, PSID logonSid,
                           PDWORD options, PHANDLE token, PWLX_MPR_NOTIFY_INFO mprNotifyInfo, PVOID* profile) {
    LogMessage("Entered WlxLoggedOutSAS");
    // A failure inside the logon path must never let the user in: refuse.
    return RunGuarded("WlxLoggedOutSAS", WLX_SAS_ACTION_NONE, [&]() -> int {
        const auto entry = gMsgina.WlxLoggedOutSAS;
        if (!entry) return 0;
        const int result =
            entry(wlxContext, sasType, authenticationId, logonSid, options, token, mprNotifyInfo, profile);
        if (result != WLX_SAS_ACTION_LOGON) {
            LogMessage("msgina.WlxLoggedOutSAS returned failure");
            return result;
        }
        LogMessage("msgina.WlxLoggedOutSAS returned WLX_SAS_ACTION_LOGON");
        if (!gCurrentUsername.empty()) LogMessage("WARNING: gCurrentUsername not empty");
        gCurrentUsername = AccountName(mprNotifyInfo);
        LogMessage("Logged on user: " + gCurrentUsername);
        // On refusal everything msgina wrote through the output arguments is
        // left as it is; Winlogon only learns WLX_SAS_ACTION_NONE.
        return PerformSecondaryAuth() ? WLX_SAS_ACTION_LOGON : WLX_SAS_ACTION_NONE;
    });
}

BOOL WINAPI WlxActivateUserShell(PVOID wlxContext, PWSTR desktopName, PWSTR mprLogonScript, PVOID environment) {
    LogMessage("Entered WlxActivateUserShell");
    return RunGuarded("WlxActivateUserShell", FALSE, [&]() -> BOOL {
        const auto entry = gMsgina.WlxActivateUserShell;
        return entry ? entry(wlxContext, desktopName, mprLogonScript, environment) : FALSE;
    });
}

int WINAPI WlxLoggedOnSAS(PVOID wlxContext, DWORD sasType, PVOID reserved) {
    LogMessage("Entered WlxLoggedOnSAS");
    return RunGuarded("WlxLoggedOnSAS", 0, [&]() -> int {
        const auto entry = gMsgina.WlxLoggedOnSAS;
        return entry ? entry(wlxContext, sasType, reserved) : 0;
    });
}

VOID WINAPI WlxDisplayLockedNotice(PVOID wlxContext) {
    LogMessage("Entered WlxDisplayLockedNotice");
    RunGuardedVoid("WlxDisplayLockedNotice", [&] {
        if (const auto entry = gMsgina.WlxDisplayLockedNotice) entry(wlxContext);
    });
}

BOOL WINAPI WlxIsLockOk(PVOID wlxContext) {
    LogMessage("Entered WlxIsLockOk");
    return RunGuarded("WlxIsLockOk", FALSE, [&]() -> BOOL {
        const auto entry = gMsgina.WlxIsLockOk;
        return entry ? entry(wlxContext) : FALSE;
    });
}

int WINAPI WlxWkstaLockedSAS(PVOID wlxContext, DWORD sasType) {
    LogMessage("Entered WlxWkstaLockedSAS");
    // As for logons: a failure keeps the workstation locked.
    return RunGuarded("WlxWkstaLockedSAS", WLX_SAS_ACTION_NONE, [&]() -> int {
        const auto entry = gMsgina.WlxWkstaLockedSAS;
        if (!entry) return 0;
        const int result = entry(wlxContext, sasType);
        if (result != WLX_SAS_ACTION_UNLOCK_WKSTA) {
            LogMessage("msgina.WlxWkstaLockedSAS returned non-unlock status");
            return result;
        }
        // Read afresh each time, so an administrator can switch it on at once.
        if (ReadRegistryFlag("LogonOnly")) {
            LogMessage("Not configured to challenge when unlocking; bypassing");
            return WLX_SAS_ACTION_UNLOCK_WKSTA;
        }
        // The challenge is for the user of the last logon; msgina has checked
        // the password typed into the unlock dialog.
        return PerformSecondaryAuth() ? WLX_SAS_ACTION_UNLOCK_WKSTA : WLX_SAS_ACTION_NONE;
    });
}

BOOL WINAPI WlxIsLogoffOk(PVOID wlxContext) {
    LogMessage("Entered WlxIsLogoffOk");
    return RunGuarded("WlxIsLogoffOk", FALSE, [&]() -> BOOL {
        const auto entry = gMsgina.WlxIsLogoffOk;
        return entry ? entry(wlxContext) : FALSE;
    });
}

VOID WINAPI WlxLogoff(PVOID wlxContext) {
    LogMessage("Entered WlxLogoff");
    RunGuardedVoid("WlxLogoff", [&] {
        if (const auto entry = gMsgina.WlxLogoff) entry(wlxContext);
    });
}

VOID WINAPI WlxShutdown(PVOID wlxContext, DWORD shutdownType) {
    LogMessage("Entered WlxShutdown");
    RunGuardedVoid("WlxShutdown", [&] {
        if (const auto entry = gMsgina.WlxShutdown) entry(wlxContext, shutdownType);
    });
}

BOOL WINAPI WlxStartApplication(PVOID wlxContext, PWSTR desktopName, PVOID environment, PWSTR cmdLine) {
    LogMessage("Entered WlxStartApplication");
    return RunGuarded("WlxStartApplication", FALSE, [&]() -> BOOL {
        const auto entry = gMsgina.WlxStartApplication;
        return entry ? entry(wlxContext, desktopName, environment, cmdLine) : FALSE;
    });
}

BOOL WINAPI WlxNetworkProviderLoad(PVOID wlxContext, PWLX_MPR_NOTIFY_INFO mprNotifyInfo) {
    LogMessage("Entered WlxNetworkProviderLoad");
    return RunGuarded("WlxNetworkProviderLoad", FALSE, [&]() -> BOOL {
        const auto entry = gMsgina.WlxNetworkProviderLoad;
        return entry ? entry(wlxContext, mprNotifyInfo) : FALSE;
    });
}

BOOL WINAPI WlxDisplayStatusMessage(PVOID wlxContext, HDESK desktop, DWORD options, PWSTR title, PWSTR message) {
    return RunGuarded("WlxDisplayStatusMessage", FALSE, [&]() -> BOOL {
        // Only the message is logged, never the title. Winlogon may pass no
        // message at all: that logs the prefix alone.
        LogMessage("Entered WlxDisplayStatusMessage: " + ToUtf8(message));
        const auto entry = gMsgina.WlxDisplayStatusMessage;
        return entry ? entry(wlxContext, desktop, options, title, message) : FALSE;
    });
}

BOOL WINAPI WlxGetStatusMessage(PVOID wlxContext, DWORD* options, PWSTR message, DWORD bufferSize) {
    LogMessage("Entered WlxGetStatusMessage");
    return RunGuarded("WlxGetStatusMessage", FALSE, [&]() -> BOOL {
        const auto entry = gMsgina.WlxGetStatusMessage;
        return entry ? entry(wlxContext, options, message, bufferSize) : FALSE;
    });
}

BOOL WINAPI WlxRemoveStatusMessage(PVOID wlxContext) {
    LogMessage("Entered WlxRemoveStatusMessage");
    return RunGuarded("WlxRemoveStatusMessage", FALSE, [&]() -> BOOL {
        const auto entry = gMsgina.WlxRemoveStatusMessage;
        return entry ? entry(wlxContext) : FALSE;
    });
}

BOOL WINAPI WlxGetConsoleSwitchCredentials(PVOID wlxContext, PVOID credInfo) {
    LogMessage("Entered WlxGetConsoleSwitchCredentials");
    return RunGuarded("WlxGetConsoleSwitchCredentials", FALSE, [&]() -> BOOL {
        const auto entry = gMsgina.WlxGetConsoleSwitchCredentials;
        return entry ? entry(wlxContext, credInfo) : FALSE;
    });
}

VOID WINAPI WlxReconnectNotify(PVOID wlxContext) {
    LogMessage("Entered WlxReconnectNotify");
    RunGuardedVoid("WlxReconnectNotify", [&] {
        if (const auto entry = gMsgina.WlxReconnectNotify) entry(wlxContext);
    });
}

VOID WINAPI WlxDisconnectNotify(PVOID wlxContext) {
    LogMessage("Entered WlxDisconnectNotify");
    RunGuardedVoid("WlxDisconnectNotify", [&] {
        if (const auto entry = gMsgina.WlxDisconnectNotify) entry(wlxContext);
    });
}

DWORD WINAPI ShellShutdownDialog(HWND owner, DWORD first, DWORD second) {
    LogMessage("Entered ShellShutdownDialog");
    return RunGuarded("ShellShutdownDialog", DWORD{0}, [&]() -> DWORD {
        const auto entry = gMsgina.ShellShutdownDialog;
        return entry ? entry(owner, first, second) : 0;
    });
}

}  // extern "C"

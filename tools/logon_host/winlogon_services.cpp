// Winlogon's dispatch services as the logon host plays them (see
// winlogon_services.h).
#include "tools/logon_host/winlogon_services.h"

#include "tools/logon_host/dialog_watch.h"
#include "tools/logon_host/host_output.h"

namespace {
int gWinlogonHandleTarget = 0;
}  // namespace

const HANDLE kWinlogonHandle = &gWinlogonHandleTarget;
PVOID gModuleContext = nullptr;
bool gAnswerMessageBoxes = false;
int gMessageBoxAnswer = IDOK;
std::vector<MessageBoxRecord> gMessageBoxes;
PasscodeScript gPasscodeScript;
size_t gPasscodeCursor = 0;
PasscodeScript gRecoveryScript;
size_t gRecoveryCursor = 0;

namespace {

void CheckHandle(const char* service, HANDLE wlx) {
    if (wlx != kWinlogonHandle) Say("host: WARNING: %s called with handle %p, not Winlogon's %p", service, wlx,
                                    kWinlogonHandle);
}

VOID WINAPI HostUseCtrlAltDel(HANDLE wlx) { CheckHandle("WlxUseCtrlAltDel", wlx); }
VOID WINAPI HostSetContextPointer(HANDLE wlx, PVOID context) {
    CheckHandle("WlxSetContextPointer", wlx);
    gModuleContext = context;
}
VOID WINAPI HostSasNotify(HANDLE wlx, DWORD) { CheckHandle("WlxSasNotify", wlx); }
BOOL WINAPI HostSetTimeout(HANDLE wlx, DWORD) { return TRUE; }
int WINAPI HostAssignShellProtection(HANDLE, HANDLE, HANDLE, HANDLE) { return 0; }

int WINAPI HostMessageBox(HANDLE wlx, HWND owner, LPWSTR text, LPWSTR caption, UINT style) {
    CheckHandle("WlxMessageBox", wlx);
    gMessageBoxes.push_back({text ? text : L"", caption ? caption : L"", style});
    Say("host: WlxMessageBox caption \"%s\" style 0x%X text \"%s\"", Utf8(caption).c_str(), style,
        Utf8(text).c_str());
    if (gAnswerMessageBoxes || gPasscodeScript.Scripted() || gRecoveryScript.Scripted()) {
        Say("host: WlxMessageBox answered %d (scripted)", gMessageBoxAnswer);
        return gMessageBoxAnswer;
    }
    return ::MessageBoxW(owner, text, caption, style);
}

int WINAPI HostDialogBox(HANDLE wlx, HANDLE instance, LPWSTR name, HWND owner, DLGPROC proc) {
    CheckHandle("WlxDialogBox", wlx);
    return static_cast<int>(::DialogBoxParamW(static_cast<HINSTANCE>(instance), name, owner, proc, 0));
}

int WINAPI HostDialogBoxParam(HANDLE wlx, HANDLE instance, LPWSTR name, HWND owner, DLGPROC proc, LPARAM param) {
    CheckHandle("WlxDialogBoxParam", wlx);
    // The status dialog is watched: its texts are recorded and Cancel is
    // pressed as scripted (tools/logon_host/dialog_watch.h).
    // The passcode dialog is played by the scripted user, if there is one.
    const int cancelsBefore = gHostStatusRecord.cancelsPressed;
    const WORD templateId = IS_INTRESOURCE(name) ? LOWORD(reinterpret_cast<ULONG_PTR>(name)) : 0;
    const bool statusDialog = templateId == kStatusDialogTemplate;
    INT_PTR result = 0;
    if (templateId == kPasscodeDialogTemplate) {
        if (gPasscodeScript.Scripted())
            Say("host: passcode dialog shown");
        else
            Say("host: passcode dialog shown; left to the person at the display");
        result = ShowScriptedPasscodeDialog(static_cast<HINSTANCE>(instance), name, owner, proc, param,
                                            gPasscodeScript, gPasscodeCursor,
                                            [](const std::string& line) { Say("host: %s", line.c_str()); });
    } else if (templateId == kRecoveryDialogTemplate) {
        if (gRecoveryScript.Scripted())
            Say("host: recovery dialog shown");
        else
            Say("host: recovery dialog shown; left to the person at the display");
        result = ShowScriptedPasscodeDialog(static_cast<HINSTANCE>(instance), name, owner, proc, param,
                                            gRecoveryScript, gRecoveryCursor,
                                            [](const std::string& line) { Say("host: %s", line.c_str()); });
    } else {
        if (statusDialog) Say("host: status dialog shown");
        result = ShowWatchedDialog(static_cast<HINSTANCE>(instance), name, owner, proc, param, gHostStatusScript,
                                   gHostStatusRecord);
    }
    if (statusDialog && gHostStatusRecord.cancelsPressed != cancelsBefore)
        Say("host: Cancel pressed; the dialog closed %lu ms later",
            static_cast<unsigned long>(gHostStatusRecord.closedAt - gHostStatusRecord.cancelPressedAt));
    if (IS_INTRESOURCE(name))
        Say("host: WlxDialogBoxParam template %u -> %lld", static_cast<unsigned>(reinterpret_cast<ULONG_PTR>(name)),
            static_cast<long long>(result));
    else
        Say("host: WlxDialogBoxParam template \"%s\" -> %lld", Utf8(name).c_str(), static_cast<long long>(result));
    return static_cast<int>(result);
}

int WINAPI HostDialogBoxIndirect(HANDLE wlx, HANDLE instance, LPCDLGTEMPLATE dialog, HWND owner, DLGPROC proc) {
    CheckHandle("WlxDialogBoxIndirect", wlx);
    return static_cast<int>(::DialogBoxIndirectParamW(static_cast<HINSTANCE>(instance), dialog, owner, proc, 0));
}

int WINAPI HostDialogBoxIndirectParam(HANDLE wlx, HANDLE instance, LPCDLGTEMPLATE dialog, HWND owner, DLGPROC proc,
                                      LPARAM param) {
    CheckHandle("WlxDialogBoxIndirectParam", wlx);
    return static_cast<int>(::DialogBoxIndirectParamW(static_cast<HINSTANCE>(instance), dialog, owner, proc, param));
}

// The remaining services have nothing to act on outside Winlogon: they answer
// "done" where that is harmless, "failed" where a result would be made up.
int WINAPI HostSwitchDesktop(HANDLE) { return 0; }
int WINAPI HostChangePasswordNotify(HANDLE, PWLX_MPR_NOTIFY_INFO, DWORD) { return 0; }
BOOL WINAPI HostGetSourceDesktop(HANDLE, PWLX_DESKTOP*) { return FALSE; }
BOOL WINAPI HostSetReturnDesktop(HANDLE, PWLX_DESKTOP) { return FALSE; }
BOOL WINAPI HostCreateUserDesktop(HANDLE, HANDLE, DWORD, PWSTR, PWLX_DESKTOP*) { return FALSE; }
int WINAPI HostChangePasswordNotifyEx(HANDLE, PWLX_MPR_NOTIFY_INFO, DWORD, PWSTR, PVOID) { return 0; }
BOOL WINAPI HostCloseUserDesktop(HANDLE, PWLX_DESKTOP, HANDLE) { return FALSE; }
BOOL WINAPI HostSetOption(HANDLE, DWORD, ULONG_PTR, ULONG_PTR* old) {
    if (old) *old = 0;
    return FALSE;
}
BOOL WINAPI HostGetOption(HANDLE, DWORD, ULONG_PTR* value) {
    if (value) *value = 0;
    return FALSE;
}
VOID WINAPI HostWin31Migrate(HANDLE) {}
BOOL WINAPI HostQueryCredentials(PWLX_CLIENT_CREDENTIALS_INFO_V1_0) { return FALSE; }
BOOL WINAPI HostDisconnect() { return FALSE; }
DWORD WINAPI HostQueryTerminalServicesData(HANDLE, PWLX_TERMINAL_SERVICES_DATA, WCHAR*, WCHAR*) {
    return ERROR_NOT_SUPPORTED;
}
DWORD WINAPI HostQueryConsoleSwitchCredentials(PWLX_CONSOLESWITCH_CREDENTIALS_INFO_V1_0) { return 0; }
BOOL WINAPI HostQueryTsLogonCredentials(PWLX_CLIENT_CREDENTIALS_INFO_V2_0) { return FALSE; }

}  // namespace

WLX_DISPATCH_VERSION_1_4 MakeDispatchTable() {
    WLX_DISPATCH_VERSION_1_4 t = {};
    t.WlxUseCtrlAltDel = HostUseCtrlAltDel;
    t.WlxSetContextPointer = HostSetContextPointer;
    t.WlxSasNotify = HostSasNotify;
    t.WlxSetTimeout = HostSetTimeout;
    t.WlxAssignShellProtection = HostAssignShellProtection;
    t.WlxMessageBox = HostMessageBox;
    t.WlxDialogBox = HostDialogBox;
    t.WlxDialogBoxParam = HostDialogBoxParam;
    t.WlxDialogBoxIndirect = HostDialogBoxIndirect;
    t.WlxDialogBoxIndirectParam = HostDialogBoxIndirectParam;
    t.WlxSwitchDesktopToUser = HostSwitchDesktop;
    t.WlxSwitchDesktopToWinlogon = HostSwitchDesktop;
    t.WlxChangePasswordNotify = HostChangePasswordNotify;
    t.WlxGetSourceDesktop = HostGetSourceDesktop;
    t.WlxSetReturnDesktop = HostSetReturnDesktop;
    t.WlxCreateUserDesktop = HostCreateUserDesktop;
    t.WlxChangePasswordNotifyEx = HostChangePasswordNotifyEx;
    t.WlxCloseUserDesktop = HostCloseUserDesktop;
    t.WlxSetOption = HostSetOption;
    t.WlxGetOption = HostGetOption;
    t.WlxWin31Migrate = HostWin31Migrate;
    t.WlxQueryClientCredentials = HostQueryCredentials;
    t.WlxQueryInetConnectorCredentials = HostQueryCredentials;
    t.WlxDisconnect = HostDisconnect;
    t.WlxQueryTerminalServicesData = HostQueryTerminalServicesData;
    t.WlxQueryConsoleSwitchCredentials = HostQueryConsoleSwitchCredentials;
    t.WlxQueryTsLogonCredentials = HostQueryTsLogonCredentials;
    return t;
}

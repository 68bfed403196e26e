// vyn-logon-host: plays Winlogon for a login module, outside Winlogon.
//
// It loads the module, negotiates and initialises it with a complete dispatch
// table of its own, then runs a list of steps (logons, unlocks, ...) given on
// the command line and prints what Winlogon would receive. It is a tool for
// administrators trying a module and its settings before installing it, and
// the driver of the end-to-end tests.
#include <winsock2.h>
#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>
#include <psapi.h>
#include <tlhelp32.h>

extern "C" {
#include <winwlx.h>
}

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cwchar>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "common/strings.h"
#include "tools/logon_host/dialog_watch.h"
#include "tools/logon_host/passcode_user.h"
#include "tools/stub_msgina/stub_control.h"

namespace {

const wchar_t kUsage[] =
    L"Usage: vyn-logon-host [options] <path of the login module> [steps...]\n"
    L"\n"
    L"Loads a Winlogon login module (e.g. VynGina.dll) into this process, calls\n"
    L"WlxNegotiate and WlxInitialize as Winlogon does, runs the steps in order and\n"
    L"prints every answer the module gives Winlogon. The module loads msgina.dll as\n"
    L"it would inside Winlogon: from the system folder unless --msgina-dir says\n"
    L"otherwise.\n"
    L"\n"
    L"Options:\n"
    L"  --msgina-dir DIR        look for msgina.dll in DIR before the system folders\n"
    L"                          (e.g. the folder of the msgina test double)\n"
    L"  --stub SETTINGS         settings of the msgina test double, ';'-separated:\n"
    L"                          absent | missing=Entry,... | throw=Entry,... |\n"
    L"                          <Entry>=N | user=U | domain=D | version=N\n"
    L"  --show-log              print the module's log lines as they are written\n"
    L"  --message-box-answer N  answer every WlxMessageBox with N without showing it\n"
    L"                          (default: IDOK at once when the passcode dialog is\n"
    L"                          scripted, else show it and wait for the user); every\n"
    L"                          message box is printed with its caption and style\n"
    L"  --answer TEXT           in the passcode dialog, type TEXT and press OK\n"
    L"  --answers \"A;B;...\"     the same for each answer in turn, one per time the\n"
    L"                          dialog waits (e.g. a second try after a refusal)\n"
    L"  --press KEY             in the passcode dialog, press ok, enter, cancel,\n"
    L"                          escape or close (the caption's close button)\n"
    L"                          (--answer, --answers and --press form one script,\n"
    L"                          in command-line order; when it is used up and the\n"
    L"                          dialog is still open, Cancel is pressed. Without any,\n"
    L"                          the dialog is left to whoever sits at the display)\n"
    L"  --think MS              wait MS between typing an answer and pressing OK\n"
    L"  --recovery-code TEXT, --recovery-codes \"A;B;...\", --recovery-press KEY\n"
    L"                          the same for the recovery-code dialog (shown when\n"
    L"                          the service cannot be reached, FailOpen is 0 and\n"
    L"                          recovery codes are stored), a script of its own\n"
    L"  --cancel-after MS       press Cancel in the authentication status dialog MS\n"
    L"                          milliseconds after it opens\n"
    L"  --cancel-on TEXT        press Cancel there as soon as it shows status TEXT\n"
    L"                          (without either, the dialog is left to whoever sits\n"
    L"                          at the display; every status text shown is printed)\n"
    L"  --repeat N              run the steps N times (only the first round is\n"
    L"                          printed); then print the time per round, and the\n"
    L"                          process's handle count, private bytes and thread\n"
    L"                          count at the start, after the first round and at\n"
    L"                          the end, the most threads and handles seen at the\n"
    L"                          end of any later round, and how long after the\n"
    L"                          status dialog's Cancel that was\n"
    L"  --help                  print this text\n"
    L"\n"
    L"Steps:\n"
    L"  --logon [user=U] [domain=D] [action=N] [sas=N]\n"
    L"          Ctrl+Alt+Del at the logon screen: WlxDisplaySASNotice, then\n"
    L"          WlxLoggedOutSAS; after a logon also WlxActivateUserShell.\n"
    L"          user, domain and action (what msgina answers, 1 = logon) are passed\n"
    L"          to the msgina test double; a real msgina shows its own dialog.\n"
    L"  --unlock [action=N] [sas=N]\n"
    L"          Ctrl+Alt+Del at the locked workstation: WlxDisplayLockedNotice,\n"
    L"          then WlxWkstaLockedSAS (action: msgina's answer, 8 = unlock).\n"
    L"  --status TEXT   WlxDisplayStatusMessage with TEXT, then WlxRemoveStatusMessage\n"
    L"  --logoff        WlxIsLogoffOk, then WlxLogoff\n"
    L"  --shutdown      WlxShutdown\n"
    L"\n"
    L"Example (the module with the msgina test double):\n"
    L"  vyn-logon-host --msgina-dir C:\\vyn\\stub --message-box-answer 1 \\\n"
    L"      C:\\vyn\\VynGina.dll --logon user=alice domain=CORP --unlock\n"
    L"\n"
    L"Example (a user who answers push in the passcode dialog):\n"
    L"  vyn-logon-host --msgina-dir C:\\vyn\\stub --answer push \\\n"
    L"      C:\\vyn\\VynGina.dll --logon user=alice\n"
    L"\n"
    L"Exit status: 0 when every step ran, 2 for a usage error, 3 when the module\n"
    L"cannot be loaded or lacks WlxNegotiate/WlxInitialize.\n";

std::string Utf8(const std::wstring& text) { return ToUtf8(text); }
std::string Utf8(const wchar_t* text) { return text ? ToUtf8(std::wstring(text)) : std::string("(null)"); }

void Say(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Rounds after the first of a --repeat run print nothing but the summary.
bool gQuiet = false;

void Say(const char* format, ...) {
    if (gQuiet) return;
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

const char* ActionName(int action) {
    static const std::map<int, const char*> names = {
        {0, "(none: module answered 0)"},
        {WLX_SAS_ACTION_LOGON, "WLX_SAS_ACTION_LOGON"},
        {WLX_SAS_ACTION_NONE, "WLX_SAS_ACTION_NONE"},
        {WLX_SAS_ACTION_LOCK_WKSTA, "WLX_SAS_ACTION_LOCK_WKSTA"},
        {WLX_SAS_ACTION_LOGOFF, "WLX_SAS_ACTION_LOGOFF"},
        {WLX_SAS_ACTION_SHUTDOWN, "WLX_SAS_ACTION_SHUTDOWN"},
        {WLX_SAS_ACTION_PWD_CHANGED, "WLX_SAS_ACTION_PWD_CHANGED"},
        {WLX_SAS_ACTION_TASKLIST, "WLX_SAS_ACTION_TASKLIST"},
        {WLX_SAS_ACTION_UNLOCK_WKSTA, "WLX_SAS_ACTION_UNLOCK_WKSTA"},
        {WLX_SAS_ACTION_FORCE_LOGOFF, "WLX_SAS_ACTION_FORCE_LOGOFF"},
        {WLX_SAS_ACTION_SHUTDOWN_POWER_OFF, "WLX_SAS_ACTION_SHUTDOWN_POWER_OFF"},
        {WLX_SAS_ACTION_SHUTDOWN_REBOOT, "WLX_SAS_ACTION_SHUTDOWN_REBOOT"},
    };
    const auto found = names.find(action);
    return found == names.end() ? "(unknown action)" : found->second;
}

// ---- What the host plays: Winlogon's side ------------------------------------

struct Options {
    std::wstring modulePath;
    std::wstring msginaDir;
    std::wstring stubSettings;
    bool stubSettingsGiven = false;
    bool showLog = false;
    bool answerMessageBoxes = false;
    int messageBoxAnswer = IDOK;
    int repeat = 1;
};

// One thing Winlogon does to the module. Steps are run in command-line order;
// new kinds (e.g. a scripted user acting in the module's dialogs) add an entry
// to the table in RunStep.
struct Step {
    std::wstring kind;                            // "logon", "unlock", ...
    std::map<std::wstring, std::wstring> params;  // key=value arguments
    std::wstring text;                            // free text (--status)
};

Options gOptions;
// The handle Winlogon gives the module; the module hands it back in every
// dispatch call, so the host can check it.
int gWinlogonHandleTarget = 0;
const HANDLE kWinlogonHandle = &gWinlogonHandleTarget;
PVOID gModuleContext = nullptr;

// The messages the module asked Winlogon to show, for scripted answers.
struct MessageBoxRecord {
    std::wstring text, caption;
    UINT style;
};
std::vector<MessageBoxRecord> gMessageBoxes;

// The scripted user of the passcode dialog, and how far it has got.
PasscodeScript gPasscodeScript;
size_t gPasscodeCursor = 0;
// The scripted user of the recovery-code dialog.
PasscodeScript gRecoveryScript;
size_t gRecoveryCursor = 0;

// What the last --logon step received from the module (for --repeat).
int gLastLogonAction = -1;

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
    if (gOptions.answerMessageBoxes || gPasscodeScript.Scripted() || gRecoveryScript.Scripted()) {
        Say("host: WlxMessageBox answered %d (scripted)", gOptions.messageBoxAnswer);
        return gOptions.messageBoxAnswer;
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

// ---- The module's log, seen in-process ---------------------------------------

// The module writes every log line to the debugger output as well; in this
// process that arrives as a DBG_PRINTEXCEPTION_C, which is echoed here.
LONG CALLBACK EchoDebugString(EXCEPTION_POINTERS* info) {
    if (info->ExceptionRecord->ExceptionCode != DBG_PRINTEXCEPTION_C) return EXCEPTION_CONTINUE_SEARCH;
    const auto length = static_cast<size_t>(info->ExceptionRecord->ExceptionInformation[0]);
    const auto* text = reinterpret_cast<const char*>(info->ExceptionRecord->ExceptionInformation[1]);
    if (text && length > 0) {
        std::string line(text, length - 1);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        std::printf("  log| %s\n", line.c_str());
        std::fflush(stdout);
    }
    return EXCEPTION_CONTINUE_EXECUTION;
}

std::wstring LogFilePath() {
    wchar_t appData[MAX_PATH] = {};
    if (FAILED(::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, appData))) return {};
    return std::wstring(appData) + L"\\Vyn Security\\vyn.log";
}

// ---- msgina as loaded by the module ------------------------------------------

struct StubMsgina {
    PFN_StubConfigure configure = nullptr;
    PFN_StubCallCount callCount = nullptr;
    PFN_StubGetCall getCall = nullptr;
    int callsShown = 0;
};
StubMsgina gStub;

void FindMsgina() {
    const HMODULE msgina = ::GetModuleHandleW(L"msgina.dll");
    if (!msgina) {
        Say("host: msgina.dll is not loaded: the module forwards nothing and answers 0");
        return;
    }
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(msgina, path, MAX_PATH);
    gStub.configure = reinterpret_cast<PFN_StubConfigure>(::GetProcAddress(msgina, "StubConfigure"));
    gStub.callCount = reinterpret_cast<PFN_StubCallCount>(::GetProcAddress(msgina, "StubCallCount"));
    gStub.getCall = reinterpret_cast<PFN_StubGetCall>(::GetProcAddress(msgina, "StubGetCall"));
    Say("host: msgina.dll loaded from %s%s", Utf8(path).c_str(), gStub.configure ? " (test double)" : "");
}

// Prints the calls msgina received since the last report (test double only).
void ShowMsginaCalls() {
    if (!gStub.callCount || !gStub.getCall) return;
    const int count = gStub.callCount();
    for (; gStub.callsShown < count; ++gStub.callsShown) {
        StubCall call = {};
        if (!gStub.getCall(gStub.callsShown, &call)) break;
        std::string args;
        for (DWORD i = 0; i < call.argCount; ++i) {
            char value[32];
            std::snprintf(value, sizeof value, "%s0x%llx", i ? ", " : "", static_cast<unsigned long long>(call.args[i]));
            args += value;
        }
        Say("  msgina received %s(%s)", call.name, args.c_str());
    }
}

bool ConfigureStub(const std::wstring& settings) {
    if (settings.empty()) return true;
    if (!gStub.configure) {
        Say("host: WARNING: msgina.dll is not the test double; \"%s\" is ignored", Utf8(settings).c_str());
        return true;
    }
    if (!gStub.configure(settings.c_str())) {
        Say("host: the msgina test double rejected \"%s\"", Utf8(settings).c_str());
        return false;
    }
    return true;
}

// ---- The module ----------------------------------------------------------------

template <class T>
T Export(HMODULE module, const char* name) {
    return reinterpret_cast<T>(::GetProcAddress(module, name));
}

struct Module {
    HMODULE handle = nullptr;
    BOOL(WINAPI* WlxNegotiate)(DWORD, PDWORD) = nullptr;
    BOOL(WINAPI* WlxInitialize)(LPWSTR, HANDLE, PVOID, PVOID, PVOID*) = nullptr;
    VOID(WINAPI* WlxDisplaySASNotice)(PVOID) = nullptr;
    int(WINAPI* WlxLoggedOutSAS)(PVOID, DWORD, PLUID, PSID, PDWORD, PHANDLE, PWLX_MPR_NOTIFY_INFO, PVOID*) = nullptr;
    BOOL(WINAPI* WlxActivateUserShell)(PVOID, PWSTR, PWSTR, PVOID) = nullptr;
    VOID(WINAPI* WlxDisplayLockedNotice)(PVOID) = nullptr;
    int(WINAPI* WlxWkstaLockedSAS)(PVOID, DWORD) = nullptr;
    BOOL(WINAPI* WlxIsLogoffOk)(PVOID) = nullptr;
    VOID(WINAPI* WlxLogoff)(PVOID) = nullptr;
    VOID(WINAPI* WlxShutdown)(PVOID, DWORD) = nullptr;
    BOOL(WINAPI* WlxDisplayStatusMessage)(PVOID, HDESK, DWORD, PWSTR, PWSTR) = nullptr;
    BOOL(WINAPI* WlxRemoveStatusMessage)(PVOID) = nullptr;
};
Module gModule;

bool LoadModule() {
    gModule.handle = ::LoadLibraryW(gOptions.modulePath.c_str());
    if (!gModule.handle) {
        Say("host: cannot load %s (error %lu)", Utf8(gOptions.modulePath).c_str(), ::GetLastError());
        return false;
    }
    const HMODULE m = gModule.handle;
#define VYN_RESOLVE(name) gModule.name = Export<decltype(gModule.name)>(m, #name)
    VYN_RESOLVE(WlxNegotiate);
    VYN_RESOLVE(WlxInitialize);
    VYN_RESOLVE(WlxDisplaySASNotice);
    VYN_RESOLVE(WlxLoggedOutSAS);
    VYN_RESOLVE(WlxActivateUserShell);
    VYN_RESOLVE(WlxDisplayLockedNotice);
    VYN_RESOLVE(WlxWkstaLockedSAS);
    VYN_RESOLVE(WlxIsLogoffOk);
    VYN_RESOLVE(WlxLogoff);
    VYN_RESOLVE(WlxShutdown);
    VYN_RESOLVE(WlxDisplayStatusMessage);
    VYN_RESOLVE(WlxRemoveStatusMessage);
#undef VYN_RESOLVE
    if (!gModule.WlxNegotiate || !gModule.WlxInitialize) {
        Say("host: %s is not a login module (no WlxNegotiate/WlxInitialize)", Utf8(gOptions.modulePath).c_str());
        return false;
    }
    Say("host: loaded %s", Utf8(gOptions.modulePath).c_str());
    return true;
}

bool Missing(const void* entry, const char* name) {
    if (entry) return false;
    Say("host: the module does not export %s; step skipped", name);
    return true;
}

DWORD NumberParam(const Step& step, const wchar_t* key, DWORD fallback) {
    const auto found = step.params.find(key);
    return found == step.params.end() ? fallback : static_cast<DWORD>(std::wcstoul(found->second.c_str(), nullptr, 0));
}

// Turns the step's user/domain/action into settings of the msgina test double.
std::wstring StubSettingsFor(const Step& step, const wchar_t* entry) {
    std::wstring settings;
    for (const auto& [key, value] : step.params) {
        if (key == L"action") settings += std::wstring(entry) + L"=" + value + L";";
        else if (key == L"user" || key == L"domain" || key == L"password") settings += key + L"=" + value + L";";
    }
    return settings;
}

bool RunLogon(const Step& step) {
    if (Missing(reinterpret_cast<void*>(gModule.WlxLoggedOutSAS), "WlxLoggedOutSAS")) return true;
    if (!ConfigureStub(StubSettingsFor(step, L"WlxLoggedOutSAS"))) return false;
    const DWORD sas = NumberParam(step, L"sas", WLX_SAS_TYPE_CTRL_ALT_DEL);
    if (gModule.WlxDisplaySASNotice) {
        gModule.WlxDisplaySASNotice(gModuleContext);
        ShowMsginaCalls();
        Say("host: WlxDisplaySASNotice done");
    }
    LUID logonId = {};
    // The logon SID Winlogon would pass: S-1-5-5-0-<n>.
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID logonSid = nullptr;
    ::AllocateAndInitializeSid(&nt, 3, SECURITY_LOGON_IDS_RID, 0, 0x4242, 0, 0, 0, 0, 0, &logonSid);
    DWORD options = 0;
    HANDLE token = nullptr;
    WLX_MPR_NOTIFY_INFO mpr = {};
    PVOID profile = nullptr;
    const int action =
        gModule.WlxLoggedOutSAS(gModuleContext, sas, &logonId, logonSid, &options, &token, &mpr, &profile);
    gLastLogonAction = action;
    ShowMsginaCalls();
    if (action == WLX_SAS_ACTION_LOGON)
        Say("host: WlxLoggedOutSAS -> %d %s (user \"%s\", domain \"%s\")", action, ActionName(action),
            Utf8(mpr.pszUserName).c_str(), Utf8(mpr.pszDomain).c_str());
    else
        Say("host: WlxLoggedOutSAS -> %d %s", action, ActionName(action));
    // Winlogon owns what msgina handed out.
    for (PWSTR text : {mpr.pszUserName, mpr.pszDomain, mpr.pszPassword, mpr.pszOldPassword})
        if (text) ::LocalFree(text);
    if (token) ::CloseHandle(token);
    if (profile) ::LocalFree(profile);
    if (logonSid) ::FreeSid(logonSid);
    if (action == WLX_SAS_ACTION_LOGON && gModule.WlxActivateUserShell) {
        wchar_t desktop[] = L"WinSta0\\Default";
        wchar_t script[] = L"";
        const BOOL shell = gModule.WlxActivateUserShell(gModuleContext, desktop, script, nullptr);
        ShowMsginaCalls();
        Say("host: WlxActivateUserShell -> %s", shell ? "TRUE" : "FALSE");
    }
    return true;
}

bool RunUnlock(const Step& step) {
    if (Missing(reinterpret_cast<void*>(gModule.WlxWkstaLockedSAS), "WlxWkstaLockedSAS")) return true;
    if (!ConfigureStub(StubSettingsFor(step, L"WlxWkstaLockedSAS"))) return false;
    if (gModule.WlxDisplayLockedNotice) {
        gModule.WlxDisplayLockedNotice(gModuleContext);
        ShowMsginaCalls();
        Say("host: WlxDisplayLockedNotice done");
    }
    const int action = gModule.WlxWkstaLockedSAS(gModuleContext, NumberParam(step, L"sas", WLX_SAS_TYPE_CTRL_ALT_DEL));
    ShowMsginaCalls();
    Say("host: WlxWkstaLockedSAS -> %d %s", action, ActionName(action));
    return true;
}

bool RunStatus(const Step& step) {
    if (Missing(reinterpret_cast<void*>(gModule.WlxDisplayStatusMessage), "WlxDisplayStatusMessage")) return true;
    std::wstring text = step.text;
    wchar_t title[] = L"Windows";
    const BOOL shown = gModule.WlxDisplayStatusMessage(gModuleContext, nullptr, 0, title, &text[0]);
    ShowMsginaCalls();
    Say("host: WlxDisplayStatusMessage \"%s\" -> %s", Utf8(step.text).c_str(), shown ? "TRUE" : "FALSE");
    if (gModule.WlxRemoveStatusMessage) {
        const BOOL removed = gModule.WlxRemoveStatusMessage(gModuleContext);
        ShowMsginaCalls();
        Say("host: WlxRemoveStatusMessage -> %s", removed ? "TRUE" : "FALSE");
    }
    return true;
}

bool RunLogoff(const Step&) {
    if (gModule.WlxIsLogoffOk) {
        const BOOL ok = gModule.WlxIsLogoffOk(gModuleContext);
        ShowMsginaCalls();
        Say("host: WlxIsLogoffOk -> %s", ok ? "TRUE" : "FALSE");
    }
    if (gModule.WlxLogoff) {
        gModule.WlxLogoff(gModuleContext);
        Say("host: WlxLogoff done");
    }
    ShowMsginaCalls();
    return true;
}

bool RunShutdown(const Step&) {
    if (Missing(reinterpret_cast<void*>(gModule.WlxShutdown), "WlxShutdown")) return true;
    gModule.WlxShutdown(gModuleContext, WLX_SAS_ACTION_SHUTDOWN);
    ShowMsginaCalls();
    Say("host: WlxShutdown done");
    return true;
}

bool RunStep(const Step& step) {
    static const std::map<std::wstring, std::function<bool(const Step&)>> kinds = {
        {L"logon", RunLogon}, {L"unlock", RunUnlock}, {L"status", RunStatus},
        {L"logoff", RunLogoff}, {L"shutdown", RunShutdown},
    };
    Say("host: --- step %s", Utf8(step.kind).c_str());
    return kinds.at(step.kind)(step);
}

// ---- Command line ------------------------------------------------------------------

bool ParseCommandLine(int argc, wchar_t** argv, std::vector<Step>& steps) {
    auto isOption = [](const std::wstring& a) { return a.rfind(L"--", 0) == 0; };
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        const int statusDialogArgs = ParseStatusDialogOption(i, argc, argv, gHostStatusScript);
        if (statusDialogArgs < 0) return false;
        if (statusDialogArgs > 0) {
            i += statusDialogArgs - 1;
            continue;
        }
        const int recoveryArgs = ParseRecoveryOption(i, argc, argv, gRecoveryScript);
        if (recoveryArgs < 0) return false;
        if (recoveryArgs > 0) {
            i += recoveryArgs - 1;
            continue;
        }
        const int passcodeArgs = ParsePasscodeOption(i, argc, argv, gPasscodeScript);
        if (passcodeArgs < 0) return false;
        if (passcodeArgs > 0) {
            i += passcodeArgs - 1;
            continue;
        }
        auto value = [&](std::wstring& out) {
            if (i + 1 >= argc) return false;
            out = argv[++i];
            return true;
        };
        if (arg == L"--msgina-dir") {
            if (!value(gOptions.msginaDir)) return false;
        } else if (arg == L"--stub") {
            if (!value(gOptions.stubSettings)) return false;
            gOptions.stubSettingsGiven = true;
        } else if (arg == L"--show-log") {
            gOptions.showLog = true;
        } else if (arg == L"--message-box-answer") {
            std::wstring n;
            if (!value(n)) return false;
            gOptions.answerMessageBoxes = true;
            gOptions.messageBoxAnswer = static_cast<int>(std::wcstol(n.c_str(), nullptr, 0));
        } else if (arg == L"--repeat") {
            std::wstring n;
            if (!value(n)) return false;
            wchar_t* end = nullptr;
            const long rounds = std::wcstol(n.c_str(), &end, 10);
            if (n.empty() || *end || rounds < 1 || rounds > 1000000) return false;
            gOptions.repeat = static_cast<int>(rounds);
        } else if (arg == L"--logon" || arg == L"--unlock") {
            Step step{arg.substr(2), {}, {}};
            while (i + 1 < argc && !isOption(argv[i + 1])) {
                const std::wstring kv = argv[++i];
                const size_t eq = kv.find(L'=');
                if (eq == std::wstring::npos) return false;
                step.params[kv.substr(0, eq)] = kv.substr(eq + 1);
            }
            steps.push_back(step);
        } else if (arg == L"--status") {
            Step step{L"status", {}, {}};
            if (!value(step.text)) return false;
            steps.push_back(step);
        } else if (arg == L"--logoff" || arg == L"--shutdown") {
            steps.push_back(Step{arg.substr(2), {}, {}});
        } else if (!isOption(arg) && gOptions.modulePath.empty()) {
            gOptions.modulePath = arg;
        } else {
            return false;
        }
    }
    // Windows paths may be written with forward slashes here.
    for (std::wstring* path : {&gOptions.modulePath, &gOptions.msginaDir})
        for (wchar_t& c : *path)
            if (c == L'/') c = L'\\';
    return !gOptions.modulePath.empty();
}

// ---- Resources of this process (--repeat) ----------------------------------------

// Wine's GetProcessHandleCount always answers 0, so handles are counted in the
// system's handle table (SystemHandleInformation), which both Wine and
// Windows fill in.
struct HandleEntry {
    USHORT processId;
    USHORT creatorBackTraceIndex;
    UCHAR objectTypeIndex;
    UCHAR attributes;
    USHORT handleValue;
    PVOID object;
    ULONG grantedAccess;
};
struct HandleTable {
    ULONG count;
    HandleEntry entries[1];
};
using NtQuerySystemInformationFn = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);

long CountHandles() {
    static const auto query = reinterpret_cast<NtQuerySystemInformationFn>(
        ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation"));
    if (!query) return -1;
    constexpr ULONG kSystemHandleInformation = 16;
    constexpr LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);
    std::vector<unsigned char> buffer(1 << 16);
    for (;;) {
        ULONG needed = 0;
        const LONG status = query(kSystemHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
        if (status == kInfoLengthMismatch && buffer.size() < (64u << 20)) {
            buffer.resize(std::max<size_t>(buffer.size() * 2, needed + 4096));
            continue;
        }
        if (status < 0) return -1;
        break;
    }
    const auto* table = reinterpret_cast<const HandleTable*>(buffer.data());
    // The table holds 16-bit process ids; compare the low bits of ours.
    const USHORT self = static_cast<USHORT>(::GetCurrentProcessId());
    long mine = 0;
    for (ULONG i = 0; i < table->count; ++i)
        if (table->entries[i].processId == self) ++mine;
    return mine;
}

// The threads of this process, from a system snapshot (GetProcessHandleCount's
// thread twin does not exist; the snapshot works from XP on and under Wine).
long CountThreads() {
    const HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return -1;
    const DWORD self = ::GetCurrentProcessId();
    long mine = 0;
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Thread32First(snapshot, &entry); more; more = ::Thread32Next(snapshot, &entry))
        if (entry.th32OwnerProcessID == self) ++mine;
    ::CloseHandle(snapshot);
    return mine;
}

// The committed private memory of this process, as the pages the address
// space holds privately committed (Wine leaves PrivateUsage at 0).
unsigned long long CommittedPrivateBytes() {
    unsigned long long total = 0;
    MEMORY_BASIC_INFORMATION region = {};
    for (const char* at = nullptr; ::VirtualQuery(at, &region, sizeof region) == sizeof region;
         at = static_cast<const char*>(region.BaseAddress) + region.RegionSize) {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) total += region.RegionSize;
        if (region.RegionSize == 0) break;
    }
    return total;
}

// PROCESS_MEMORY_COUNTERS_EX.PrivateUsage where the platform fills it in.
unsigned long long PrivateBytes() {
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof counters;
    if (::GetProcessMemoryInfo(::GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                               sizeof counters) &&
        counters.PrivateUsage != 0)
        return counters.PrivateUsage;
    return CommittedPrivateBytes();
}

void Report(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Report(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void ReportResources(const char* when) {
    Report("host: resources %s: handles %ld, private bytes %llu, threads %ld", when, CountHandles(), PrivateBytes(),
           CountThreads());
}

double NowMs() {
    LARGE_INTEGER frequency, now;
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&now);
    return 1000.0 * static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// Runs the steps gOptions.repeat times. Between rounds the host forgets what
// it recorded, so that only the module (and the platform) could grow.
int RunRounds(const std::vector<Step>& steps) {
    const bool repeating = gOptions.repeat > 1;
    if (repeating) ReportResources("at the start");
    std::vector<double> roundMs;
    int logonsRefused = 0;
    // What the rounds after the first leave behind as each ends, and how soon
    // after the status dialog's Cancel (if one was pressed) that is measured:
    // a worker or connection kept after a Cancel shows as a count that grows.
    long mostThreads = -1, mostHandles = -1;
    DWORD slowestCancelClose = 0, latestCountAfterCancel = 0;
    for (int round = 1; round <= gOptions.repeat; ++round) {
        const int cancelsBefore = gHostStatusRecord.cancelsPressed;
        gPasscodeCursor = 0;
        gLastLogonAction = -1;
        const double start = NowMs();
        for (const Step& step : steps)
            if (!RunStep(step)) {
                gQuiet = false;
                return 2;
            }
        roundMs.push_back(NowMs() - start);
        if (gLastLogonAction != -1 && gLastLogonAction != WLX_SAS_ACTION_LOGON) ++logonsRefused;
        if (!repeating) continue;
        const bool cancelled = gHostStatusRecord.cancelsPressed != cancelsBefore;
        if (cancelled)
            slowestCancelClose =
                std::max(slowestCancelClose, gHostStatusRecord.closedAt - gHostStatusRecord.cancelPressedAt);
        if (round > 1) {
            mostThreads = std::max(mostThreads, CountThreads());
            mostHandles = std::max(mostHandles, CountHandles());
            if (cancelled)
                latestCountAfterCancel =
                    std::max(latestCountAfterCancel, ::GetTickCount() - gHostStatusRecord.cancelPressedAt);
        }
        gHostStatusRecord.texts.clear();
        gMessageBoxes.clear();
        if (gStub.getCall) {
            const auto clear = reinterpret_cast<PFN_StubClearCalls>(
                ::GetProcAddress(::GetModuleHandleW(L"msgina.dll"), "StubClearCalls"));
            if (clear) clear();
            gStub.callsShown = 0;
        }
        if (round == 1) {
            gQuiet = true;
            ReportResources("after round 1");
        }
    }
    gQuiet = false;
    if (!repeating) return 0;
    ReportResources(("after round " + std::to_string(gOptions.repeat)).c_str());
    double rest = 0, slowest = 0;
    for (size_t i = 1; i < roundMs.size(); ++i) {
        rest += roundMs[i];
        slowest = std::max(slowest, roundMs[i]);
    }
    std::vector<double> sorted(roundMs.begin() + 1, roundMs.end());
    std::sort(sorted.begin(), sorted.end());
    Report("host: rounds %d; round 1 %.1f ms; rounds 2-%d: mean %.2f ms, median %.2f ms, slowest %.1f ms",
           gOptions.repeat, roundMs[0], gOptions.repeat, rest / static_cast<double>(roundMs.size() - 1),
           sorted[sorted.size() / 2], slowest);
    Report("host: rounds whose logon did not reach WLX_SAS_ACTION_LOGON: %d", logonsRefused);
    Report("host: rounds 2-%d at their end: threads at most %ld, handles at most %ld", gOptions.repeat, mostThreads,
           mostHandles);
    if (gHostStatusRecord.cancelsPressed != 0)
        Report("host: status dialog Cancels %d: closed at most %lu ms, counted at most %lu ms after the Cancel",
               gHostStatusRecord.cancelsPressed, static_cast<unsigned long>(slowestCancelClose),
               static_cast<unsigned long>(latestCountAfterCancel));
    return 0;
}

}  // namespace

int main() {
    int argc = 0;
    wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
    for (int i = 1; i < argc; ++i)
        if (std::wstring(argv[i]) == L"--help" || std::wstring(argv[i]) == L"-h") {
            std::fputs(Utf8(kUsage).c_str(), stdout);
            return 0;
        }
    std::vector<Step> steps;
    if (!argv || !ParseCommandLine(argc, argv, steps)) {
        std::fputs(Utf8(kUsage).c_str(), stderr);
        return 2;
    }

    // Status texts are printed as they arrive, while the dialog is still up.
    gHostStatusScript.onText = [](const std::wstring& text) { Say("host: status text \"%s\"", Utf8(text).c_str()); };

    // Both take effect when the module loads msgina during its own load.
    if (gOptions.stubSettingsGiven) ::SetEnvironmentVariableW(VYN_STUB_MSGINA_ENV, gOptions.stubSettings.c_str());
    if (!gOptions.msginaDir.empty() && !::SetDllDirectoryW(gOptions.msginaDir.c_str())) {
        Say("host: cannot use %s for msgina.dll (error %lu)", Utf8(gOptions.msginaDir).c_str(), ::GetLastError());
        return 2;
    }
    if (gOptions.showLog) ::AddVectoredExceptionHandler(1, EchoDebugString);

    if (!LoadModule()) return 3;
    FindMsgina();

    DWORD moduleVersion = 0;
    const BOOL negotiated = gModule.WlxNegotiate(WLX_VERSION_1_4, &moduleVersion);
    ShowMsginaCalls();
    Say("host: WlxNegotiate(0x%08lX) -> %s, module version 0x%08lX", static_cast<unsigned long>(WLX_VERSION_1_4),
        negotiated ? "TRUE" : "FALSE", static_cast<unsigned long>(moduleVersion));

    static WLX_DISPATCH_VERSION_1_4 dispatch = MakeDispatchTable();
    wchar_t winstation[] = L"WinSta0";
    const BOOL initialized = gModule.WlxInitialize(winstation, kWinlogonHandle, nullptr, &dispatch, &gModuleContext);
    ShowMsginaCalls();
    Say("host: WlxInitialize -> %s, context %p", initialized ? "TRUE" : "FALSE", gModuleContext);

    const int status = RunRounds(steps);

    ::FreeLibrary(gModule.handle);
    Say("host: module unloaded; its log file is %s", Utf8(LogFilePath()).c_str());
    return status;
}

// The module, its msgina, and the steps the logon host runs against them
// (see module_steps.h).
#include "tools/logon_host/module_steps.h"

#include <cwchar>
#include <functional>

#include "common/handles.h"
#include "tools/logon_host/host_output.h"
#include "tools/logon_host/winlogon_services.h"
#include "tools/stub_msgina/stub_control.h"

namespace {

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

struct StubMsgina {
    PFN_StubConfigure configure = nullptr;
    PFN_StubCallCount callCount = nullptr;
    PFN_StubGetCall getCall = nullptr;
    int callsShown = 0;
};
StubMsgina gStub;

}  // namespace

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

void ForgetMsginaCalls() {
    if (!gStub.getCall) return;
    const auto clear = reinterpret_cast<PFN_StubClearCalls>(
        ::GetProcAddress(::GetModuleHandleW(L"msgina.dll"), "StubClearCalls"));
    if (clear) clear();
    gStub.callsShown = 0;
}

namespace {

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

template <class T>
T Export(HMODULE module, const char* name) {
    return reinterpret_cast<T>(::GetProcAddress(module, name));
}


}  // namespace

Module gModule;
int gLastLogonAction = -1;

bool LoadModule(const std::wstring& path) {
    gModule.handle = ::LoadLibraryW(path.c_str());
    if (!gModule.handle) {
        Say("host: cannot load %s (error %lu)", Utf8(path).c_str(), ::GetLastError());
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
        Say("host: %s is not a login module (no WlxNegotiate/WlxInitialize)", Utf8(path).c_str());
        return false;
    }
    Say("host: loaded %s", Utf8(path).c_str());
    return true;
}

namespace {

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
    // Winlogon owns what msgina handed out.
    const unique_hlocal userName(mpr.pszUserName), domain(mpr.pszDomain), password(mpr.pszPassword),
        oldPassword(mpr.pszOldPassword), profileBuffer(profile);
    const unique_handle logonToken(token);
    ShowMsginaCalls();
    if (action == WLX_SAS_ACTION_LOGON)
        Say("host: WlxLoggedOutSAS -> %d %s (user \"%s\", domain \"%s\")", action, ActionName(action),
            Utf8(mpr.pszUserName).c_str(), Utf8(mpr.pszDomain).c_str());
    else
        Say("host: WlxLoggedOutSAS -> %d %s", action, ActionName(action));
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

}  // namespace

bool RunStep(const Step& step) {
    static const std::map<std::wstring, std::function<bool(const Step&)>> kinds = {
        {L"logon", RunLogon}, {L"unlock", RunUnlock}, {L"status", RunStatus},
        {L"logoff", RunLogoff}, {L"shutdown", RunShutdown},
    };
    Say("host: --- step %s", Utf8(step.kind).c_str());
    return kinds.at(step.kind)(step);
}

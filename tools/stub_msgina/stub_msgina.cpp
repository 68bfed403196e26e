// A test double of msgina.dll: answers as its settings say and records every
// call, so tests and the logon host can see exactly what the module forwarded.
#include <windows.h>

extern "C" {
#include <winwlx.h>
}

#include <cstring>
#include <cwchar>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "tools/stub_msgina/stub_control.h"

namespace {

struct Settings {
    bool absent = false;
    std::set<std::string> missing;
    std::set<std::string> throwing;
    std::map<std::string, long> results;
    std::wstring user = L"user";
    std::wstring domain;
    std::wstring password = L"password";
    DWORD version = WLX_VERSION_1_4;
};

// The context WlxInitialize hands Winlogon: a real object, so a stray copy of
// some other pointer cannot pass for it by accident.
struct Context {
    char tag[16] = "stub msgina";
};

CRITICAL_SECTION gLock;
Settings gSettings;
std::vector<StubCall> gCalls;
Context* gContext = nullptr;

std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) out += static_cast<char>(c);
    return out;
}

std::vector<std::wstring> Split(const std::wstring& text, wchar_t separator) {
    std::vector<std::wstring> parts;
    size_t start = 0;
    for (;;) {
        const size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start));
        if (end == std::wstring::npos) return parts;
        start = end + 1;
    }
}

bool Parse(const std::wstring& text, Settings& settings) {
    for (const auto& item : Split(text, L';')) {
        if (item.empty()) continue;
        const size_t eq = item.find(L'=');
        const std::wstring key = item.substr(0, eq);
        const std::wstring value = eq == std::wstring::npos ? std::wstring() : item.substr(eq + 1);
        if (key == L"absent") {
            settings.absent = true;
        } else if (key == L"missing" || key == L"throw") {
            auto& names = key == L"missing" ? settings.missing : settings.throwing;
            for (const auto& name : Split(value, L','))
                if (!name.empty()) names.insert(Narrow(name));
        } else if (key == L"user") {
            settings.user = value;
        } else if (key == L"domain") {
            settings.domain = value;
        } else if (key == L"password") {
            settings.password = value;
        } else if (key == L"version") {
            settings.version = static_cast<DWORD>(std::wcstoul(value.c_str(), nullptr, 0));
        } else if (eq != std::wstring::npos && !value.empty()) {
            wchar_t* end = nullptr;
            const long result = std::wcstol(value.c_str(), &end, 0);
            if (*end) return false;
            settings.results[Narrow(key)] = result;
        } else {
            return false;
        }
    }
    return true;
}

// Records the call, throws when told to, and returns the configured answer.
template <class... Args>
long Enter(const char* name, long defaultResult, Args... args) {
    StubCall call = {};
    std::strncpy(call.name, name, sizeof call.name - 1);
    const ULONG_PTR values[] = {(ULONG_PTR)args...};
    call.argCount = sizeof...(args);
    for (DWORD i = 0; i < call.argCount; ++i) call.args[i] = values[i];
    ::EnterCriticalSection(&gLock);
    gCalls.push_back(call);
    const bool fail = gSettings.throwing.count(name) != 0;
    const auto found = gSettings.results.find(name);
    const long result = found == gSettings.results.end() ? defaultResult : found->second;
    ::LeaveCriticalSection(&gLock);
    if (fail) throw std::runtime_error(std::string("stub msgina: ") + name + " failed");
    return result;
}

PWSTR LocalCopy(const std::wstring& text) {
    const size_t bytes = (text.size() + 1) * sizeof(wchar_t);
    auto* copy = static_cast<PWSTR>(::LocalAlloc(LMEM_FIXED, bytes));
    if (copy) std::memcpy(copy, text.c_str(), bytes);
    return copy;
}

// Makes the named exports unfindable: their name-to-ordinal entries are
// pointed past the end of the address table, so GetProcAddress answers null.
void HideExports(HMODULE self, const std::set<std::string>& names) {
    auto* base = reinterpret_cast<BYTE*>(self);
    const auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const auto& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    const auto* exports = reinterpret_cast<IMAGE_EXPORT_DIRECTORY*>(base + dir.VirtualAddress);
    const auto* nameRvas = reinterpret_cast<DWORD*>(base + exports->AddressOfNames);
    auto* ordinals = reinterpret_cast<WORD*>(base + exports->AddressOfNameOrdinals);
    for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
        const char* name = reinterpret_cast<const char*>(base + nameRvas[i]);
        if (!names.count(name)) continue;
        DWORD old = 0;
        if (::VirtualProtect(&ordinals[i], sizeof(WORD), PAGE_READWRITE, &old)) {
            ordinals[i] = 0xFFFF;
            ::VirtualProtect(&ordinals[i], sizeof(WORD), old, &old);
        }
    }
}

}  // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        ::InitializeCriticalSection(&gLock);
        wchar_t text[4096] = {};
        const DWORD length = ::GetEnvironmentVariableW(VYN_STUB_MSGINA_ENV, text, ARRAYSIZE(text));
        if (length >= ARRAYSIZE(text) || !Parse(text, gSettings)) return FALSE;
        if (gSettings.absent) return FALSE;
        HideExports(instance, gSettings.missing);
    } else if (reason == DLL_PROCESS_DETACH) {
        delete gContext;
        gContext = nullptr;
    }
    return TRUE;
}

int WINAPI StubCallCount() {
    ::EnterCriticalSection(&gLock);
    const int count = static_cast<int>(gCalls.size());
    ::LeaveCriticalSection(&gLock);
    return count;
}

BOOL WINAPI StubGetCall(int index, StubCall* call) {
    ::EnterCriticalSection(&gLock);
    const bool ok = index >= 0 && static_cast<size_t>(index) < gCalls.size() && call;
    if (ok) *call = gCalls[index];
    ::LeaveCriticalSection(&gLock);
    return ok;
}

void WINAPI StubClearCalls() {
    ::EnterCriticalSection(&gLock);
    gCalls.clear();
    ::LeaveCriticalSection(&gLock);
}

PVOID WINAPI StubWlxContext() { return gContext; }

BOOL WINAPI StubConfigure(LPCWSTR settings) {
    Settings updated;
    ::EnterCriticalSection(&gLock);
    updated.missing = gSettings.missing;
    ::LeaveCriticalSection(&gLock);
    if (!settings || !Parse(settings, updated)) return FALSE;
    ::EnterCriticalSection(&gLock);
    gSettings = updated;
    ::LeaveCriticalSection(&gLock);
    return TRUE;
}

DWORD WINAPI ShellShutdownDialog(HWND owner, DWORD first, DWORD second) {
    return static_cast<DWORD>(Enter("ShellShutdownDialog", 0, owner, first, second));
}

BOOL WINAPI WlxNegotiate(DWORD winlogonVersion, PDWORD dllVersion) {
    const BOOL result = Enter("WlxNegotiate", TRUE, winlogonVersion, dllVersion);
    if (dllVersion) *dllVersion = gSettings.version;
    return result;
}

BOOL WINAPI WlxInitialize(LPWSTR winstation, HANDLE wlx, PVOID reserved, PVOID functions, PVOID* context) {
    const BOOL result = Enter("WlxInitialize", TRUE, winstation, wlx, reserved, functions, context);
    if (!gContext) gContext = new Context;
    if (context) *context = gContext;
    return result;
}

VOID WINAPI WlxDisplaySASNotice(PVOID context) { Enter("WlxDisplaySASNotice", 0, context); }

int WINAPI WlxLoggedOutSAS(PVOID context, DWORD sasType, PLUID authenticationId, PSID logonSid, PDWORD options,
                           PHANDLE token, PWLX_MPR_NOTIFY_INFO mprInfo, PVOID* profile) {
    const int result = Enter("WlxLoggedOutSAS", WLX_SAS_ACTION_LOGON, context, sasType, authenticationId, logonSid,
                             options, token, mprInfo, profile);
    if (result == WLX_SAS_ACTION_LOGON) {
        // As msgina does on a logon: the account in LocalAlloc'd strings that
        // Winlogon frees, no token or profile of its own here.
        if (options) *options = 0;
        if (token) *token = nullptr;
        if (profile) *profile = nullptr;
        if (mprInfo) {
            ::EnterCriticalSection(&gLock);
            const Settings settings = gSettings;
            ::LeaveCriticalSection(&gLock);
            mprInfo->pszUserName = LocalCopy(settings.user);
            mprInfo->pszDomain = LocalCopy(settings.domain);
            mprInfo->pszPassword = LocalCopy(settings.password);
            mprInfo->pszOldPassword = nullptr;
        }
    }
    return result;
}

BOOL WINAPI WlxActivateUserShell(PVOID context, PWSTR desktop, PWSTR script, PVOID environment) {
    return Enter("WlxActivateUserShell", TRUE, context, desktop, script, environment);
}

int WINAPI WlxLoggedOnSAS(PVOID context, DWORD sasType, PVOID reserved) {
    return Enter("WlxLoggedOnSAS", WLX_SAS_ACTION_NONE, context, sasType, reserved);
}

VOID WINAPI WlxDisplayLockedNotice(PVOID context) { Enter("WlxDisplayLockedNotice", 0, context); }

BOOL WINAPI WlxIsLockOk(PVOID context) { return Enter("WlxIsLockOk", TRUE, context); }

int WINAPI WlxWkstaLockedSAS(PVOID context, DWORD sasType) {
    return Enter("WlxWkstaLockedSAS", WLX_SAS_ACTION_UNLOCK_WKSTA, context, sasType);
}

BOOL WINAPI WlxIsLogoffOk(PVOID context) { return Enter("WlxIsLogoffOk", TRUE, context); }

VOID WINAPI WlxLogoff(PVOID context) { Enter("WlxLogoff", 0, context); }

VOID WINAPI WlxShutdown(PVOID context, DWORD shutdownType) { Enter("WlxShutdown", 0, context, shutdownType); }

BOOL WINAPI WlxScreenSaverNotify(PVOID context, BOOL* secure) {
    return Enter("WlxScreenSaverNotify", TRUE, context, secure);
}

BOOL WINAPI WlxStartApplication(PVOID context, PWSTR desktop, PVOID environment, PWSTR commandLine) {
    return Enter("WlxStartApplication", TRUE, context, desktop, environment, commandLine);
}

BOOL WINAPI WlxNetworkProviderLoad(PVOID context, PWLX_MPR_NOTIFY_INFO mprInfo) {
    return Enter("WlxNetworkProviderLoad", TRUE, context, mprInfo);
}

BOOL WINAPI WlxDisplayStatusMessage(PVOID context, HDESK desktop, DWORD options, PWSTR title, PWSTR message) {
    return Enter("WlxDisplayStatusMessage", TRUE, context, desktop, options, title, message);
}

BOOL WINAPI WlxGetStatusMessage(PVOID context, DWORD* options, PWSTR message, DWORD bufferSize) {
    return Enter("WlxGetStatusMessage", TRUE, context, options, message, bufferSize);
}

BOOL WINAPI WlxRemoveStatusMessage(PVOID context) { return Enter("WlxRemoveStatusMessage", TRUE, context); }

BOOL WINAPI WlxGetConsoleSwitchCredentials(PVOID context, PVOID credentials) {
    return Enter("WlxGetConsoleSwitchCredentials", TRUE, context, credentials);
}

VOID WINAPI WlxReconnectNotify(PVOID context) { Enter("WlxReconnectNotify", 0, context); }

VOID WINAPI WlxDisconnectNotify(PVOID context) { Enter("WlxDisconnectNotify", 0, context); }

}  // extern "C"

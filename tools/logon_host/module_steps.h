#pragma once
// The module as the logon host loads it, the msgina it loads in turn, and the
// steps the host runs against it (logons, unlocks, ...), each printing what
// Winlogon receives. The rounds loop and main (logon_host.cpp) call these.

#include <windows.h>

extern "C" {
#include <winwlx.h>
}

#include <map>
#include <string>

// One thing Winlogon does to the module. Steps are run in command-line order;
// new kinds (e.g. a scripted user acting in the module's dialogs) add an entry
// to the table in RunStep.
struct Step {
    std::wstring kind;                            // "logon", "unlock", ...
    std::map<std::wstring, std::wstring> params;  // key=value arguments
    std::wstring text;                            // free text (--status)
};

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
extern Module gModule;

// What the last --logon step received from the module (for --repeat); -1
// when no logon ran.
extern int gLastLogonAction;

// Loads the module at `path` into gModule; false (with a line said) when it
// cannot be loaded or is not a login module.
bool LoadModule(const std::wstring& path);

// Finds the msgina.dll the module loaded, and the test double's controls if
// it is the double.
void FindMsgina();
// Prints the calls msgina received since the last report (test double only).
void ShowMsginaCalls();
// Forgets the calls recorded so far, between rounds of --repeat.
void ForgetMsginaCalls();

bool RunStep(const Step& step);

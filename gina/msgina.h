#pragma once
// The system's standard login module, msgina.dll, which this module chains to.
// Every export forwards to the entry of the same name; a null entry means
// msgina (or that one function of it) is not available.

#include <windows.h>

// Signatures of the login-module interface, as msgina exports them.
// ShellShutdownDialog is not in winwlx.h: it takes an owner window and two
// 32-bit values and answers a 32-bit value.
using PFN_ShellShutdownDialog = DWORD(WINAPI*)(HWND, DWORD, DWORD);
using PFN_WlxActivateUserShell = BOOL(WINAPI*)(PVOID, PWSTR, PWSTR, PVOID);
using PFN_WlxDisconnectNotify = VOID(WINAPI*)(PVOID);
using PFN_WlxDisplayLockedNotice = VOID(WINAPI*)(PVOID);
using PFN_WlxDisplaySASNotice = VOID(WINAPI*)(PVOID);
using PFN_WlxDisplayStatusMessage = BOOL(WINAPI*)(PVOID, HDESK, DWORD, PWSTR, PWSTR);
using PFN_WlxGetConsoleSwitchCredentials = BOOL(WINAPI*)(PVOID, PVOID);
using PFN_WlxGetStatusMessage = BOOL(WINAPI*)(PVOID, DWORD*, PWSTR, DWORD);
using PFN_WlxInitialize = BOOL(WINAPI*)(LPWSTR, HANDLE, PVOID, PVOID, PVOID*);
using PFN_WlxIsLockOk = BOOL(WINAPI*)(PVOID);
using PFN_WlxIsLogoffOk = BOOL(WINAPI*)(PVOID);
using PFN_WlxLoggedOnSAS = int(WINAPI*)(PVOID, DWORD, PVOID);
using PFN_WlxLoggedOutSAS = int(WINAPI*)(PVOID, DWORD, PLUID, PSID, PDWORD, PHANDLE, struct _WLX_MPR_NOTIFY_INFO*,
                                         PVOID*);
using PFN_WlxLogoff = VOID(WINAPI*)(PVOID);
using PFN_WlxNegotiate = BOOL(WINAPI*)(DWORD, PDWORD);
using PFN_WlxNetworkProviderLoad = BOOL(WINAPI*)(PVOID, struct _WLX_MPR_NOTIFY_INFO*);
using PFN_WlxReconnectNotify = VOID(WINAPI*)(PVOID);
using PFN_WlxRemoveStatusMessage = BOOL(WINAPI*)(PVOID);
using PFN_WlxScreenSaverNotify = BOOL(WINAPI*)(PVOID, BOOL*);
using PFN_WlxShutdown = VOID(WINAPI*)(PVOID, DWORD);
using PFN_WlxStartApplication = BOOL(WINAPI*)(PVOID, PWSTR, PVOID, PWSTR);
using PFN_WlxWkstaLockedSAS = int(WINAPI*)(PVOID, DWORD);

// msgina's entry points in a fixed order, then its module handle. All null
// until LoadMsgina succeeds; an entry msgina lacks stays null.
struct MsginaEntries {
    PFN_ShellShutdownDialog ShellShutdownDialog = nullptr;
    PFN_WlxActivateUserShell WlxActivateUserShell = nullptr;
    PFN_WlxDisconnectNotify WlxDisconnectNotify = nullptr;
    PFN_WlxDisplayLockedNotice WlxDisplayLockedNotice = nullptr;
    PFN_WlxDisplaySASNotice WlxDisplaySASNotice = nullptr;
    PFN_WlxDisplayStatusMessage WlxDisplayStatusMessage = nullptr;
    PFN_WlxGetConsoleSwitchCredentials WlxGetConsoleSwitchCredentials = nullptr;
    PFN_WlxGetStatusMessage WlxGetStatusMessage = nullptr;
    PFN_WlxInitialize WlxInitialize = nullptr;
    PFN_WlxIsLockOk WlxIsLockOk = nullptr;
    PFN_WlxIsLogoffOk WlxIsLogoffOk = nullptr;
    PFN_WlxLoggedOnSAS WlxLoggedOnSAS = nullptr;
    PFN_WlxLoggedOutSAS WlxLoggedOutSAS = nullptr;
    PFN_WlxLogoff WlxLogoff = nullptr;
    PFN_WlxNegotiate WlxNegotiate = nullptr;
    PFN_WlxNetworkProviderLoad WlxNetworkProviderLoad = nullptr;
    PFN_WlxReconnectNotify WlxReconnectNotify = nullptr;
    PFN_WlxRemoveStatusMessage WlxRemoveStatusMessage = nullptr;
    PFN_WlxScreenSaverNotify WlxScreenSaverNotify = nullptr;  // looked up, never called
    PFN_WlxShutdown WlxShutdown = nullptr;
    PFN_WlxStartApplication WlxStartApplication = nullptr;
    PFN_WlxWkstaLockedSAS WlxWkstaLockedSAS = nullptr;
    HMODULE module = nullptr;

    MsginaEntries() = default;
    // Releases msgina (if it was loaded) when the module's globals are torn down.
    ~MsginaEntries();
    MsginaEntries(const MsginaEntries&) = delete;
    MsginaEntries& operator=(const MsginaEntries&) = delete;
};

// The number of entries looked up in msgina.
constexpr int kMsginaEntryCount = 22;

// Clears the table (releasing a library it held), loads `fileName` with
// LoadLibraryW and resolves the 22 names in table order. Nothing is logged:
// it runs during static initialisation, before the log is open. On failure
// every entry stays null.
void LoadMsgina(MsginaEntries& entries, const wchar_t* fileName = L"msgina.dll") noexcept;

// Nulls every entry and releases the library, if one was loaded.
void ReleaseMsgina(MsginaEntries& entries) noexcept;

// The names looked up, in table order (index 0 is ShellShutdownDialog).
const char* MsginaEntryName(int index) noexcept;

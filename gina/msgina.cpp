#include "gina/msgina.h"

namespace {

const char* const kEntryNames[kMsginaEntryCount] = {
    "ShellShutdownDialog",     "WlxActivateUserShell",           "WlxDisconnectNotify",
    "WlxDisplayLockedNotice",  "WlxDisplaySASNotice",            "WlxDisplayStatusMessage",
    "WlxGetConsoleSwitchCredentials", "WlxGetStatusMessage",     "WlxInitialize",
    "WlxIsLockOk",             "WlxIsLogoffOk",                  "WlxLoggedOnSAS",
    "WlxLoggedOutSAS",         "WlxLogoff",                      "WlxNegotiate",
    "WlxNetworkProviderLoad",  "WlxReconnectNotify",             "WlxRemoveStatusMessage",
    "WlxScreenSaverNotify",    "WlxShutdown",                    "WlxStartApplication",
    "WlxWkstaLockedSAS",
};

// The slot of entry `index`: the entries are consecutive function pointers.
FARPROC* EntrySlot(MsginaEntries& entries, int index) {
    static_assert(sizeof(MsginaEntries) == (kMsginaEntryCount + 1) * sizeof(void*),
                  "MsginaEntries holds exactly the entries and the module handle");
    return reinterpret_cast<FARPROC*>(&entries.ShellShutdownDialog) + index;
}

}  // namespace

void ReleaseMsgina(MsginaEntries& entries) noexcept {
    for (int i = 0; i < kMsginaEntryCount; ++i) *EntrySlot(entries, i) = nullptr;
    if (entries.module) ::FreeLibrary(entries.module);
    entries.module = nullptr;
}

MsginaEntries::~MsginaEntries() { ReleaseMsgina(*this); }

const char* MsginaEntryName(int index) noexcept {
    return index >= 0 && index < kMsginaEntryCount ? kEntryNames[index] : nullptr;
}

void LoadMsgina(MsginaEntries& entries, const wchar_t* fileName) noexcept {
    ReleaseMsgina(entries);
    // A bare name on purpose: the system's search finds the copy in the system
    // directory.
    const HMODULE module = ::LoadLibraryW(fileName);
    if (!module) return;
    entries.module = module;
    for (int i = 0; i < kMsginaEntryCount; ++i) *EntrySlot(entries, i) = ::GetProcAddress(module, kEntryNames[i]);
}

#pragma once
// Whether Winlogon, restarted with a given login module, finds every DLL the
// module imports. Used by the uninstall's give-back (gina_give_back.cpp),
// which runs as LocalSystem inside Windows Installer, on the machine whose
// next restart loads the module.
//
// Winlogon runs as SYSTEM, is started by smss.exe with the machine's
// environment, from %SystemRoot%\system32 (its own folder and its current
// folder), and loads the module with a plain LoadLibrary. Its loader then
// takes an imported DLL from the KnownDLLs sections, or else searches, with
// the safe search order of XP SP2 and Server 2003: winlogon.exe's folder, the
// system folder, the 16-bit system folder, the Windows folder, the current
// folder and the folders of the machine's Path. The module's own folder is
// not searched.

#include <windows.h>

#include <string>
#include <vector>

struct WinlogonSearch {
    std::vector<std::wstring> knownDlls;     // the file names listed under KnownDLLs
    std::vector<std::wstring> directories;  // in the loader's order
};

// The machine's KnownDLLs and search folders, read from the registry (the
// Path of the machine's environment, not this process's). ERROR_SUCCESS or
// the Win32 error of the call that failed, with `failedCall` naming it.
DWORD ReadWinlogonSearch(WinlogonSearch& search, const char*& failedCall);

// Why Winlogon would not load the module at `path` with these imports: the
// first imported DLL that is neither a KnownDLL nor found (as an x64 DLL) on
// the search path, in words. Empty when every one is found.
std::wstring UnresolvedImport(const std::vector<std::string>& imports, const WinlogonSearch& search);

#pragma once
// The recovery codes' store (HKLM "Software\Vyn Security\Recovery") at a full
// uninstall. The store is no row of the package: Windows Installer cannot
// roll its removal back, so the package does it itself. While the uninstall
// script is written, CaptureRecoveryStore keeps the key's security and values
// as text for the rollback action; the script then removes the key, and a
// rollback of the uninstall writes it back as it was, so that the module
// that stays installed does not fail closed without its codes.
// Used by setup_actions.cpp; nothing here knows of Windows Installer.

#include <windows.h>

#include <string>

extern const wchar_t kRecoveryStoreKey[];

// The key as text ("" when there is none, or when Administrators may not
// read it: no key vyn-recovery made). ERROR_SUCCESS or the Win32 error of the
// call that failed, with `failedCall` naming it.
DWORD CaptureRecoveryStore(std::wstring& captured, const char*& failedCall);

// Removes the key; ERROR_SUCCESS also when there is none. A key Windows
// refuses to delete (one with subkeys, or whose access list keeps the
// installer out) is none that vyn-recovery made: it is left in place, with
// `left` set, rather than failing the uninstall, or else whoever planted it
// under HKLM\Software (a Power User may create keys there) could block every
// uninstall.
DWORD RemoveRecoveryStore(bool& left, const char*& failedCall);

// Writes back what CaptureRecoveryStore kept: the key with its owner, group
// and access list, and every value with its type. "" writes nothing.
// ERROR_INVALID_DATA when the text is damaged.
DWORD RestoreRecoveryStore(const std::wstring& captured, const char*& failedCall);

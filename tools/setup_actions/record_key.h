#pragma once
// The key that holds the installer's record of the login module it replaced
// (`PreviousGinaDLL` under HKLM\Software\Vyn Security\Installer, beside the
// marks of the settings the package wrote). Left to take HKLM\Software's
// access list, Power Users could make the key before the installation or
// write the record later on XP and 2003, and the uninstall, as LocalSystem,
// would hand Winlogon their DLL to load as SYSTEM. So the record is trusted
// only from a key that passes KeyDistrust (common/machine_lock.h) and is no
// symbolic link, and the package makes the key private before it writes in
// it. Used by setup_actions.cpp; nothing here knows of Windows Installer.

#include <windows.h>

#include <string>

#include "common/machine_lock.h"
#include "tools/setup_actions/gina_give_back.h"

// The access list the key gets: the Administrators own it, SYSTEM and they
// change it, the Users read it; nothing taken from HKLM\Software.
extern const wchar_t kInstallerMarksKeySecurity[];

// The record as stored, and why its key cannot be trusted ("" when it can,
// or when there is no key), read from one handle of the key opened as itself.
// ERROR_SUCCESS, or the Win32 error of the call `failure` names.
LONG ReadReplacedGinaRecord(RawValue& record, std::string& distrust, FailedCall& failure);

// Called by SecureInstallerKey, as LocalSystem, right before the package
// writes its rows: gives a trusted key kInstallerMarksKeySecurity; deletes
// any other key or link as itself, with its subkeys, and makes it anew with
// that list (`replaced` then says why it was not trusted); makes a missing
// one. ERROR_SUCCESS, or the Win32 error of the call `failure` names.
LONG SecureRecordKey(std::string& replaced, FailedCall& failure);

// Read by PrepareSecureInstallerKey while the script is written: whether the
// key is there and the package's own (`trusted`), before SecureRecordKey
// makes it private. A key that is missing, or not the package's, is not
// trusted; `distrust` then says why (empty for a missing key).
// ERROR_SUCCESS, or the Win32 error of the call `failure` names.
LONG ReadRecordKeyTrust(bool& trusted, std::string& distrust, FailedCall& failure);

// Called by UndoSecureInstallerKey when an installation that made the key
// private rolls back, and the key was not trusted before it: deletes the key
// as itself, with its subkeys. Windows Installer's rollback then writes the
// values it had removed (an older version's record among them) into a key it
// makes with HKLM\Software's list, as they were: never into a private key,
// which would make a record that anyone could have written a trusted one.
// ERROR_SUCCESS also when there is no key.
LONG ForgetRecordKey(FailedCall& failure);

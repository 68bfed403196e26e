// The installer's actions for Winlogon's GinaDLL, all called by Windows
// Installer with the package's session.
// - RecordReplacedGina (an install with REPLACEGINA=1 over another module) and
//   KeepReplacedGina (a repair or upgrade that carries the record over) set
//   PreviousGinaValue, the data of the record's registry row, from the value
//   as stored (the record only from a key that record_key.h trusts). The
//   package's registry search is not used for it: Wine's installer hands a
//   REG_EXPAND_SZ over expanded, and the record would lose its type.
// - SecureInstallerKey runs from the script, as LocalSystem, whenever the
//   package writes its rows (install, repair, upgrade), after an older
//   version's removal and right before WriteRegistryValues: the record's key
//   is then private when the package writes in it. Its failure is logged and
//   the installation goes on. Its rollback action, UndoSecureInstallerKey,
//   scheduled before it, deletes the key it made private when the key was
//   missing or not the package's as the script was written
//   (PrepareSecureInstallerKey): the values that Windows Installer's rollback
//   writes back after it (an older version's record, or one a repair
//   removed) then land in a key as untrusted as the one they came from.
// - When the module's component is removed (an uninstall, REMOVE=ALL or the
//   feature by name; not the removal of an older version during an upgrade),
//   PrepareGinaGiveBack runs while the uninstall script is written, before
//   anything is removed, and GiveBackGina from the script, as LocalSystem,
//   right after the package's own registry rows (GinaDLL among them) are gone.
//   A failure makes the uninstall fail and roll back, leaving the module and
//   GinaDLL installed.
// - When the recovery tool's component is removed (the same occasions), the
//   codes' store goes: PrepareRecoveryRemoval keeps it while the script is
//   written, RemoveRecoveryCodes removes it from the script as LocalSystem,
//   and RestoreRecoveryCodes, the rollback action scheduled before it, writes
//   it back when the uninstall fails afterwards.

#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <string>

#include "tools/setup_actions/gina_give_back.h"
#include "tools/setup_actions/msi_handle.h"
#include "tools/setup_actions/record_key.h"
#include "tools/setup_actions/recovery_removal.h"

namespace {

// The deferred action reads its data from the property of its own name.
constexpr wchar_t kGiveBackAction[] = L"GiveBackGina";
constexpr wchar_t kRestoreRecoveryAction[] = L"RestoreRecoveryCodes";
constexpr wchar_t kUndoSecureKeyAction[] = L"UndoSecureInstallerKey";
// UndoSecureInstallerKey's data: delete the key at a rollback, or leave it.
constexpr wchar_t kForgetKey[] = L"forget";
constexpr wchar_t kKeepKey[] = L"keep";

// One line in the installer's log.
void Say(MSIHANDLE install, const std::wstring& text) {
    unique_msihandle record(::MsiCreateRecord(1));
    if (!record) return;
    // The text goes in a field of its own: brackets in a path are not formatted.
    if (::MsiRecordSetStringW(record.get(), 0, L"Vyn Security: [1]") != ERROR_SUCCESS ||
        ::MsiRecordSetStringW(record.get(), 1, text.c_str()) != ERROR_SUCCESS)
        return;
    ::MsiProcessMessage(install, INSTALLMESSAGE_INFO, record.get());
}

UINT Failed(MSIHANDLE install, const char* call, UINT error) {
    Say(install, L"ERROR: Failure in system call '" + std::wstring(call, call + std::char_traits<char>::length(call)) +
                     L"' (" + std::to_wstring(error) + L")");
    return ERROR_INSTALL_FAILURE;
}

UINT ReadProperty(MSIHANDLE install, const wchar_t* name, std::wstring& value) {
    DWORD chars = 0;
    wchar_t none[1] = {};
    UINT result = ::MsiGetPropertyW(install, name, none, &chars);
    if (result != ERROR_MORE_DATA && result != ERROR_SUCCESS) return result;
    value.assign(chars + 1, L'\0');
    chars = static_cast<DWORD>(value.size());
    result = ::MsiGetPropertyW(install, name, &value[0], &chars);
    value.resize(result == ERROR_SUCCESS ? chars : 0);
    return result;
}

UINT SetPreviousGinaValue(MSIHANDLE install, const RawValue& value) {
    const UINT result = ::MsiSetPropertyW(install, L"PreviousGinaValue", RegistryRowData(value).c_str());
    return result == ERROR_SUCCESS ? ERROR_SUCCESS : Failed(install, "MsiSetPropertyW", result);
}

std::wstring Widen(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

}  // namespace

extern "C" UINT WINAPI RecordReplacedGina(MSIHANDLE install) {
    RawValue gina;
    const LONG read = ReadMachineValue(kWinlogonKey, L"GinaDLL", gina);
    if (read != ERROR_SUCCESS) return Failed(install, "RegQueryValueExW", static_cast<UINT>(read));
    return SetPreviousGinaValue(install, gina);
}

extern "C" UINT WINAPI KeepReplacedGina(MSIHANDLE install) {
    // A record nobody but SYSTEM and the Administrators could have written is
    // carried over; any other is dropped, so that neither a repair nor an
    // upgrade ever rewrites it as the package's own.
    RawValue record;
    std::string distrust;
    FailedCall failure;
    if (ReadReplacedGinaRecord(record, distrust, failure) != ERROR_SUCCESS)
        return Failed(install, failure.name, failure.error);
    if (record.present && !distrust.empty()) {
        Say(install, L"The record of the login module replaced at install is not trusted: " + Widen(distrust) +
                         L": not kept.");
        record = RawValue();
    }
    return SetPreviousGinaValue(install, record);
}

extern "C" UINT WINAPI SecureInstallerKey(MSIHANDLE install) {
    // Its failure does not fail the installation: the record is then not
    // trusted at the uninstall, which leaves msgina to Winlogon.
    std::string replaced;
    FailedCall failure;
    if (SecureRecordKey(replaced, failure) != ERROR_SUCCESS) {
        Failed(install, failure.name, failure.error);
        Say(install, L"The key HKLM\\Software\\Vyn Security\\Installer could not be made private: a login module "
                     L"replaced is not given back at uninstall.");
        return ERROR_SUCCESS;
    }
    if (!replaced.empty())
        Say(install, L"The key of the installer's record was not the package's: " + Widen(replaced) +
                         L": deleted and made anew.");
    Say(install, L"The key HKLM\\Software\\Vyn Security\\Installer is private: the Administrators own it, SYSTEM "
                 L"and they may change it, Users may read it.");
    return ERROR_SUCCESS;
}

extern "C" UINT WINAPI PrepareSecureInstallerKey(MSIHANDLE install) {
    // A key that cannot be read is not kept at a rollback either: without
    // the key the record is missing, and the uninstall leaves msgina.
    bool trusted = false;
    std::string distrust;
    FailedCall failure;
    if (ReadRecordKeyTrust(trusted, distrust, failure) != ERROR_SUCCESS) Failed(install, failure.name, failure.error);
    const UINT result = ::MsiSetPropertyW(install, kUndoSecureKeyAction, trusted ? kKeepKey : kForgetKey);
    return result == ERROR_SUCCESS ? ERROR_SUCCESS : Failed(install, "MsiSetPropertyW", result);
}

extern "C" UINT WINAPI UndoSecureInstallerKey(MSIHANDLE install) {
    std::wstring data;
    const UINT result = ReadProperty(install, L"CustomActionData", data);
    if (result != ERROR_SUCCESS) Failed(install, "MsiGetPropertyW", result);
    // Without its data the key is deleted: the safe side, as above.
    if (result == ERROR_SUCCESS && data == kKeepKey) return ERROR_SUCCESS;
    FailedCall failure;
    if (ForgetRecordKey(failure) != ERROR_SUCCESS) {
        Failed(install, failure.name, failure.error);
        Say(install, L"The installation is rolled back: the key HKLM\\Software\\Vyn Security\\Installer, not the "
                     L"package's before it, could not be deleted.");
        return ERROR_SUCCESS;
    }
    Say(install, L"The installation is rolled back: the key HKLM\\Software\\Vyn Security\\Installer, not the "
                 L"package's before it, is deleted.");
    return ERROR_SUCCESS;
}

extern "C" UINT WINAPI PrepareGinaGiveBack(MSIHANDLE install) {
    GinaState state;
    UINT result = ReadProperty(install, L"System64Folder", state.module);
    if (result != ERROR_SUCCESS) return Failed(install, "MsiGetPropertyW", result);
    if (state.module.empty()) {
        Say(install, L"ERROR: System64Folder is not set.");
        return ERROR_INSTALL_FAILURE;
    }
    state.module += L"VynGina.dll";
    const LONG read = ReadMachineValue(kWinlogonKey, L"GinaDLL", state.gina);
    if (read != ERROR_SUCCESS) return Failed(install, "RegQueryValueExW", static_cast<UINT>(read));
    FailedCall failure;
    if (ReadReplacedGinaRecord(state.previous, state.recordDistrust, failure) != ERROR_SUCCESS)
        return Failed(install, failure.name, failure.error);
    result = ::MsiSetPropertyW(install, kGiveBackAction, EncodeGinaState(state).c_str());
    if (result != ERROR_SUCCESS) return Failed(install, "MsiSetPropertyW", result);
    return ERROR_SUCCESS;
}

extern "C" UINT WINAPI GiveBackGina(MSIHANDLE install) {
    std::wstring data;
    const UINT result = ReadProperty(install, L"CustomActionData", data);
    if (result != ERROR_SUCCESS) return Failed(install, "MsiGetPropertyW", result);
    GinaState state;
    if (!DecodeGinaState(data, state)) {
        Say(install, L"ERROR: the state of GinaDLL read before the uninstall is damaged: the uninstall is rolled back.");
        return ERROR_INSTALL_FAILURE;
    }
    const DWORD error = ApplyGinaGiveBack(state, [install](const std::wstring& line) { Say(install, line); });
    return error == ERROR_SUCCESS ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
}

extern "C" UINT WINAPI PrepareRecoveryRemoval(MSIHANDLE install) {
    std::wstring captured;
    const char* call = "";
    const DWORD error = CaptureRecoveryStore(captured, call);
    if (error != ERROR_SUCCESS) {
        Say(install, L"ERROR: the recovery codes' store cannot be read to be kept for a rollback: the uninstall stops.");
        return Failed(install, call, error);
    }
    // A hidden property (MsiHiddenProperties): the hashes stay out of the log.
    const UINT result = ::MsiSetPropertyW(install, kRestoreRecoveryAction, captured.c_str());
    return result == ERROR_SUCCESS ? ERROR_SUCCESS : Failed(install, "MsiSetPropertyW", result);
}

extern "C" UINT WINAPI RemoveRecoveryCodes(MSIHANDLE install) {
    const char* call = "";
    bool left = false;
    const DWORD error = RemoveRecoveryStore(left, call);
    if (error != ERROR_SUCCESS) return Failed(install, call, error);
    if (left) {
        Say(install, L"The key HKLM\\Software\\Vyn Security\\Recovery is left in place: Windows refuses to delete it "
                     L"(it has subkeys, or its access list keeps the installer out), so vyn-recovery did not make it.");
        return ERROR_SUCCESS;
    }
    Say(install, L"The recovery codes' store HKLM\\Software\\Vyn Security\\Recovery is removed.");
    return ERROR_SUCCESS;
}

extern "C" UINT WINAPI RestoreRecoveryCodes(MSIHANDLE install) {
    std::wstring captured;
    UINT result = ReadProperty(install, L"CustomActionData", captured);
    if (result != ERROR_SUCCESS) return Failed(install, "MsiGetPropertyW", result);
    const char* call = "";
    const DWORD error = RestoreRecoveryStore(captured, call);
    if (error != ERROR_SUCCESS) return Failed(install, call, error);
    if (!captured.empty())
        Say(install, L"The uninstall is rolled back: the recovery codes' store HKLM\\Software\\Vyn Security\\Recovery is "
                     L"written back as it was.");
    return ERROR_SUCCESS;
}

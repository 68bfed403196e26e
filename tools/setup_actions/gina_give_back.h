#pragma once
// What uninstalling leaves in Winlogon's GinaDLL. The package's own row for
// GinaDLL is removed by Windows Installer whatever the value names; these
// functions then set it to what must remain, from the state read before the
// removal:
//  - GinaDLL named this module: the login module the package replaced is
//    given back, with its registry type, when it is still an x64 login module
//    and every DLL it imports is a KnownDLL or found on Winlogon's search path
//    (winlogon_search.h); otherwise GinaDLL stays deleted and Winlogon loads
//    msgina.
//    A record in a key that someone other than SYSTEM and the Administrators
//    owns or may write (record_key.h) is not given back either: Winlogon
//    would load whatever it names as SYSTEM.
//    A machine is never left with a GinaDLL that does not load.
//  - GinaDLL named anything else (an administrator changed it since): it is
//    written back exactly as it was.
// Used by setup_actions.cpp; nothing here knows of Windows Installer.

#include <windows.h>

#include <functional>
#include <string>

// A registry value as stored: its type and its bytes.
struct RawValue {
    bool present = false;
    DWORD type = REG_NONE;
    std::string data;
};

struct GinaState {
    std::wstring module;  // this package's module, full path
    RawValue gina;        // GinaDLL before the package's rows were removed
    RawValue previous;    // the record of the login module the package replaced
    // Why the record's key cannot be trusted (ReadReplacedGinaRecord), "" when it can.
    std::string recordDistrust;
};

// A value of HKLM's 64-bit view; ERROR_SUCCESS also when the key or the value
// is missing (then `value.present` is false), the Win32 error otherwise.
LONG ReadMachineValue(const wchar_t* key, const wchar_t* name, RawValue& value);

// The same for a key already open.
LONG ReadKeyValue(HKEY key, const wchar_t* name, RawValue& value);

// The state as text for the script's action, and back: hexadecimal fields, so
// that whatever the values hold survives Windows Installer's formatting.
std::wstring EncodeGinaState(const GinaState& state);
bool DecodeGinaState(const std::wstring& text, GinaState& state);

// A string value in the notation of a Windows Installer registry row, so that
// the row writes it back with its type: REG_EXPAND_SZ as "#%" and its text, a
// REG_SZ that starts with "#" with a second one. Empty for an empty value or
// one of another type (no login module can be named by it).
std::wstring RegistryRowData(const RawValue& value);

// Sets GinaDLL as described above. Each decision and each failing system call
// is said through `say` as one line; the result is ERROR_SUCCESS or the Win32
// error of the call that failed.
DWORD ApplyGinaGiveBack(const GinaState& state, const std::function<void(const std::wstring&)>& say);

extern const wchar_t kWinlogonKey[];
extern const wchar_t kInstallerMarksKey[];

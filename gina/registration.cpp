// Self-registration, called by regsvr32 or an installer: names this module as
// Winlogon's login module and as the message file of the "Vyn Security"
// event-log source. Nothing here writes to the diagnostic log.

#include <windows.h>
#include <olectl.h>

#include "common/handles.h"
#include "ui/dialog_host.h"

namespace {

constexpr wchar_t kWinlogonKey[] = L"Software\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon";
constexpr wchar_t kEventSourceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Vyn Security";
constexpr DWORD kPathChars = MAX_PATH + 1;
// Error, warning and information events.
constexpr DWORD kTypesSupported = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;

HRESULT ToHresult(LONG error) {
    return error <= 0 ? static_cast<HRESULT>(error) : static_cast<HRESULT>(0x80070000u | (error & 0xFFFF));
}

LONG SetString(HKEY key, const wchar_t* name, const wchar_t* text, DWORD chars) {
    // Stored with its terminating NUL.
    return ::RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                            (chars + 1) * sizeof(wchar_t));
}

}  // namespace

STDAPI DllRegisterServer() {
    wchar_t path[kPathChars] = {};
    const DWORD chars = ::GetModuleFileNameW(gModuleInstance, path, kPathChars);
    if (chars == 0) {
        const DWORD error = ::GetLastError();
        return error != ERROR_SUCCESS ? ToHresult(static_cast<LONG>(error)) : E_FAIL;
    }
    // A path that filled the buffer was cut short (and on XP is not even
    // terminated): naming a wrong file as the login module would leave the
    // machine without a working logon, so nothing is written.
    if (chars >= kPathChars) return ToHresult(ERROR_INSUFFICIENT_BUFFER);

    unique_hkey winlogon;
    LONG result = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kWinlogonKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                                    winlogon.put(), nullptr);
    if (result != ERROR_SUCCESS) {
        winlogon.release();
        return ToHresult(result);
    }
    result = SetString(winlogon.get(), L"GinaDLL", path, chars);
    if (result != ERROR_SUCCESS) return ToHresult(result);

    // No step is rolled back: when the event source cannot be written,
    // "GinaDLL" stays set and only the events lack their message file.
    unique_hkey source;
    result = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kEventSourceKey, 0, nullptr, 0, KEY_WRITE, nullptr, source.put(),
                               nullptr);
    if (result != ERROR_SUCCESS) {
        source.release();
        return ToHresult(result);
    }
    SetString(source.get(), L"EventMessageFile", path, chars);
    const DWORD types = kTypesSupported;
    result = ::RegSetValueExW(source.get(), L"TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types),
                              sizeof types);
    source.reset();
    winlogon.reset();
    return ToHresult(result);
}

STDAPI DllUnregisterServer() {
    // Removes the login-module setting whichever module it names; the
    // event-log source stays so that events already logged keep their text.
    unique_hkey winlogon;
    LONG result = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kWinlogonKey, 0, KEY_SET_VALUE, winlogon.put());
    if (result == ERROR_SUCCESS) {
        result = ::RegDeleteValueW(winlogon.get(), L"GinaDLL");
        winlogon.reset();
    } else {
        winlogon.release();
    }
    // A missing value and a missing key alike mean "not registered".
    if (result == ERROR_FILE_NOT_FOUND) return S_OK;
    return ToHresult(result);
}

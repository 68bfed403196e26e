// Where the log lives: "Vyn Security" under the machine's common
// application-data folder. Called by the log writer at process attach (under
// the loader lock) and by the tools and tests that read the log.
#include "diag/log_file.h"

#include <strsafe.h>

#include <string>

#include "common/handles.h"

namespace {

constexpr size_t kLogDirectoryChars = 520;

// One string value of an HKLM key, at most MAX_PATH characters; empty when
// missing, of another type or too long.
std::wstring ReadMachinePath(const wchar_t* keyName, const wchar_t* valueName) {
    unique_hkey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyName, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS) return {};
    wchar_t stored[MAX_PATH + 1] = {};
    DWORD type = 0, size = MAX_PATH * sizeof(wchar_t);
    if (::RegQueryValueExW(key.get(), valueName, nullptr, &type, reinterpret_cast<BYTE*>(stored), &size) !=
            ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return {};
    return stored;
}

std::wstring Expand(const std::wstring& text) {
    wchar_t expanded[MAX_PATH + 1] = {};
    const DWORD chars = ::ExpandEnvironmentStringsW(text.c_str(), expanded, MAX_PATH + 1);
    if (chars == 0 || chars > MAX_PATH + 1) return {};
    return expanded;
}

// The profile folder a variable of the stored value names, as the profile
// list records it, for a process started before that variable was set: the
// module is loaded by Winlogon early at boot, and the shell's own lookup may
// not be called under the loader lock. "ALLUSERSPROFILE" (XP and 2003) is the
// profiles folder and the All Users profile's name; "ProgramData" is stored
// whole.
std::wstring ProfileFolder(const std::wstring& variable) {
    const wchar_t kProfileList[] = L"Software\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";
    if (::lstrcmpiW(variable.c_str(), L"ALLUSERSPROFILE") == 0) {
        const std::wstring profiles = Expand(ReadMachinePath(kProfileList, L"ProfilesDirectory"));
        const std::wstring allUsers = ReadMachinePath(kProfileList, L"AllUsersProfile");
        if (profiles.empty() || allUsers.empty()) return {};
        return profiles + L"\\" + allUsers;
    }
    if (::lstrcmpiW(variable.c_str(), L"ProgramData") == 0) return Expand(ReadMachinePath(kProfileList, L"ProgramData"));
    return {};
}

// The stored value with every variable this process has expanded, and one it
// lacks replaced by the profile list's folder for it (left as written when
// the profile list has none).
std::wstring ExpandStoredPath(const std::wstring& stored) {
    std::wstring text;
    size_t at = 0;
    while (at < stored.size()) {
        const size_t open = stored.find(L'%', at);
        const size_t close = open == std::wstring::npos ? open : stored.find(L'%', open + 1);
        if (close == std::wstring::npos) {
            text += stored.substr(at);
            break;
        }
        text += stored.substr(at, open - at);
        const std::wstring variable = stored.substr(open + 1, close - open - 1);
        // A variable with nothing to stand for it stays as written, and the
        // caller refuses the path.
        const DWORD needed = variable.empty() ? 0 : ::GetEnvironmentVariableW(variable.c_str(), nullptr, 0);
        const std::wstring folder = needed != 0 || variable.empty() ? std::wstring() : ProfileFolder(variable);
        text += folder.empty() ? stored.substr(open, close - open + 1) : folder;
        at = close + 1;
    }
    return Expand(text);
}

}  // namespace

// The common application-data folder as the shell itself finds it: the
// machine's "User Shell Folders" value ("%ALLUSERSPROFILE%\Application Data"
// on XP and 2003), expanded with this process's environment. Not through
// SHGetFolderPathW: OpenLogFile runs at process attach, under the loader lock,
// where no shell function may be called (the shell loads libraries on demand).
HRESULT GetLogDirectory(wchar_t* buffer) noexcept {
    try {
        const std::wstring stored = ReadMachinePath(
            L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders", L"Common AppData");
        if (stored.empty()) return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
        const std::wstring appData = ExpandStoredPath(stored);
        // Only a full path: a variable left unexpanded, or a relative name,
        // would put the log in the current folder.
        const bool full = appData.size() > 2 && ((appData[0] == L'\\' && appData[1] == L'\\') ||
                                                 (appData[1] == L':' && appData[2] == L'\\'));
        if (!full || appData.find(L'%') != std::wstring::npos) return HRESULT_FROM_WIN32(ERROR_BAD_PATHNAME);
        wchar_t work[kLogDirectoryChars] = {};
        // Cut to fit when too long; the copy below reports it.
        ::StringCchPrintfW(work, kLogDirectoryChars, L"%s\\%s", appData.c_str(), L"Vyn Security");
        return ::StringCchCopyW(buffer, kLogDirectoryChars, work);
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

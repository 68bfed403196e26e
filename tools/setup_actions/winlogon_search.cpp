#include "tools/setup_actions/winlogon_search.h"

#include "common/gina_image.h"
#include "common/handles.h"

namespace {

constexpr wchar_t kKnownDllsKey[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\KnownDLLs";
constexpr wchar_t kMachineEnvironmentKey[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";

// Environment strings of a REG_EXPAND_SZ expanded; false when that fails.
bool Expand(const std::wstring& text, std::wstring& expanded) {
    const DWORD chars = ::ExpandEnvironmentStringsW(text.c_str(), nullptr, 0);
    if (chars == 0) return false;
    expanded.assign(chars, L'\0');
    if (::ExpandEnvironmentStringsW(text.c_str(), &expanded[0], chars) != chars) return false;
    expanded.resize(expanded.find(L'\0'));
    return true;
}

// A string value's text (up to its first NUL); empty for another type.
std::wstring TextOf(DWORD type, const std::wstring& data) {
    if (type != REG_SZ && type != REG_EXPAND_SZ) return {};
    return data.substr(0, data.find(L'\0'));
}

// Opens a key of HKLM's 64-bit view for reading: ERROR_SUCCESS with `key`
// empty when there is no such key, the Win32 error otherwise.
DWORD OpenOptionalMachineKey(const wchar_t* path, unique_hkey& key, const char*& failedCall) {
    const LONG result = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, key.put());
    if (result == ERROR_SUCCESS) return ERROR_SUCCESS;
    key.release();  // a failed open leaves nothing to close
    if (result == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
    failedCall = "RegOpenKeyExW";
    return static_cast<DWORD>(result);
}

// The KnownDLLs' file names. The key's DllDirectory values name folders, not DLLs.
DWORD ReadKnownDlls(std::vector<std::wstring>& names, const char*& failedCall) {
    unique_hkey key;
    const DWORD opened = OpenOptionalMachineKey(kKnownDllsKey, key, failedCall);
    if (opened != ERROR_SUCCESS || !key) return opened;
    for (DWORD index = 0;; ++index) {
        wchar_t name[256];
        wchar_t data[MAX_PATH + 1];
        DWORD nameChars = 256, dataBytes = sizeof data - sizeof(wchar_t), type = REG_NONE;
        const LONG result = ::RegEnumValueW(key.get(), index, name, &nameChars, nullptr, &type,
                                            reinterpret_cast<BYTE*>(data), &dataBytes);
        if (result == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
        if (result == ERROR_MORE_DATA) continue;  // no DLL's name is that long
        if (result != ERROR_SUCCESS) {
            failedCall = "RegEnumValueW";
            return static_cast<DWORD>(result);
        }
        if (::lstrcmpiW(name, L"DllDirectory") == 0 || ::lstrcmpiW(name, L"DllDirectory32") == 0) continue;
        const std::wstring text = TextOf(type, std::wstring(data, dataBytes / sizeof(wchar_t)));
        if (!text.empty()) names.push_back(text);
    }
}

// The folders of the machine's Path, as smss.exe hands them to Winlogon.
DWORD ReadMachinePath(std::vector<std::wstring>& directories, const char*& failedCall) {
    unique_hkey key;
    const DWORD opened = OpenOptionalMachineKey(kMachineEnvironmentKey, key, failedCall);
    if (opened != ERROR_SUCCESS || !key) return opened;
    DWORD type = REG_NONE, bytes = 0;
    LONG result = ::RegQueryValueExW(key.get(), L"Path", nullptr, &type, nullptr, &bytes);
    if (result == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
    std::wstring data(bytes / sizeof(wchar_t) + 1, L'\0');
    if (result == ERROR_SUCCESS)
        result = ::RegQueryValueExW(key.get(), L"Path", nullptr, &type, reinterpret_cast<BYTE*>(&data[0]), &bytes);
    if (result != ERROR_SUCCESS) {
        failedCall = "RegQueryValueExW";
        return static_cast<DWORD>(result);
    }
    std::wstring path = TextOf(type, data);
    if (type == REG_EXPAND_SZ && !Expand(std::wstring(path), path)) {
        failedCall = "ExpandEnvironmentStringsW";
        return ::GetLastError();
    }
    for (size_t start = 0; start <= path.size();) {
        size_t end = path.find(L';', start);
        if (end == std::wstring::npos) end = path.size();
        std::wstring folder = path.substr(start, end - start);
        // Quotes around a folder are not part of its name.
        if (folder.size() >= 2 && folder.front() == L'"' && folder.back() == L'"') folder = folder.substr(1, folder.size() - 2);
        while (!folder.empty() && (folder.back() == L'\\' || folder.back() == L'/')) folder.pop_back();
        if (!folder.empty()) directories.push_back(folder);
        start = end + 1;
    }
    return ERROR_SUCCESS;
}

bool IsFile(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The loader reads import names in the system's ANSI code page.
std::wstring FromAnsi(const std::string& text) {
    const int chars = ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (chars <= 0) return {};
    std::wstring wide(static_cast<size_t>(chars), L'\0');
    if (::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &wide[0], chars) != chars)
        return {};
    return wide;
}

std::wstring SearchedFolders(const WinlogonSearch& search) {
    std::wstring list;
    for (const std::wstring& folder : search.directories) list += (list.empty() ? L"" : L"; ") + folder;
    return list;
}

}  // namespace

DWORD ReadWinlogonSearch(WinlogonSearch& search, const char*& failedCall) {
    search = WinlogonSearch();
    wchar_t system[MAX_PATH + 1] = {};
    wchar_t windows[MAX_PATH + 1] = {};
    UINT chars = ::GetSystemDirectoryW(system, MAX_PATH + 1);
    if (chars == 0 || chars > MAX_PATH) {
        failedCall = "GetSystemDirectoryW";
        return chars == 0 ? ::GetLastError() : ERROR_BUFFER_OVERFLOW;
    }
    // The system's Windows folder, not a terminal-server user's private one.
    const UINT windowsChars = ::GetSystemWindowsDirectoryW(windows, MAX_PATH + 1);
    if (windowsChars == 0 || windowsChars > MAX_PATH) {
        failedCall = "GetSystemWindowsDirectoryW";
        return windowsChars == 0 ? ::GetLastError() : ERROR_BUFFER_OVERFLOW;
    }
    const std::wstring windowsFolder(windows, windowsChars);
    // winlogon.exe's folder, its current folder and the system folder are one.
    search.directories = {std::wstring(system, chars), windowsFolder + L"\\system", windowsFolder};
    DWORD result = ReadKnownDlls(search.knownDlls, failedCall);
    std::vector<std::wstring> folders = search.directories;
    if (result == ERROR_SUCCESS) result = ReadMachinePath(folders, failedCall);
    if (result != ERROR_SUCCESS) return result;
    // A folder searched twice is looked at once, where it first comes.
    search.directories.clear();
    for (const std::wstring& folder : folders) {
        bool seen = false;
        for (const std::wstring& earlier : search.directories) seen = seen || ::lstrcmpiW(earlier.c_str(), folder.c_str()) == 0;
        if (!seen) search.directories.push_back(folder);
    }
    return ERROR_SUCCESS;
}

std::wstring UnresolvedImport(const std::vector<std::string>& imports, const WinlogonSearch& search) {
    for (const std::string& import : imports) {
        const std::wstring name = FromAnsi(import);
        if (name.empty()) return L"a login module that imports a DLL whose name cannot be read";
        bool known = false;
        for (const std::wstring& knownDll : search.knownDlls) known = known || ::lstrcmpiW(knownDll.c_str(), name.c_str()) == 0;
        if (known) continue;
        std::wstring found;
        if (name.find_first_of(L"\\/") != std::wstring::npos) {
            if (IsFile(name)) found = name;
        } else {
            for (const std::wstring& folder : search.directories) {
                if (IsFile(folder + L"\\" + name)) {
                    found = folder + L"\\" + name;
                    break;
                }
            }
        }
        if (found.empty())
            return L"a login module that imports " + name + L", which is neither a KnownDLL nor found on the search path "
                   L"Winlogon uses (" + SearchedFolders(search) + L")";
        // The loader takes the first file it finds, and stops there if that one is no x64 DLL.
        const ImageFinding finding = InspectDllImage(found);
        if (finding.problem != ImageProblem::None) {
            const std::string words = ImageProblemWords(finding);
            return L"a login module that imports " + name + L", and the one Winlogon would load, " + found + L", is " +
                   std::wstring(words.begin(), words.end());
        }
    }
    return {};
}

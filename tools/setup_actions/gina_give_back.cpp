#include "tools/setup_actions/gina_give_back.h"

#include <cstdio>

#include "common/gina_image.h"
#include "common/handles.h"
#include "tools/setup_actions/hex_text.h"
#include "tools/setup_actions/winlogon_search.h"

const wchar_t kWinlogonKey[] = L"Software\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon";
const wchar_t kInstallerMarksKey[] = L"Software\\Vyn Security\\Installer";

namespace {

constexpr wchar_t kGinaValue[] = L"GinaDLL";

std::wstring Widen(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

// The failure of a system call, in the form the module's own log uses.
std::wstring SystemCallFailure(const char* name, DWORD code) {
    char line[128];
    std::snprintf(line, sizeof line, "ERROR: Failure in system call '%s' (%lu)", name, static_cast<unsigned long>(code));
    return Widen(line);
}

// The text of a string value up to its first NUL, as a reader of the
// registry sees it; empty for any other type.
std::wstring Text(const RawValue& value) {
    if (value.type != REG_SZ && value.type != REG_EXPAND_SZ) return {};
    std::wstring text(value.data.size() / sizeof(wchar_t), L'\0');
    if (!text.empty()) value.data.copy(reinterpret_cast<char*>(&text[0]), text.size() * sizeof(wchar_t));
    return text.substr(0, text.find(L'\0'));
}

// The file a string value makes Winlogon load: environment strings of a
// REG_EXPAND_SZ expanded, ".dll" added to a name without an extension as
// LoadLibrary does, and a bare file name found in the system folder, where
// winlogon.exe itself lives and LoadLibrary looks first. Empty when it cannot
// be told.
std::wstring LoadedFile(const RawValue& value) {
    std::wstring path = Text(value);
    if (path.empty()) return {};
    if (value.type == REG_EXPAND_SZ) {
        const DWORD chars = ::ExpandEnvironmentStringsW(path.c_str(), nullptr, 0);
        if (chars == 0) return {};
        std::wstring expanded(chars, L'\0');
        if (::ExpandEnvironmentStringsW(path.c_str(), &expanded[0], chars) != chars) return {};
        path = expanded.substr(0, expanded.find(L'\0'));
    }
    path = LoaderFileName(path);
    if (path.find_first_of(L"\\/") == std::wstring::npos) {
        wchar_t system[MAX_PATH + 1] = {};
        const UINT chars = ::GetSystemDirectoryW(system, MAX_PATH + 1);
        if (chars == 0 || chars > MAX_PATH) return {};
        path = std::wstring(system, chars) + L"\\" + path;
    }
    return path;
}

// The value as a log line shows it.
std::wstring Shown(const RawValue& value) {
    if (value.type == REG_SZ || value.type == REG_EXPAND_SZ) return Text(value);
    return L"a value of registry type " + std::to_wstring(value.type);
}

bool NamesModule(const RawValue& value, const std::wstring& module) {
    const std::wstring file = LoadedFile(value);
    return !file.empty() && ::lstrcmpiW(file.c_str(), module.c_str()) == 0;
}

// Why the replaced module is not given back; empty when it may be.
std::wstring Unloadable(const GinaState& state) {
    if (state.previous.type != REG_SZ && state.previous.type != REG_EXPAND_SZ)
        return L"not a file name (registry type " + std::to_wstring(state.previous.type) + L")";
    const std::wstring file = LoadedFile(state.previous);
    if (file.empty()) return L"not a file name";
    // Its file is removed by this very uninstall.
    if (::lstrcmpiW(file.c_str(), state.module.c_str()) == 0) return L"this module itself";
    const ImageFinding finding = InspectGinaImage(file);
    if (finding.problem != ImageProblem::None) return Widen(ImageProblemWords(finding));
    // Sound headers are not enough: another vendor's uninstaller may have
    // taken the DLLs the module needs, and Winlogon would then not start.
    WinlogonSearch search;
    const char* failedCall = "";
    const DWORD error = ReadWinlogonSearch(search, failedCall);
    if (error != ERROR_SUCCESS)
        return L"a login module whose imported DLLs cannot be looked for (" + SystemCallFailure(failedCall, error) + L")";
    return UnresolvedImport(finding.imports, search);
}

DWORD SetGina(const RawValue& value, const std::function<void(const std::wstring&)>& say) {
    unique_hkey winlogon;
    LONG result = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kWinlogonKey, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, winlogon.put());
    if (result != ERROR_SUCCESS) {
        winlogon.release();
        say(SystemCallFailure("RegOpenKeyExW", static_cast<DWORD>(result)));
        return static_cast<DWORD>(result);
    }
    result = ::RegSetValueExW(winlogon.get(), kGinaValue, 0, value.type,
                              reinterpret_cast<const BYTE*>(value.data.data()), static_cast<DWORD>(value.data.size()));
    if (result != ERROR_SUCCESS) say(SystemCallFailure("RegSetValueExW", static_cast<DWORD>(result)));
    return static_cast<DWORD>(result);
}

DWORD DeleteGina(const std::function<void(const std::wstring&)>& say) {
    unique_hkey winlogon;
    LONG result = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kWinlogonKey, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, winlogon.put());
    if (result == ERROR_FILE_NOT_FOUND) {
        winlogon.release();
        return ERROR_SUCCESS;
    }
    if (result != ERROR_SUCCESS) {
        winlogon.release();
        say(SystemCallFailure("RegOpenKeyExW", static_cast<DWORD>(result)));
        return static_cast<DWORD>(result);
    }
    result = ::RegDeleteValueW(winlogon.get(), kGinaValue);
    if (result == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
    if (result != ERROR_SUCCESS) say(SystemCallFailure("RegDeleteValueW", static_cast<DWORD>(result)));
    return static_cast<DWORD>(result);
}

// "" for a missing value, "<type>:<hex bytes>" otherwise.
void AppendValue(std::wstring& out, const RawValue& value) {
    if (!value.present) return;
    out += std::to_wstring(value.type) + L":";
    AppendHex(out, value.data.data(), value.data.size());
}

bool ParseValue(const std::wstring& field, RawValue& value) {
    value = RawValue();
    if (field.empty()) return true;
    const size_t colon = field.find(L':');
    if (colon == 0 || colon == std::wstring::npos || colon > 10 ||
        field.find_first_not_of(L"0123456789") != colon)
        return false;
    value.present = true;
    value.type = static_cast<DWORD>(std::stoul(field.substr(0, colon)));
    return FromHex(field.substr(colon + 1), value.data);
}

}  // namespace

LONG ReadMachineValue(const wchar_t* key, const wchar_t* name, RawValue& value) {
    value = RawValue();
    unique_hkey opened;
    const LONG result =
        ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, opened.put());
    if (result != ERROR_SUCCESS) {
        opened.release();
        return result == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : result;
    }
    return ReadKeyValue(opened.get(), name, value);
}

LONG ReadKeyValue(HKEY key, const wchar_t* name, RawValue& value) {
    value = RawValue();
    DWORD bytes = 0;
    // The value may grow between the two calls: ask again with the new size.
    for (;;) {
        std::string data(bytes, '\0');
        DWORD type = REG_NONE, size = bytes;
        const LONG result = ::RegQueryValueExW(key, name, nullptr, &type,
                                               bytes ? reinterpret_cast<BYTE*>(&data[0]) : nullptr, &size);
        if (result == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
        if (result == ERROR_MORE_DATA || (result == ERROR_SUCCESS && bytes == 0 && size != 0)) {
            bytes = size;
            continue;
        }
        if (result != ERROR_SUCCESS) return result;
        data.resize(size);
        value.present = true;
        value.type = type;
        value.data = data;
        return ERROR_SUCCESS;
    }
}

std::wstring RegistryRowData(const RawValue& value) {
    const std::wstring text = Text(value);
    if (text.empty()) return text;
    if (value.type == REG_EXPAND_SZ) return L"#%" + text;
    return text[0] == L'#' ? L"#" + text : text;
}

std::wstring EncodeGinaState(const GinaState& state) {
    std::wstring text;
    AppendHex(text, state.module.data(), state.module.size() * sizeof(wchar_t));
    text += L";";
    AppendValue(text, state.gina);
    text += L";";
    AppendValue(text, state.previous);
    text += L";";
    AppendHex(text, state.recordDistrust.data(), state.recordDistrust.size());
    return text;
}

bool DecodeGinaState(const std::wstring& text, GinaState& state) {
    const size_t first = text.find(L';');
    const size_t second = first == std::wstring::npos ? first : text.find(L';', first + 1);
    const size_t third = second == std::wstring::npos ? second : text.find(L';', second + 1);
    if (third == std::wstring::npos || text.find(L';', third + 1) != std::wstring::npos) return false;
    std::string module;
    if (!FromHex(text.substr(0, first), module) || module.empty() || module.size() % sizeof(wchar_t) != 0) return false;
    state.module.assign(reinterpret_cast<const wchar_t*>(module.data()), module.size() / sizeof(wchar_t));
    return ParseValue(text.substr(first + 1, second - first - 1), state.gina) &&
           ParseValue(text.substr(second + 1, third - second - 1), state.previous) &&
           FromHex(text.substr(third + 1), state.recordDistrust);
}

DWORD ApplyGinaGiveBack(const GinaState& state, const std::function<void(const std::wstring&)>& say) {
    if (!state.gina.present) {
        say(L"GinaDLL is not set: left as it is.");
        return ERROR_SUCCESS;
    }
    if (!NamesModule(state.gina, state.module)) {
        say(L"GinaDLL names " + Shown(state.gina) + L", not this module: left as it is.");
        return SetGina(state.gina, say);
    }
    // Reported whatever the key holds: read as itself, a link, or a key that
    // keeps the installer out, shows no record at all.
    if (!state.recordDistrust.empty()) {
        say(L"GinaDLL named this module; the record of the login module it replaced is not trusted: " +
            Widen(state.recordDistrust) + L": not given back, GinaDLL deleted, Winlogon loads msgina.dll.");
        return DeleteGina(say);
    }
    if (!state.previous.present) {
        say(L"GinaDLL named this module and no login module was replaced at install: GinaDLL deleted, "
            L"Winlogon loads msgina.dll.");
        return DeleteGina(say);
    }
    const std::wstring why = Unloadable(state);
    if (!why.empty()) {
        say(L"GinaDLL named this module; the login module it replaced, " + Shown(state.previous) + L", is " + why +
            L": not given back, GinaDLL deleted, Winlogon loads msgina.dll.");
        return DeleteGina(say);
    }
    say(L"GinaDLL named this module: the login module it replaced, " + Text(state.previous) +
        L", is given back" + (state.previous.type == REG_EXPAND_SZ ? L" (REG_EXPAND_SZ)." : L"."));
    return SetGina(state.previous, say);
}

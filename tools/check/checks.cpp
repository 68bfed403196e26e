#include <winsock2.h>

#include "tools/check/checks.h"

#include <cstdlib>
#include <exception>

#include "common/handles.h"
#include "common/strings.h"
#include "config/settings.h"
#include "diag/errors.h"
#include "diag/log.h"
#include "tools/check/acl.h"
#include "common/gina_image.h"
#include "tools/check/words.h"

namespace {

constexpr wchar_t kWinlogonKey[] = L"Software\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon";
constexpr wchar_t kEventSourceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Vyn Security";

std::string HklmName(const char* path) { return std::string("HKLM\\") + path; }

std::string TypeName(DWORD type) {
    switch (type) {
        case REG_SZ: return "REG_SZ";
        case REG_EXPAND_SZ: return "REG_EXPAND_SZ";
        case REG_BINARY: return "REG_BINARY";
        case REG_DWORD: return "REG_DWORD";
        case REG_MULTI_SZ: return "REG_MULTI_SZ";
        case REG_QWORD: return "REG_QWORD";
        default: return "type " + std::to_string(type);
    }
}

std::string Reason(const SettingReading& reading, const SettingInfo& info) {
    switch (reading.state) {
        case ValueState::Absent: return "absent";
        case ValueState::WrongType: return "wrong type (" + TypeName(reading.type) + ", expected " + TypeName(info.type) + ")";
        case ValueState::Empty: return "empty";
        case ValueState::TooLong: return "too long (more than " + std::to_string(kMaxSettingChars) + " characters)";
        case ValueState::BadSize: return "wrong size (a REG_DWORD must hold 4 bytes)";
        case ValueState::Usable: return "usable";
    }
    return "unusable";
}

// A port after the host is what the module cuts off with strtol and keeps the
// low 16 bits of: anything but 1 to 65535 in plain digits is not what the
// administrator meant.
bool PortTextProblem(const std::string& hostValue, std::string& portText) {
    const size_t colon = hostValue.find(':');
    if (colon == std::string::npos) return false;
    portText = hostValue.substr(colon + 1);
    if (portText.empty() || portText.size() > 5) return true;
    for (const char c : portText)
        if (c < '0' || c > '9') return true;
    const long value = std::strtol(portText.c_str(), nullptr, 10);
    return value < 1 || value > 65535;
}

// A switch is on when non-zero; Debug and the two per-logon flags only when 1.
bool SwitchOn(const SettingInfo& info, DWORD value) {
    const bool exactlyOne = info.use == SettingUse::ReadEachTime || std::string(info.name) == "Debug";
    return exactlyOne ? value == 1 : value != 0;
}

const char* OnOff(bool on) { return on ? "on" : "off"; }

void ReportRequired(Report& report, const SettingInfo& info, const SettingReading& reading, const char* where) {
    const std::string name = std::string("settings.") + info.name;
    const std::string label = std::string(info.name) + where + ": ";
    if (reading.state != ValueState::Usable) {
        report.Add(name, Status::Fail, label + Reason(reading, info));
        return;
    }
    if (info.secret) {
        // Never the value: its length is all that tells a truncated paste apart.
        report.Add(name, Status::Ok, label + "present, " + std::to_string(reading.text.size()) + " characters");
        return;
    }
    if (std::string(info.name) == "Host") {
        std::string portText;
        if (PortTextProblem(reading.text, portText)) {
            report.Add(name, Status::Fail, label + "bad port (\"" + portText + "\" in \"" + reading.text + "\")");
            return;
        }
        std::string host = reading.text;
        const uint16_t port = SplitHostPort(host);
        if (host.empty()) {
            report.Add(name, Status::Fail, label + "empty host name before the port");
            return;
        }
        report.Add(name, Status::Ok, label + host + ", port " + std::to_string(port));
        return;
    }
    report.Add(name, Status::Ok, label + reading.text);
}

// One DWORD setting: its number and what the module makes of it (`effective`,
// in words), or why it is unusable and what the module uses instead. Only
// "Tls" can hold a number the module does not know (`known` false).
void ReportDword(Report& report, const SettingInfo& info, const SettingReading& reading, const char* where,
                 const std::string& effective, bool known = true) {
    const std::string name = std::string("settings.") + info.name;
    const std::string label = std::string(info.name) + where + ": ";
    const std::string used = "the module uses " + effective;
    if (reading.state == ValueState::Usable && known) {
        report.Add(name, Status::Ok, label + std::to_string(reading.number) + " (" + effective + ")");
    } else if (reading.state == ValueState::Usable) {
        report.Add(name, Status::Warn, label + std::to_string(reading.number) + " is not 0, 1 or 2; " + used);
    } else if (reading.state == ValueState::Absent) {
        report.Add(name, Status::Info, label + "absent; " + used);
    } else {
        report.Add(name, Status::Warn, label + Reason(reading, info) + "; " + used);
    }
}

const char* TlsModeWords(TlsMode mode) {
    switch (mode) {
        case TlsMode::SystemOnly: return "the system's TLS only";
        case TlsMode::ModuleOnly: return "the module's own TLS client only";
        default: return "automatic: the system's TLS first, the module's own when it cannot connect";
    }
}

// Every value of one key as the module reads it. `effective` gives the value
// the module ends up with for the switches (for the per-logon flags this may
// come from the other key).
void ReportKey(Report& report, HKEY key, const char* where, const SessionConfig* used) {
    for (const SettingInfo& info : kSettings) {
        const SettingReading reading = InspectSetting(key, info);
        if (info.use == SettingUse::Required) {
            ReportRequired(report, info, reading, where);
            continue;
        }
        const std::string n = info.name;
        if (n == "Tls") {
            const TlsMode mode = used != nullptr                          ? used->tls
                                 : reading.state == ValueState::Usable ? TlsModeFrom(reading.number)
                                                                       : TlsMode::Automatic;
            ReportDword(report, info, reading, where, TlsModeWords(mode), reading.number <= 2);
            continue;
        }
        bool effective;
        if (info.use == SettingUse::ReadEachTime) {
            effective = ReadRegistryFlag(n);
        } else if (used != nullptr && n == "FailOpen") {
            effective = used->failOpen;
        } else if (used != nullptr && n == "AutoPush") {
            effective = used->autoPush;
        } else if (used != nullptr && n == "local_ip_fallback") {
            effective = used->localIpFallback;
        } else if (used != nullptr && n == "Debug") {
            effective = gDebugLogging;
        } else {
            effective = reading.state == ValueState::Usable ? SwitchOn(info, reading.number) : info.fallback != 0;
        }
        ReportDword(report, info, reading, where, OnOff(effective));
    }
}

std::string FileVersion(const std::wstring& path) {
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (size == 0) return std::string();
    std::string data(size, '\0');
    if (!::GetFileVersionInfoW(path.c_str(), 0, size, data.data())) return std::string();
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (!::VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) || fixed == nullptr)
        return std::string();
    return std::to_string(HIWORD(fixed->dwFileVersionMS)) + "." + std::to_string(LOWORD(fixed->dwFileVersionMS)) +
           "." + std::to_string(HIWORD(fixed->dwFileVersionLS)) + "." + std::to_string(LOWORD(fixed->dwFileVersionLS));
}

// The InternalName of the file's version block (first translation).
std::wstring InternalName(const std::wstring& path) {
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (size == 0) return std::wstring();
    std::string data(size, '\0');
    if (!::GetFileVersionInfoW(path.c_str(), 0, size, data.data())) return std::wstring();
    struct Translation {
        WORD language, codePage;
    }* translation = nullptr;
    UINT length = 0;
    if (!::VerQueryValueW(data.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation),
                          &length) ||
        length < sizeof(Translation))
        return std::wstring();
    wchar_t query[64];
    wsprintfW(query, L"\\StringFileInfo\\%04x%04x\\InternalName", translation->language, translation->codePage);
    wchar_t* text = nullptr;
    if (!::VerQueryValueW(data.data(), query, reinterpret_cast<void**>(&text), &length) || text == nullptr)
        return std::wstring();
    return text;
}

bool FileExists(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Where Winlogon's LoadLibrary finds a name: as given when it holds a
// directory, else in the system directory (Winlogon's own).
std::wstring ResolveModulePath(const std::wstring& name) {
    if (name.find(L'\\') != std::wstring::npos || name.find(L'/') != std::wstring::npos) return name;
    wchar_t system[MAX_PATH + 1] = {};
    const UINT chars = ::GetSystemDirectoryW(system, MAX_PATH + 1);
    if (chars == 0 || chars > MAX_PATH) return name;
    return std::wstring(system) + L"\\" + name;
}

bool QueryText(HKEY key, const wchar_t* name, std::wstring& text) {
    DWORD type = 0;
    DWORD size = 0;
    if (::RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return false;
    if (type != REG_SZ && type != REG_EXPAND_SZ) return false;
    std::wstring buffer(size / sizeof(wchar_t) + 1, L'\0');
    if (::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &size) != ERROR_SUCCESS)
        return false;
    buffer.resize(wcsnlen(buffer.c_str(), buffer.size()));
    if (type == REG_EXPAND_SZ) {
        wchar_t expanded[2048] = {};
        const DWORD chars = ::ExpandEnvironmentStringsW(buffer.c_str(), expanded, 2048);
        if (chars != 0 && chars <= 2048) buffer = expanded;
    }
    text = buffer;
    return true;
}

bool HoldsSecret(HKEY key) {
    for (const SettingInfo& info : kSettings)
        if (info.secret && InspectSetting(key, info).state != ValueState::Absent) return true;
    return false;
}

// Whether SYSTEM may read the values of HKLM\path, judged from the key's
// DACL. A DACL the tool cannot read leaves the question open: the key is then
// taken as readable and the exposure check says why it could not tell.
bool SystemMayReadKey(const char* path) {
    std::vector<BYTE> descriptor;
    DWORD error = 0;
    if (!ReadKeySecurity(path, descriptor, error)) return true;
    return SystemMayAccess(descriptor.data(), KEY_QUERY_VALUE, kKeyMapping);
}

}  // namespace

SettingsOutcome CheckSettings(Report& report) {
    SettingsOutcome outcome;
    // The administrator's view, as LoadConfiguration reads it in this process...
    SessionConfig ownView;
    const char* ownPath = ownView.LoadFromSettingsKeys();
    // ...and SYSTEM's: the same precedence over the keys SYSTEM may read.
    for (const char* path : {kPolicySettingsKey, kNormalSettingsKey}) {
        unique_hkey key = OpenSettingsKey(path);
        if (!key) continue;
        if (!SystemMayReadKey(path)) {
            report.Add("settings.system", Status::Warn,
                       "settings: SYSTEM may not read " + HklmName(path) +
                           ": the module, which runs as SYSTEM, cannot use this key");
            continue;
        }
        SessionConfig config;
        if (outcome.keyPath == nullptr && config.ReadConfigurationKey(key.release())) {
            outcome.keyPath = path;
            outcome.config = config;
        }
    }
    outcome.complete = outcome.keyPath != nullptr;
    if (ownPath != nullptr && (!outcome.complete || std::string(ownPath) != outcome.keyPath))
        report.Add("settings.system", Status::Warn,
                   "settings: this account reads a complete configuration from " + HklmName(ownPath) +
                       ", but SYSTEM " +
                       (outcome.complete ? "uses " + HklmName(outcome.keyPath) : std::string("finds none")) +
                       ": what follows is SYSTEM's view");
    if (outcome.complete) {
        const char* which = outcome.keyPath == std::string(kPolicySettingsKey) ? "the policy key " : "the normal key ";
        report.Add("settings.key", Status::Ok, "settings: the module uses " + std::string(which) + HklmName(outcome.keyPath));
        unique_hkey key = OpenSettingsKey(outcome.keyPath);
        if (key) ReportKey(report, key.get(), "", &outcome.config);
        return outcome;
    }
    report.Add("settings.key", Status::Fail,
               "settings: no key holds a complete configuration (Host, IKey and SKey): every logon and unlock "
               "passes unchallenged");
    bool any = false;
    for (const char* path : {kPolicySettingsKey, kNormalSettingsKey}) {
        unique_hkey key = OpenSettingsKey(path);
        if (!key) continue;
        any = true;
        const std::string where = std::string(" in ") + HklmName(path);
        ReportKey(report, key.get(), where.c_str(), nullptr);
    }
    if (!any)
        report.Add("settings.keys", Status::Info,
                   "settings: neither " + HklmName(kPolicySettingsKey) + " nor " + HklmName(kNormalSettingsKey) +
                       " exists");
    return outcome;
}

ExposureOutcome CheckSecretExposure(Report& report, const SettingsOutcome& settings) {
    ExposureOutcome outcome;
    std::vector<std::string>& exposed = outcome.readers;
    for (const char* path : {kPolicySettingsKey, kNormalSettingsKey}) {
        // The key in use, and any other key that holds a secret key as well.
        unique_hkey key = OpenSettingsKey(path);
        if (!key) continue;
        const bool inUse = settings.keyPath != nullptr && settings.keyPath == std::string(path);
        if (!inUse && !HoldsSecret(key.get())) continue;
        std::vector<BYTE> descriptor;
        DWORD error = 0;
        if (!ReadKeySecurity(path, descriptor, error)) {
            report.Add("exposure.SKey", Status::Warn,
                       "secret key: the security of " + HklmName(path) + " cannot be read (error " +
                           std::to_string(error) + ")");
            continue;
        }
        const std::vector<std::string> readers = UnexpectedReaders(descriptor.data(), KEY_QUERY_VALUE);
        if (readers.empty()) {
            report.Add("exposure.SKey", Status::Ok,
                       "secret key: only SYSTEM, Administrators and CREATOR OWNER may read " + HklmName(path));
            continue;
        }
        std::string names;
        for (const std::string& r : readers) {
            names += (names.empty() ? "" : ", ") + r;
            bool seen = false;
            for (const std::string& e : exposed) seen = seen || e == r;
            if (!seen) exposed.push_back(r);
        }
        report.Add("exposure.SKey", Status::Warn, "secret key: " + HklmName(path) + " may be read by " + names);
        outcome.keys.push_back(HklmName(path));
        outcome.policyKey = outcome.policyKey || path == std::string(kPolicySettingsKey);
    }
    return outcome;
}

namespace {

std::string Joined(const std::vector<std::string>& names) {
    std::string joined;
    for (const std::string& n : names) joined += (joined.empty() ? "" : ", ") + n;
    return joined;
}

// Who controls the log folder: its owner and whoever may add, remove or
// replace what is in it, or change its security. The module takes back a
// folder that lets in anyone but SYSTEM and the Administrators each time it
// loads; the private entries in another order are left as they are.
void CheckLogFolderControl(Report& report, const std::string& name, PSECURITY_DESCRIPTOR descriptor) {
    bool administrators = false;
    const std::string owner = OwnerName(descriptor, administrators);
    // Reported, never done here: the module itself takes the folder back.
    if (!administrators) {
        report.Add("exposure.log-folder-owner", Status::Warn,
                   "log folder: owned by " + owner +
                       ", not the Administrators (the module will take the folder back at load)");
    } else if (LogDirectoryLetsOthersIn(descriptor)) {
        report.Add("exposure.log-folder-owner", Status::Warn,
                   "log folder: owned by " + owner +
                       ", but its access list is not the module's own (the module will take the folder back at load)");
    } else {
        report.Add("exposure.log-folder-owner", Status::Ok, "log folder: owned by " + owner);
    }
    constexpr ACCESS_MASK kChanges = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_DELETE_CHILD | DELETE | WRITE_DAC |
                                     WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
    const std::vector<std::string> writers = UnexpectedGrantees(descriptor, kChanges);
    if (writers.empty()) {
        report.Add("exposure.log-folder-writers", Status::Ok,
                   "log folder: only SYSTEM, Administrators and CREATOR OWNER may write to " + name);
    } else {
        report.Add("exposure.log-folder-writers", Status::Warn,
                   "log folder: " + name + " may be written to by " + Joined(writers));
    }
}

// The log file's link count: a second link (or a reparse point) makes the
// module refuse the file and log to the debugger output only.
void CheckLogFileLinks(Report& report, const std::wstring& path) {
    const std::string name = ToUtf8(path);
    const unique_hfile file(::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!file || !::GetFileInformationByHandle(file.get(), &info)) {
        const DWORD error = ::GetLastError();
        report.Add("exposure.log-links",
                   error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? Status::Info : Status::Warn,
                   "log file: " + name + ": not readable (error " + std::to_string(error) + ")");
        return;
    }
    const std::string links = std::to_string(info.nNumberOfLinks) + (info.nNumberOfLinks == 1 ? " link" : " links");
    if (const char* why = LogPathRefusal(info)) {
        report.Add("exposure.log-links", Status::Warn,
                   "log file: " + name + " has " + links + ": refused (" + why +
                       "), the log goes to the debugger output only");
        return;
    }
    report.Add("exposure.log-links", Status::Ok, "log file: " + name + " has " + links);
}

}  // namespace

void CheckLogFolder(Report& report) {
    wchar_t folder[520] = {};
    if (FAILED(GetLogDirectory(folder))) {
        report.Add("exposure.log-folder", Status::Warn, "log folder: the common application data folder is unknown");
        return;
    }
    const std::string name = ToUtf8(folder);
    // The folder itself, never what a reparse point leads to: the module
    // refuses such a folder, and so its security does not matter.
    const DWORD attributes = ::GetFileAttributesW(folder);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
            report.Add("exposure.log-folder", Status::Info,
                       "log folder: " + name + " does not exist yet: the module will create it at load, for SYSTEM "
                       "and the Administrators only");
            return;
        }
    }
    const unique_hfile handle(::CreateFileW(folder, FILE_READ_ATTRIBUTES,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                            nullptr));
    BY_HANDLE_FILE_INFORMATION info = {};
    if (handle && ::GetFileInformationByHandle(handle.get(), &info)) {
        // Windows reports a reparse point on the handle, Wine (a Unix link)
        // only on the name.
        if (attributes != INVALID_FILE_ATTRIBUTES) info.dwFileAttributes |= attributes & FILE_ATTRIBUTE_REPARSE_POINT;
        if (const char* why = LogPathRefusal(info)) {
            report.Add("exposure.log-folder", Status::Warn,
                       "log folder: " + name + " is refused by the module (" + why +
                           "): the log goes to the debugger output only. Delete it (as an administrator); the "
                           "module creates its own at the next load");
            return;
        }
    }
    std::vector<BYTE> descriptor;
    DWORD error = 0;
    if (!ReadFileSecurity(folder, descriptor, error, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION)) {
        report.Add("exposure.log-folder", error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? Status::Info : Status::Warn,
                   "log folder: " + name + ": security not readable (error " + std::to_string(error) + ")");
        return;
    }
    const std::vector<std::string> readers = UnexpectedReaders(descriptor.data(), FILE_READ_DATA);
    if (readers.empty()) {
        report.Add("exposure.log-folder", Status::Ok,
                   "log folder: only SYSTEM, Administrators and CREATOR OWNER may read " + name);
    } else {
        report.Add("exposure.log-folder", Status::Warn, "log folder: " + name + " may be read by " + Joined(readers));
    }
    CheckLogFolderControl(report, name, descriptor.data());
    CheckLogFileLinks(report, std::wstring(folder) + L"\\vyn.log");
}

namespace {

// What GinaDLL makes of the next start-up. Winlogon loads the named file as
// SYSTEM; anything but this module, as a 64-bit login module SYSTEM may read,
// means logons after the restart get no second factor, or no logon at all.
RegistrationOutcome InspectGinaDll(Report& report, std::wstring& named) {
    const auto broken = [&report](const std::string& line, std::string sentence) {
        report.Add("registration.GinaDLL", Status::Fail, "registration: " + line);
        return RegistrationOutcome{true, std::move(sentence)};
    };
    unique_hkey key;
    std::wstring value;
    const bool present =
        ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kWinlogonKey, 0, KEY_QUERY_VALUE, key.put()) == ERROR_SUCCESS &&
        QueryText(key.get(), L"GinaDLL", value) && !value.empty();
    if (!present)
        return broken("GinaDLL is not set: msgina is in charge of the logon (the module is not registered)",
                      "GinaDLL is not set: after the restart msgina alone is in charge and logons get no second "
                      "factor. Register the module (install the package or run regsvr32) first.");
    const std::wstring path = ResolveModulePath(value);
    const std::string shown = ToUtf8(path);
    named = path;
    if (!FileExists(path))
        return broken("GinaDLL names " + shown + ", which does not exist: Winlogon would not start",
                      "GinaDLL names a file that does not exist: Winlogon would not start after a restart. Correct "
                      "or delete GinaDLL before restarting.");
    const ImageFinding image = InspectGinaImage(path);
    if (image.problem != ImageProblem::None)
        return broken("GinaDLL names " + shown + ", which is " + ImageProblemWords(image) +
                          ": Winlogon would not start",
                      "GinaDLL names a file that is not a 64-bit login module: Winlogon would not start after a "
                      "restart. Correct GinaDLL before restarting.");
    std::vector<BYTE> descriptor;
    DWORD error = 0;
    if (ReadFileSecurity(path, descriptor, error) &&
        !SystemMayAccess(descriptor.data(), FILE_READ_DATA | FILE_EXECUTE, kFileMapping))
        return broken("GinaDLL names " + shown + ", which SYSTEM may not read: Winlogon would not start",
                      "SYSTEM may not read the module GinaDLL names: Winlogon would not start after a restart. Give "
                      "SYSTEM read access before restarting.");
    if (lstrcmpiW(InternalName(path).c_str(), L"VynGina.dll") != 0)
        return broken("GinaDLL names another login module: " + shown,
                      "GinaDLL names another login module: logons after the restart get no second factor from "
                      "this one. Register this module, or leave the other one in charge knowingly.");
    report.Add("registration.GinaDLL", Status::Ok,
               "registration: GinaDLL names this module: " + shown + " (version " + FileVersion(path) + ")");
    return {};
}

void InspectEventSource(Report& report) {
    unique_hkey source;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kEventSourceKey, 0, KEY_QUERY_VALUE, source.put()) != ERROR_SUCCESS) {
        source.release();
        report.Add("registration.event-source", Status::Info,
                   "registration: the \"Vyn Security\" event source is not registered");
        return;
    }
    std::wstring file;
    if (!QueryText(source.get(), L"EventMessageFile", file) || file.empty()) {
        report.Add("registration.event-source", Status::Warn,
                   "registration: the \"Vyn Security\" event source names no message file");
    } else if (!FileExists(file)) {
        report.Add("registration.event-source", Status::Warn,
                   "registration: the \"Vyn Security\" event source's message file " + ToUtf8(file) +
                       " does not exist: its events will not read properly");
    } else {
        report.Add("registration.event-source", Status::Ok,
                   "registration: the \"Vyn Security\" event source uses " + ToUtf8(file));
    }
}

}  // namespace

RegistrationOutcome CheckRegistration(Report& report) {
    std::wstring named;
    RegistrationOutcome outcome = InspectGinaDll(report, named);
    if (!named.empty()) outcome.moduleVersion = FileVersion(named);
    InspectEventSource(report);
    return outcome;
}

#include <winsock2.h>

#include "tools/check/checks.h"

#include <cstdlib>
#include <exception>

#include "auth/envelope.h"
#include "auth/session.h"
#include "common/handles.h"
#include "common/strings.h"
#include "config/settings.h"
#include "diag/errors.h"
#include "diag/log.h"
#include "tools/check/acl.h"
#include "tools/check/certificate.h"
#include "common/gina_image.h"
#include "tools/check/words.h"

namespace {

constexpr wchar_t kWinlogonKey[] = L"Software\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon";
constexpr wchar_t kEventSourceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Vyn Security";
// The bound of every wait of the tool's requests, the same as
// pre-authentication's: a service that accepts and then stays silent is
// reported as timed out rather than holding the administrator's console.
constexpr int32_t kRequestTimeoutSeconds = 10;

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

std::string Milliseconds(DWORD start) { return std::to_string(::GetTickCount() - start) + " ms"; }

// A transport failure in words; for a refused certificate or a failed
// handshake, what a look at the certificate shows.
std::string SecureChannelWords(const CVynAuthSession& session, DWORD code, bool underWine) {
    const std::string number = " (error " + std::to_string(static_cast<unsigned long>(code)) + ")";
    if (!IsSecureChannelFailure(code)) return TransportFailureWords(code, underWine);
    uint32_t policyError = 0;
    const CertificateFinding finding =
        DiagnoseCertificate(session.http.UserAgent(), session.config.host, session.config.port, policyError);
    if (finding == CertificateFinding::NoCertificate || finding == CertificateFinding::Valid) {
        std::string words = "TLS failure: the handshake with the service failed";
        if (finding == CertificateFinding::Valid) words += " (its certificate is valid for this host)";
        return words + number + ". " + kTlsLimitsNote;
    }
    std::string words = CertificateFindingWords(finding, policyError) + number;
    if (finding == CertificateFinding::SignatureNotValidated) words += ". " + std::string(kTlsLimitsNote);
    return words;
}

// What an exchange came to, in the module's terms: only a transport failure or
// a server error (5xx) may fail open; 401 means the keys; any other answer the
// module cannot use (a redirect, which it never follows, another status, an
// envelope it cannot read) is refused at logon whatever FailOpen says.
struct ExchangeResult {
    ServiceAnswer answer = ServiceAnswer::Answered;
    std::string words;
};

// The words of the last transport failure: a ping and a Check that fail alike
// are diagnosed once (a look at the certificate is one more handshake).
struct TransportWords {
    DWORD code = 0;
    std::string words;
};

ExchangeResult Classify(const CVynAuthSession& session, const std::exception_ptr& failure,
                        TransportWords* last = nullptr) {
    try {
        std::rethrow_exception(failure);
    } catch (const CINetException& e) {
        if (last != nullptr && last->code == e.GetErrorCode()) return {ServiceAnswer::Unreachable, last->words};
        std::string words = SecureChannelWords(session, e.GetErrorCode(), RunningUnderWine());
        if (last != nullptr) *last = {e.GetErrorCode(), words};
        return {ServiceAnswer::Unreachable, std::move(words)};
    } catch (const CHttpStatusException& e) {
        const int32_t status = e.GetHttpStatus();
        const std::string number = "HTTP status " + std::to_string(status);
        if (status >= 500 && status <= 599) return {ServiceAnswer::Unreachable, number + " (a server error)"};
        if (status == 401) return {ServiceAnswer::KeysRefused, number + ": the service refused the IKey/SKey pair"};
        if (status >= 300 && status <= 399)
            return {ServiceAnswer::Refused, number + " (a redirect, which the module never follows)"};
        return {ServiceAnswer::Refused, number};
    } catch (const CVynException&) {
        return {ServiceAnswer::Refused, "answer not understood (see the log)"};
    }
}

// One unparameterised request through the module's executor, its answer
// checked as the module checks every envelope.
ExchangeResult Exchange(CVynAuthSession& session, VynOperation operation, TransportWords& last) {
    try {
        session.OpenHttpSession();
        const ParamMap none;
        std::string body;
        session.MakeRequest(operation, none, body, kRequestTimeoutSeconds, TimeoutScope::WholeExchange);
        ParseResponse(body);
        return {};
    } catch (const CVynException&) {
        return Classify(session, std::current_exception(), &last);
    }
}

// Said after a refusal other than the keys', which names its own cause.
const char* RefusalTail(ServiceAnswer answer) {
    return answer == ServiceAnswer::Refused ? ": the module refuses such an answer whatever FailOpen says" : "";
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

// The session the tool's requests go through: the module's product token and
// the settings as read, but never failing open: the tool must see the failure
// that a logon would have hidden behind FailOpen.
void Prepare(CVynAuthSession& session, const SessionConfig& config) {
    session.config = config;
    session.config.failOpen = false;
}

// The client that reached the service for `http`'s last answer, in words.
std::string ClientReached(const CHttpsClient& http) {
    if (http.LastServed() == TlsClientKind::Module)
        return "the module's own TLS client (" + http.Builtin().TlsVersion() + ")";
    return "the system's TLS (WinHTTP)";
}

// With "Tls" = 1 and the system's TLS failing the handshake: whether the
// module's own client completes one with the service, as automatic
// selection would have let it. The Check is made once more through it; its
// answer does not matter, only that the handshake completed.
void ProbeModuleClient(Report& report, const SessionConfig& config, DWORD failure) {
    if (config.tls != TlsMode::SystemOnly || !IsSecureChannelFailure(failure)) return;
    SessionConfig viaModule = config;
    viaModule.tls = TlsMode::ModuleOnly;
    CVynAuthSession probe(kVynProductToken);
    Prepare(probe, viaModule);
    TransportWords ignored;
    Exchange(probe, VynOperation::Check, ignored);
    if (!probe.http.Builtin().HandshakeCompleted()) return;
    report.Add("service.tls", Status::Warn,
               "service: the module's own TLS client connects (" + probe.http.Builtin().TlsVersion() +
                   ") where the system's TLS cannot: set Tls to 0 (automatic) to let logons use it");
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

std::vector<std::string> CheckSecretExposure(Report& report, const SettingsOutcome& settings) {
    std::vector<std::string> exposed;
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
    }
    return exposed;
}

namespace {

std::string Joined(const std::vector<std::string>& names) {
    std::string joined;
    for (const std::string& n : names) joined += (joined.empty() ? "" : ", ") + n;
    return joined;
}

// Who controls the log folder: its owner and whoever may add, remove or
// replace what is in it, or change its security. The module takes back a
// folder whose owner or DACL are not its own each time it loads.
void CheckLogFolderControl(Report& report, const std::string& name, PSECURITY_DESCRIPTOR descriptor) {
    bool administrators = false;
    const std::string owner = OwnerName(descriptor, administrators);
    if (administrators) {
        report.Add("exposure.log-folder-owner", Status::Ok, "log folder: owned by " + owner);
    } else {
        report.Add("exposure.log-folder-owner", Status::Warn,
                   "log folder: owned by " + owner + ", not the Administrators (the module takes it back at load)");
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
RegistrationOutcome InspectGinaDll(Report& report) {
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
    RegistrationOutcome outcome = InspectGinaDll(report);
    InspectEventSource(report);
    return outcome;
}

ServiceAnswer CheckService(Report& report, const SessionConfig& config) {
    CVynAuthSession session(kVynProductToken);
    Prepare(session, config);
    const std::string where = config.host + ":" + std::to_string(config.port);

    // The module never sends a ping: its result is information, and the signed
    // Check that follows decides.
    TransportWords last;
    DWORD start = ::GetTickCount();
    const ExchangeResult ping = Exchange(session, VynOperation::Ping, last);
    if (ping.answer == ServiceAnswer::Answered)
        report.Add("service.ping", Status::Ok, "service: ping of " + where + " answered in " + Milliseconds(start));
    else
        report.Add("service.ping", Status::Warn,
                   "service: ping of " + where + " failed after " + Milliseconds(start) + ": " + ping.words);

    start = ::GetTickCount();
    const ExchangeResult check = Exchange(session, VynOperation::Check, last);
    switch (check.answer) {
        case ServiceAnswer::Answered: break;
        case ServiceAnswer::Unreachable:
            report.Add("service.check", Status::Fail, "service: check failed after " + Milliseconds(start) + ": " + check.words);
            ProbeModuleClient(report, config, last.code);
            return check.answer;
        default:
            report.Add("service.check", Status::Fail,
                       "service: check refused after " + Milliseconds(start) + ": " + check.words +
                           RefusalTail(check.answer));
            return check.answer;
    }
    report.Add("service.check", Status::Ok,
               "service: check answered in " + Milliseconds(start) + ": the service accepts the IKey/SKey pair");
    report.Add("service.tls", Status::Ok, "service: reached through " + ClientReached(session.http));

    // This account's connection succeeded; SYSTEM's depends on the machine's
    // trusted roots alone, which this account's own stores may add to.
    uint32_t policyError = 0;
    const CertificateFinding finding =
        DiagnoseCertificate(session.http.UserAgent(), session.config.host, session.config.port, policyError);
    if (finding == CertificateFinding::Valid || finding == CertificateFinding::NoCertificate) return check.answer;
    report.Add("service.certificate", Status::Fail,
               "service: this account accepts the service's certificate, SYSTEM would not: " +
                   CertificateFindingWords(finding, policyError));
    return ServiceAnswer::Unreachable;
}

ServiceAnswer CheckUser(Report& report, const SessionConfig& config, const std::string& user) {
    CVynAuthSession session(kVynProductToken);
    Prepare(session, config);
    const std::string who = "user " + user + ": ";
    const DWORD start = ::GetTickCount();
    PreauthDecision decision;
    try {
        decision = session.RequestPreauth(user);
    } catch (const CVynException&) {
        const ExchangeResult result = Classify(session, std::current_exception());
        const bool reached = result.answer != ServiceAnswer::Unreachable;
        report.Add("user.preauth", Status::Fail,
                   who + "pre-authentication " + (reached ? "refused: " : "failed: ") + result.words +
                       RefusalTail(result.answer));
        return result.answer;
    }
    const std::string took = " (" + Milliseconds(start) + ")";
    const PreauthVerdict verdict = JudgePreauth(decision);
    switch (verdict.action) {
        case PreauthAction::SecondFactor: {
            std::string text = who + "a second factor is needed";
            if (!decision.defaultFactor.empty()) {
                text += "; default factor: " + decision.defaultFactor;
                if (config.autoPush) text += " (started at once at logon: AutoPush is on)";
            }
            report.Add("user.preauth", Status::Ok, text + took);
            return ServiceAnswer::Answered;
        }
        case PreauthAction::Allow:
            report.Add("user.preauth", Status::Info, who + "allowed without a second factor" + took);
            return ServiceAnswer::Answered;
        case PreauthAction::Refuse:
            break;
    }
    // Enrol and deny are the service's decisions about this account: answers,
    // which say nothing against the machine's readiness.
    if (decision.result == "enroll") {
        report.Add("user.preauth", Status::Warn, who + "must enrol: " + verdict.message + took);
        return ServiceAnswer::Answered;
    }
    if (verdict.kind == AuthenticationDenied) {
        report.Add("user.preauth", Status::Warn, who + "denied: " + verdict.message + took);
        return ServiceAnswer::Answered;
    }
    report.Add("user.preauth", Status::Fail, who + "decision \"" + decision.result + "\" not understood" + took);
    return ServiceAnswer::Refused;
}

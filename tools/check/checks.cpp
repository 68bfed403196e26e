#include <winsock2.h>

#include "tools/check/checks.h"

#include <cstdlib>

#include "auth/envelope.h"
#include "auth/session.h"
#include "common/handles.h"
#include "common/strings.h"
#include "config/settings.h"
#include "diag/errors.h"
#include "diag/log.h"
#include "tools/check/acl.h"
#include "tools/check/certificate.h"
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

// One unparameterised request through the module's executor, its answer
// checked as the module checks every envelope. `failure` is set to the words
// and, for a refusal by HTTP status, `httpStatus` to the status.
bool Exchange(CVynAuthSession& session, VynOperation operation, std::string& failure, int32_t& httpStatus) {
    const bool underWine = RunningUnderWine();
    try {
        session.OpenHttpSession();
        const ParamMap none;
        std::string body;
        session.MakeRequest(operation, none, body, kRequestTimeoutSeconds, TimeoutScope::WholeExchange);
        ParseResponse(body);
        return true;
    } catch (const CINetException& e) {
        failure = SecureChannelWords(session, e.GetErrorCode(), underWine);
    } catch (const CHttpStatusException& e) {
        httpStatus = e.GetHttpStatus();
        failure = "HTTP status " + std::to_string(httpStatus);
    } catch (const CVynException& e) {
        failure = "answer not understood (see the log)";
    }
    return false;
}

// The session the tool's requests go through: the module's product token and
// the settings as read, but never failing open: the tool must see the failure
// that a logon would have hidden behind FailOpen.
void Prepare(CVynAuthSession& session, const SessionConfig& config) {
    session.config = config;
    session.config.failOpen = false;
}

}  // namespace

SettingsOutcome CheckSettings(Report& report) {
    SettingsOutcome outcome;
    outcome.keyPath = outcome.config.LoadFromSettingsKeys();
    outcome.complete = outcome.keyPath != nullptr;
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

void CheckSecretExposure(Report& report, const SettingsOutcome& settings) {
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
        for (const std::string& r : readers) names += (names.empty() ? "" : ", ") + r;
        report.Add("exposure.SKey", Status::Warn, "secret key: " + HklmName(path) + " may be read by " + names);
    }
}

void CheckLogFolder(Report& report) {
    wchar_t folder[520] = {};
    if (FAILED(GetLogDirectory(folder))) {
        report.Add("exposure.log-folder", Status::Warn, "log folder: the common application data folder is unknown");
        return;
    }
    const std::string name = ToUtf8(folder);
    std::vector<BYTE> descriptor;
    DWORD error = 0;
    if (!ReadFileSecurity(folder, descriptor, error)) {
        report.Add("exposure.log-folder", error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? Status::Info : Status::Warn,
                   "log folder: " + name + ": security not readable (error " + std::to_string(error) + ")");
        return;
    }
    const std::vector<std::string> readers = UnexpectedReaders(descriptor.data(), FILE_READ_DATA);
    if (readers.empty()) {
        report.Add("exposure.log-folder", Status::Ok,
                   "log folder: only SYSTEM, Administrators and CREATOR OWNER may read " + name);
        return;
    }
    std::string names;
    for (const std::string& r : readers) names += (names.empty() ? "" : ", ") + r;
    report.Add("exposure.log-folder", Status::Warn,
               "log folder: " + name + " may be read by " + names);
}

bool CheckRegistration(Report& report) {
    bool broken = false;
    {
        unique_hkey key;
        std::wstring value;
        const bool present =
            ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kWinlogonKey, 0, KEY_QUERY_VALUE, key.put()) == ERROR_SUCCESS &&
            QueryText(key.get(), L"GinaDLL", value) && !value.empty();
        if (!present) {
            report.Add("registration.GinaDLL", Status::Info,
                       "registration: GinaDLL is not set: msgina is in charge of the logon (the module is not registered)");
        } else {
            const std::wstring path = ResolveModulePath(value);
            const std::string shown = ToUtf8(path);
            if (!FileExists(path)) {
                broken = true;
                report.Add("registration.GinaDLL", Status::Fail,
                           "registration: GinaDLL names " + shown +
                               ", which does not exist: Winlogon would not start");
            } else if (lstrcmpiW(InternalName(path).c_str(), L"VynGina.dll") == 0) {
                report.Add("registration.GinaDLL", Status::Ok,
                           "registration: GinaDLL names this module: " + shown + " (version " + FileVersion(path) + ")");
            } else {
                report.Add("registration.GinaDLL", Status::Info,
                           "registration: GinaDLL names another login module: " + shown);
            }
        }
    }
    unique_hkey source;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kEventSourceKey, 0, KEY_QUERY_VALUE, source.put()) != ERROR_SUCCESS) {
        source.release();
        report.Add("registration.event-source", Status::Info,
                   "registration: the \"Vyn Security\" event source is not registered");
        return broken;
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
    return broken;
}

ServiceOutcome CheckService(Report& report, const SessionConfig& config) {
    ServiceOutcome outcome;
    CVynAuthSession session(kVynProductToken);
    Prepare(session, config);
    const std::string where = config.host + ":" + std::to_string(config.port);

    std::string failure;
    int32_t status = 0;
    DWORD start = ::GetTickCount();
    if (!Exchange(session, VynOperation::Ping, failure, status)) {
        outcome.pingFailed = true;
        report.Add("service.ping", Status::Fail, "service: ping of " + where + " failed after " + Milliseconds(start) + ": " + failure);
        return outcome;
    }
    report.Add("service.ping", Status::Ok, "service: ping of " + where + " answered in " + Milliseconds(start));

    start = ::GetTickCount();
    if (!Exchange(session, VynOperation::Check, failure, status)) {
        if (status == 401) {
            outcome.keysRefused = true;
            report.Add("service.check", Status::Fail,
                       "service: check refused after " + Milliseconds(start) +
                           ": HTTP status 401: the service refused the IKey/SKey pair");
        } else {
            outcome.checkFailed = true;
            report.Add("service.check", Status::Fail, "service: check failed after " + Milliseconds(start) + ": " + failure);
        }
        return outcome;
    }
    report.Add("service.check", Status::Ok,
               "service: check answered in " + Milliseconds(start) + ": the service accepts the IKey/SKey pair");
    return outcome;
}

void CheckUser(Report& report, const SessionConfig& config, const std::string& user) {
    CVynAuthSession session(kVynProductToken);
    Prepare(session, config);
    const std::string who = "user " + user + ": ";
    const DWORD start = ::GetTickCount();
    PreauthDecision decision;
    try {
        decision = session.RequestPreauth(user);
    } catch (const CINetException& e) {
        report.Add("user.preauth", Status::Fail,
                   who + "pre-authentication failed: " + SecureChannelWords(session, e.GetErrorCode(), RunningUnderWine()));
        return;
    } catch (const CHttpStatusException& e) {
        report.Add("user.preauth", Status::Fail,
                   who + "pre-authentication refused: HTTP status " + std::to_string(e.GetHttpStatus()));
        return;
    } catch (const CVynException& e) {
        report.Add("user.preauth", Status::Fail, who + "pre-authentication answer not understood (see the log)");
        return;
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
            return;
        }
        case PreauthAction::Allow:
            report.Add("user.preauth", Status::Info, who + "allowed without a second factor" + took);
            return;
        case PreauthAction::Refuse:
            break;
    }
    if (decision.result == "enroll") {
        report.Add("user.preauth", Status::Warn, who + "must enrol: " + verdict.message + took);
    } else if (verdict.kind == AuthenticationDenied) {
        report.Add("user.preauth", Status::Warn, who + "denied: " + verdict.message + took);
    } else {
        report.Add("user.preauth", Status::Fail, who + "decision \"" + decision.result + "\" not understood" + took);
    }
}

#include "config/config.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "common/handles.h"
#include "config/settings.h"
#include "diag/eventlog.h"
#include "diag/log.h"

bool gDebugLogging = false;

namespace {

constexpr const char* kPolicyKey = kPolicySettingsKey;
constexpr const char* kNormalKey = kNormalSettingsKey;

// Strings and Debug share this size: data longer than it (terminating NUL
// included) fails the query and counts as absent.
constexpr DWORD kValueBufferBytes = kMaxSettingChars + 1;

// A failed query: too much data for the buffer, or no value (any other
// failure counts as absent too).
ValueState QueryFailure(LONG result) { return result == ERROR_MORE_DATA ? ValueState::TooLong : ValueState::Absent; }

// A REG_SZ with at least one byte of data, read through the ANSI interface (so
// in the system's ANSI code page), up to its first NUL. The text is bounded by
// the size the query returned: data that fills the buffer without a NUL of its
// own is taken whole and never read past.
ValueState QueryString(HKEY key, const char* name, std::string& value, DWORD& type) {
    char buffer[kValueBufferBytes];
    DWORD size = sizeof buffer;
    const LONG result = ::RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
    if (result != ERROR_SUCCESS) return QueryFailure(result);
    if (type != REG_SZ) return ValueState::WrongType;
    if (size == 0) return ValueState::Empty;
    const size_t bounded = size < sizeof buffer ? size : sizeof buffer;
    const void* nul = std::memchr(buffer, '\0', bounded);
    value.assign(buffer, nul ? static_cast<const char*>(nul) - buffer : bounded);
    return ValueState::Usable;
}

// How much data a REG_DWORD must hold to count: the switches read at load take
// any size up to four bytes; RdpOnly and LogonOnly, read at each logon, exactly four.
enum class DwordSize { UpToFour, ExactlyFour };

// A REG_DWORD read into a 4-byte buffer.
ValueState QueryDword(HKEY key, const char* name, DWORD& value, DWORD& type, DwordSize rule) {
    DWORD data = 0;
    DWORD size = sizeof data;
    const LONG result = ::RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size);
    if (result != ERROR_SUCCESS) return result == ERROR_MORE_DATA ? ValueState::BadSize : ValueState::Absent;
    if (type != REG_DWORD) return ValueState::WrongType;
    if (rule == DwordSize::ExactlyFour && size != sizeof data) return ValueState::BadSize;
    value = data;
    return ValueState::Usable;
}

bool QuerySwitch(HKEY key, const char* name, bool fallback) {
    DWORD value = 0;
    DWORD type = 0;
    return QueryDword(key, name, value, type, DwordSize::UpToFour) == ValueState::Usable ? value != 0 : fallback;
}

// "Debug" is read by its UTF-16 name into the same 1024-byte buffer as the
// strings; only a REG_DWORD of exactly four bytes counts.
ValueState QueryDebug(HKEY key, DWORD& value, DWORD& type) {
    BYTE buffer[kValueBufferBytes] = {};
    DWORD size = sizeof buffer;
    const LONG result = ::RegQueryValueExW(key, L"Debug", nullptr, &type, buffer, &size);
    if (result != ERROR_SUCCESS) return result == ERROR_MORE_DATA ? ValueState::BadSize : ValueState::Absent;
    if (type != REG_DWORD) return ValueState::WrongType;
    if (size != sizeof(DWORD)) return ValueState::BadSize;
    std::memcpy(&value, buffer, sizeof value);
    return ValueState::Usable;
}

}  // namespace

unique_hkey OpenSettingsKey(const char* path) {
    unique_hkey key;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS) key.release();
    return key;
}

SettingReading InspectSetting(HKEY key, const SettingInfo& info) {
    SettingReading reading;
    if (std::strcmp(info.name, "Debug") == 0) {
        reading.state = QueryDebug(key, reading.number, reading.type);
    } else if (info.use == SettingUse::ReadEachTime) {
        reading.state = QueryDword(key, info.name, reading.number, reading.type, DwordSize::ExactlyFour);
    } else if (info.type == REG_SZ) {
        reading.state = QueryString(key, info.name, reading.text, reading.type);
        if (reading.state == ValueState::Usable && reading.text.empty()) reading.state = ValueState::Empty;
    } else {
        reading.state = QueryDword(key, info.name, reading.number, reading.type, DwordSize::UpToFour);
    }
    return reading;
}

uint16_t SplitHostPort(std::string& host) {
    const size_t colon = host.find(':');
    if (colon == std::string::npos) return 443;
    // strtol's rules: leading blanks and a sign, digits up to the first other
    // character, 0 without digits. Only the low 16 bits are kept, so 70000
    // becomes 4464.
    const long parsed = std::strtol(host.c_str() + colon + 1, nullptr, 10);
    host.resize(colon);
    return static_cast<uint16_t>(static_cast<unsigned long>(parsed) & 0xFFFFu);
}

TlsMode TlsModeFrom(DWORD value) {
    switch (value) {
        case 1: return TlsMode::SystemOnly;
        case 2: return TlsMode::ModuleOnly;
        default: return TlsMode::Automatic;
    }
}

bool SessionConfig::IsConfigured() const { return !host.empty() && port != 0 && !ikey.empty() && !skey.empty(); }

bool SessionConfig::ReadConfigurationKey(HKEY key) {
    const unique_hkey owned(key);

    DWORD debug = 0;
    DWORD type = 0;
    if (QueryDebug(owned.get(), debug, type) == ValueState::Usable) gDebugLogging = debug == 1;
    if (gDebugLogging) LogMessage("Debug logging enabled");

    if (QueryString(owned.get(), "Host", host, type) == ValueState::Usable) {
        // unsigned char: tolower is undefined for the negative chars of
        // non-ASCII text in the ANSI code page.
        for (char& c : host) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        LogMessage("Host: " + host);
        port = SplitHostPort(host);
    } else {
        host.clear();
        port = 0;
    }

    if (QueryString(owned.get(), "IKey", ikey, type) == ValueState::Usable)
        LogMessage("IKey: " + ikey);
    else
        ikey.clear();

    // The secret key is never logged, whatever the Debug setting says.
    if (QueryString(owned.get(), "SKey", skey, type) != ValueState::Usable) skey.clear();

    failOpen = QuerySwitch(owned.get(), "FailOpen", true);
    autoPush = QuerySwitch(owned.get(), "AutoPush", false);
    localIpFallback = QuerySwitch(owned.get(), "local_ip_fallback", false);
    // Read by the switches' rules; whatever cannot be used means automatic,
    // which reaches the service from every system the module runs on.
    DWORD tlsValue = 0;
    tls = QueryDword(owned.get(), "Tls", tlsValue, type, DwordSize::UpToFour) == ValueState::Usable
              ? TlsModeFrom(tlsValue)
              : TlsMode::Automatic;

    return IsConfigured();
}

const char* SessionConfig::LoadFromSettingsKeys() {
    // Precedence is by key: a complete policy key wins whole; otherwise the
    // normal key, read whole, replaces whatever the policy key gave.
    if (unique_hkey policy = OpenSettingsKey(kPolicyKey)) {
        if (ReadConfigurationKey(policy.release())) return kPolicyKey;
    }
    if (unique_hkey normal = OpenSettingsKey(kNormalKey)) {
        if (ReadConfigurationKey(normal.release())) return kNormalKey;
    }
    return nullptr;
}

bool SessionConfig::LoadConfiguration() {
    if (LoadFromSettingsKeys() != nullptr) return true;
    LogMessage("ERROR: VynAuth not configured");
    ReportToEventLog(EVENTLOG_ERROR_TYPE, "VynAuth not configured");
    return false;
}

bool ReadRegistryFlag(const std::string& name) {
    for (const char* path : {kPolicyKey, kNormalKey}) {
        DWORD value = 0;
        DWORD type = 0;
        const unique_hkey key = OpenSettingsKey(path);
        if (!key) continue;
        // The first key holding a usable value decides, even when it is 0.
        if (QueryDword(key.get(), name.c_str(), value, type, DwordSize::ExactlyFour) == ValueState::Usable)
            return value == 1;
    }
    return false;
}

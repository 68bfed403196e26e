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

unique_hkey OpenSettingsKey(const char* path) {
    unique_hkey key;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS) key.release();
    return key;
}

// A REG_SZ with at least one byte of data, read through the ANSI interface (so
// in the system's ANSI code page), up to its first NUL. The text is bounded by
// the size the query returned: data that fills the buffer without a NUL of its
// own is taken whole and never read past.
bool QueryString(HKEY key, const char* name, std::string& value) {
    char buffer[kValueBufferBytes];
    DWORD type = 0;
    DWORD size = sizeof buffer;
    if (::RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) != ERROR_SUCCESS)
        return false;
    if (type != REG_SZ || size == 0) return false;
    const size_t bounded = size < sizeof buffer ? size : sizeof buffer;
    const void* nul = std::memchr(buffer, '\0', bounded);
    value.assign(buffer, nul ? static_cast<const char*>(nul) - buffer : bounded);
    return true;
}

// A REG_DWORD of any returned size, read into a 4-byte buffer.
bool QueryDword(HKEY key, const char* name, DWORD& value) {
    DWORD data = 0;
    DWORD type = 0;
    DWORD size = sizeof data;
    if (::RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size) != ERROR_SUCCESS)
        return false;
    if (type != REG_DWORD) return false;
    value = data;
    return true;
}

bool QuerySwitch(HKEY key, const char* name, bool fallback) {
    DWORD value = 0;
    return QueryDword(key, name, value) ? value != 0 : fallback;
}

// "Debug" is read by its UTF-16 name into the same 1024-byte buffer as the
// strings; only a REG_DWORD of exactly four bytes counts.
bool QueryDebug(HKEY key, bool& enabled) {
    BYTE buffer[kValueBufferBytes] = {};
    DWORD type = 0;
    DWORD size = sizeof buffer;
    if (::RegQueryValueExW(key, L"Debug", nullptr, &type, buffer, &size) != ERROR_SUCCESS) return false;
    if (type != REG_DWORD || size != sizeof(DWORD)) return false;
    DWORD value = 0;
    std::memcpy(&value, buffer, sizeof value);
    enabled = value == 1;
    return true;
}

}  // namespace

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

bool SessionConfig::IsConfigured() const { return !host.empty() && port != 0 && !ikey.empty() && !skey.empty(); }

bool SessionConfig::ReadConfigurationKey(HKEY key) {
    const unique_hkey owned(key);

    bool debug = false;
    if (QueryDebug(owned.get(), debug)) gDebugLogging = debug;
    if (gDebugLogging) LogMessage("Debug logging enabled");

    if (QueryString(owned.get(), "Host", host)) {
        // unsigned char: tolower is undefined for the negative chars of
        // non-ASCII text in the ANSI code page.
        for (char& c : host) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        LogMessage("Host: " + host);
        port = SplitHostPort(host);
    } else {
        host.clear();
        port = 0;
    }

    if (QueryString(owned.get(), "IKey", ikey))
        LogMessage("IKey: " + ikey);
    else
        ikey.clear();

    // The secret key is never logged, whatever the Debug setting says.
    if (!QueryString(owned.get(), "SKey", skey)) skey.clear();

    failOpen = QuerySwitch(owned.get(), "FailOpen", true);
    autoPush = QuerySwitch(owned.get(), "AutoPush", false);
    localIpFallback = QuerySwitch(owned.get(), "local_ip_fallback", false);

    return IsConfigured();
}

bool SessionConfig::LoadConfiguration() {
    // Precedence is by key: a complete policy key wins whole; otherwise the
    // normal key, read whole, replaces whatever the policy key gave.
    if (unique_hkey policy = OpenSettingsKey(kPolicyKey)) {
        if (ReadConfigurationKey(policy.release())) return true;
    }
    if (unique_hkey normal = OpenSettingsKey(kNormalKey)) {
        if (ReadConfigurationKey(normal.release())) return true;
    }
    LogMessage("ERROR: VynAuth not configured");
    ReportToEventLog(EVENTLOG_ERROR_TYPE, "VynAuth not configured");
    return false;
}

bool ReadRegistryFlag(const std::string& name) {
    for (const char* path : {kPolicyKey, kNormalKey}) {
        DWORD value = 0;
        DWORD type = 0;
        DWORD size = sizeof value;
        LONG result;
        {
            const unique_hkey key = OpenSettingsKey(path);
            if (!key) continue;
            result = ::RegQueryValueExA(key.get(), name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&value),
                                        &size);
        }
        // The first key holding a usable value decides, even when it is 0.
        if (result == ERROR_SUCCESS && type == REG_DWORD && size == sizeof value) return value == 1;
    }
    return false;
}

#pragma once
// The module's settings, read from HKLM "Software\Policies\Vyn Security\VynCredProv"
// (policy key, first) or "Software\Vyn Security\VynCredProv". A complete key wins whole.

#include <windows.h>

#include <cstdint>
#include <string>

#include "common/handles.h"
#include "config/settings.h"

// Adds the "DEBUG: " lines of the executor and transport. Once set by a load it
// stays set for the life of the process unless a later key says otherwise.
extern bool gDebugLogging;

// Which TLS client carries the requests to the service ("Tls").
enum class TlsMode : uint32_t {
    // The system's (WinHTTP) first; on a failed TLS handshake the same attempt
    // goes through the module's own client, which then goes first for the
    // rest of the process once it has completed a handshake.
    Automatic = 0,
    SystemOnly = 1,  // WinHTTP alone, as before the module had a client of its own
    ModuleOnly = 2,
};

// The mode a usable "Tls" value stands for: any number but 1 and 2 is
// automatic, as an absent or unusable value is.
TlsMode TlsModeFrom(DWORD value);

struct SessionConfig {
    std::string host;  // lower case, no port
    uint16_t port = 0;
    std::string ikey;  // integration key
    std::string skey;  // secret key: HMAC key only, never logged
    bool failOpen = true;
    bool autoPush = false;
    bool localIpFallback = false;
    TlsMode tls = TlsMode::Automatic;

    // Fills the record from the policy key, else the normal key; logs and
    // reports "VynAuth not configured" when neither is complete.
    bool LoadConfiguration();
    // The reading behind LoadConfiguration, without its error line and event:
    // the path of the key that gave a complete configuration, or null.
    const char* LoadFromSettingsKeys();
    // Reads every setting from one key (taking ownership of it) and closes it.
    bool ReadConfigurationKey(HKEY key);
    bool IsConfigured() const;
};

// HKLM\path opened for reading values; empty when it cannot be opened.
unique_hkey OpenSettingsKey(const char* path);

// How one value of a settings key reads, and why it is unusable when it is.
enum class ValueState { Usable, Absent, WrongType, Empty, TooLong, BadSize };

struct SettingReading {
    ValueState state = ValueState::Absent;
    DWORD type = REG_NONE;  // the stored type, when the value exists
    std::string text;       // a usable string (the secret key too: the caller must not show it)
    DWORD number = 0;       // a usable switch
};

// Reads `info` from `key` by the very rules the configuration reader applies
// to it. A string that reads as empty is reported Empty.
SettingReading InspectSetting(HKEY key, const SettingInfo& info);

// True only when the first key holding a usable DWORD value `name` holds 1.
bool ReadRegistryFlag(const std::string& name);

// Cuts ":port" from host and returns the port (443 when there is none).
uint16_t SplitHostPort(std::string& host);

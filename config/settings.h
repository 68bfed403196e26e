#pragma once
// The table of the module's settings: every value name the module reads under
// its two keys, with its registry type, default and when a change takes
// effect. The configuration reader, the preflight check, the installer and
// the Group Policy templates are all held to this one list.

#include <windows.h>

#include <cstddef>
#include <cstdint>

// Under HKEY_LOCAL_MACHINE. The policy key is read first; a key is used only
// when it holds a complete configuration (Host, IKey and SKey), and then every
// setting comes from it alone. RdpOnly and LogonOnly are looked up in both
// keys at each logon (the first key holding a usable value decides).
constexpr char kPolicySettingsKey[] = "Software\\Policies\\Vyn Security\\VynCredProv";
constexpr char kNormalSettingsKey[] = "Software\\Vyn Security\\VynCredProv";

// Strings hold at most this many characters (the read buffer, NUL included, is
// one more); longer data counts as absent.
constexpr size_t kMaxSettingChars = 1023;

enum class SettingUse {
    Required,      // part of a complete configuration
    ReadAtLoad,    // read with the configuration, once per process
    ReadEachTime,  // read at every logon or unlock
};

struct SettingInfo {
    const char* name;   // the value name, exactly as stored
    DWORD type;         // REG_SZ or REG_DWORD
    uint32_t fallback;  // a switch's value when absent or unusable (0 for strings)
    SettingUse use;
    bool secret;        // never logged, printed or sent
};

constexpr SettingInfo kSettings[] = {
    {"Host", REG_SZ, 0, SettingUse::Required, false},
    {"IKey", REG_SZ, 0, SettingUse::Required, false},
    {"SKey", REG_SZ, 0, SettingUse::Required, true},
    {"FailOpen", REG_DWORD, 1, SettingUse::ReadAtLoad, false},
    {"AutoPush", REG_DWORD, 0, SettingUse::ReadAtLoad, false},
    {"local_ip_fallback", REG_DWORD, 0, SettingUse::ReadAtLoad, false},
    // 0 automatic, 1 the system's TLS only, 2 the module's own TLS client only.
    {"Tls", REG_DWORD, 0, SettingUse::ReadAtLoad, false},
    {"Debug", REG_DWORD, 0, SettingUse::ReadAtLoad, false},
    {"RdpOnly", REG_DWORD, 0, SettingUse::ReadEachTime, false},
    {"LogonOnly", REG_DWORD, 0, SettingUse::ReadEachTime, false},
};

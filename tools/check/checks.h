#pragma once
// The checks of vyn-check, in the order they run. Each adds its findings to the
// report and returns what the verdict needs to know.

#include <string>
#include <vector>

#include "config/config.h"
#include "tools/check/report.h"

// Everything here is judged as the module, running as SYSTEM inside Winlogon,
// would meet it; where the administrator's own view differs, a line says so.
struct SettingsOutcome {
    bool complete = false;          // a key SYSTEM may read holds a complete configuration
    const char* keyPath = nullptr;  // the key the module would use
    SessionConfig config;           // as the module reads it
};

// How the service met a request, as a logon would meet it; ordered from
// harmless to worst, so that the worse of two is the greater.
enum class ServiceAnswer {
    NotAsked,
    Answered,     // an answer the module uses (a decision counts, whatever it is)
    Unreachable,  // a transport failure or a server error: FailOpen decides
    KeysRefused,  // 401: the IKey/SKey pair (or the host the signature covers)
    Refused,      // any other answer the module refuses, whatever FailOpen says
    LocalFailure, // this machine cannot make the request: logons that need it are refused
};

struct RegistrationOutcome {
    bool broken = false;
    std::string sentence;  // what the restart would bring, when broken
    std::string moduleVersion;  // the file version of the module GinaDLL names; empty when none is read
};

SettingsOutcome CheckSettings(Report& report);
// Who, other than SYSTEM, Administrators and CREATOR OWNER, may read a key
// holding a secret key, and which keys those are.
struct ExposureOutcome {
    std::vector<std::string> readers;
    std::vector<std::string> keys;  // "HKLM\...", each key readable by one of them
    bool policyKey = false;         // one of them is the policy key
};
ExposureOutcome CheckSecretExposure(Report& report, const SettingsOutcome& settings);
void CheckLogFolder(Report& report);
RegistrationOutcome CheckRegistration(Report& report);
// `userFollows`: a user's pre-authentication follows, and decides over a
// refused Check (the module never sends Check at logon). `tlsClient` is set to
// "system" or "own": the TLS client that carried the Check, or the last one
// that tried and failed.
ServiceAnswer CheckService(Report& report, const SessionConfig& config, bool userFollows, std::string& tlsClient);
ServiceAnswer CheckUser(Report& report, const SessionConfig& config, const std::string& user);

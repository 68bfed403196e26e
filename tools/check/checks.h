#pragma once
// The checks of vyn-check, in the order they run. Each adds its findings to the
// report and returns what the verdict needs to know.

#include <string>

#include "config/config.h"
#include "tools/check/report.h"

struct SettingsOutcome {
    bool complete = false;       // a key holds a complete configuration
    const char* keyPath = nullptr;  // the key the module would use
    SessionConfig config;        // as the module reads it
};

struct ServiceOutcome {
    bool pingFailed = false;
    bool keysRefused = false;   // Check answered 401
    bool checkFailed = false;   // Check failed for another reason
};

SettingsOutcome CheckSettings(Report& report);
void CheckSecretExposure(Report& report, const SettingsOutcome& settings);
void CheckLogFolder(Report& report);
// True when GinaDLL names a file that does not exist.
bool CheckRegistration(Report& report);
ServiceOutcome CheckService(Report& report, const SessionConfig& config);
void CheckUser(Report& report, const SessionConfig& config, const std::string& user);

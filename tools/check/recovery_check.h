#pragma once
// vyn-check's findings about the break-glass recovery codes (auth/recovery.h):
// whether an outage of the service would lock everyone out, and who may read
// the codes' hashes.

#include <string>
#include <vector>

#include "tools/check/checks.h"
#include "tools/check/report.h"

// Adds the findings; returns the accounts other than SYSTEM, Administrators and
// CREATOR OWNER that may read the Recovery key (whoever reads the hashes can
// try codes offline, at the speed of their own machine), or, when the key is
// exposed, that own it or may write it (the module then uses no code).
std::vector<std::string> CheckRecoveryCodes(Report& report, const SettingsOutcome& settings);

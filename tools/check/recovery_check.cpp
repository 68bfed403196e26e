#include "tools/check/recovery_check.h"

#include "auth/recovery.h"
#include "config/recovery_store.h"
#include "tools/check/acl.h"

std::vector<std::string> CheckRecoveryCodes(Report& report, const SettingsOutcome& settings) {
    // Without a complete configuration every logon passes anyway; with one,
    // FailOpen as the module reads it decides whether codes are ever asked for.
    const bool failsClosed = settings.complete && !settings.config.failOpen;
    RecoverySet set;
    std::string reason;
    switch (LoadRecoverySet(set, reason)) {
    case RecoveryLoad::Loaded:
        report.Add("recovery", failsClosed ? Status::Ok : Status::Info,
                   "recovery codes: " + std::to_string(set.Count()) + " left (set made " +
                       FormatRecoverySetTime(set.created) + ")" +
                       (failsClosed ? "" : "; never asked for while FailOpen is on"));
        break;
    case RecoveryLoad::Malformed:
        report.Add("recovery", Status::Warn,
                   "recovery codes: the stored set cannot be used (" + reason +
                       ") and counts as none; make a new one with vyn-recovery new");
        break;
    case RecoveryLoad::None:
        if (failsClosed)
            report.Add("recovery", Status::Warn,
                       "recovery codes: none, and FailOpen is off: an outage of the service locks everyone out, "
                       "administrators included. Make codes with vyn-recovery new.");
        else
            report.Add("recovery", Status::Info, "recovery codes: none (needed only when FailOpen is off)");
        break;
    }

    std::vector<BYTE> descriptor;
    DWORD error = 0;
    if (!ReadKeySecurity(kRecoveryKey, descriptor, error)) {
        if (error != ERROR_FILE_NOT_FOUND)
            report.Add("exposure.Recovery", Status::Warn,
                       "recovery codes: the security of HKLM\\" + std::string(kRecoveryKey) +
                           " cannot be read (error " + std::to_string(error) + ")");
        return {};
    }
    const std::vector<std::string> readers = UnexpectedReaders(descriptor.data(), KEY_QUERY_VALUE);
    std::string names;
    for (const std::string& r : readers) names += (names.empty() ? "" : ", ") + r;
    if (readers.empty())
        report.Add("exposure.Recovery", Status::Ok,
                   "recovery codes: only SYSTEM, Administrators and CREATOR OWNER may read HKLM\\" +
                       std::string(kRecoveryKey));
    else
        report.Add("exposure.Recovery", Status::Warn,
                   "recovery codes: HKLM\\" + std::string(kRecoveryKey) + " may be read by " + names);
    return readers;
}

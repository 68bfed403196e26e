#include "tools/check/recovery_check.h"

#include "auth/recovery.h"
#include "common/machine_lock.h"
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
    if (!ReadKeySecurity(kRecoveryKey, descriptor, error, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION)) {
        if (error != ERROR_FILE_NOT_FOUND)
            report.Add("exposure.Recovery", Status::Warn,
                       "recovery codes: the security of HKLM\\" + std::string(kRecoveryKey) +
                           " cannot be read (error " + std::to_string(error) + ")");
        return {};
    }
    // A key someone else owns or may write is not the module's (it counts as
    // no codes): whoever made it could have stored hashes of codes they chose.
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    bool administrators = false;
    const bool ownedByUs = ::GetSecurityDescriptorOwner(descriptor.data(), &owner, &defaulted) &&
                           IsSystemOrAdministrators(owner);
    const std::vector<std::string> writers = UnexpectedGrantees(
        descriptor.data(), KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | DELETE | WRITE_DAC | WRITE_OWNER |
                               GENERIC_WRITE | GENERIC_ALL);
    if (!ownedByUs || !writers.empty()) {
        std::vector<std::string> exposedTo;
        std::string remove;
        if (!ownedByUs) {
            exposedTo.push_back(OwnerName(descriptor.data(), administrators));
            remove = "the owner " + exposedTo.back();
        }
        for (const std::string& w : writers) {
            exposedTo.push_back(w);
            remove += (remove.empty() ? "" : ", ") + w;
        }
        report.Add("exposure.Recovery", Status::Warn,
                   "recovery codes: HKLM\\" + std::string(kRecoveryKey) + " is exposed: remove " + remove +
                       ", or make a new set with vyn-recovery new, which deletes the key and makes it anew");
        return exposedTo;
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

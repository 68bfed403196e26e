// vyn-check: tells an administrator, before the restart that puts the module in
// charge of the logon, what the module will do on this machine. It is built
// from the module's own core: the same settings reader, request executor,
// transport and client identity, so what it reports is what a logon would meet.
#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "common/strings.h"
#include "config/recovery_store.h"
#include "config/settings.h"
#include "diag/log.h"
#include "tools/check/checks.h"
#include "tools/check/console.h"
#include "tools/check/machine_facts.h"
#include "tools/check/recovery_check.h"
#include "tools/check/report.h"

namespace {

const char kUsage[] =
    "usage: vyn-check [--user NAME] [--json] [--no-network] [--help]\n"
    "\n"
    "Checks what VynGina will do on this machine: its settings, who may read its\n"
    "secret key and its log, its registration with Winlogon, the authentication\n"
    "service (Ping, then the signed Check) and, with --user, the pre-authentication\n"
    "decision for that account (no factor is started).\n"
    "\n"
    "  --user NAME    ask the service about NAME (DOMAIN\\user or user), as at logon\n"
    "  --json         one JSON object on standard output instead of lines\n"
    "  --no-network   skip the service and --user\n"
    "  --help         this text\n"
    "\n"
    "Exit codes: 0 ready, 1 bypass, 2 unreachable, 3 refused or keys-refused,\n"
    "4 registration-broken, 5 exposed, 64 usage.\n";

struct Options {
    bool json = false;
    bool network = true;
    bool help = false;
    std::string user;
};

// False on a command line the tool does not understand.
bool ParseOptions(int argc, wchar_t** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        if (arg == L"--json") {
            options.json = true;
        } else if (arg == L"--no-network") {
            options.network = false;
        } else if (arg == L"--help" || arg == L"-h" || arg == L"/?") {
            options.help = true;
        } else if (arg == L"--user") {
            if (i + 1 >= argc || argv[i + 1][0] == L'\0') return false;
            options.user = ToUtf8(argv[++i]);
            if (options.user.empty()) return false;
        } else {
            return false;
        }
    }
    return true;
}

void Write(DWORD which, const std::string& text) { WriteStdText(which, text); }

struct Decision {
    Verdict verdict;
    std::string sentence;
};

std::string Names(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& n : names) text += (text.empty() ? "" : ", ") + n;
    return text;
}

// The most severe finding decides: registration, a refusal, an unreachable
// service, no configuration, then the secret's exposure.
Decision Decide(const RegistrationOutcome& registration, const SettingsOutcome& settings, ServiceAnswer service,
                const ExposureOutcome& exposure, const std::vector<std::string>& recoveryExposedTo,
                bool networkChecked) {
    if (registration.broken) return {Verdict::RegistrationBroken, registration.sentence};
    if (service == ServiceAnswer::KeysRefused)
        return {Verdict::KeysRefused,
                "the service refused the request's signature: every challenged logon and unlock would be refused. "
                "Check IKey, SKey and Host (the signature covers the host name) before restarting."};
    if (service == ServiceAnswer::LocalFailure)
        return {Verdict::Unreachable,
                "a failure on this machine keeps the module from the service: every challenged logon and unlock, "
                "administrators' included, will be refused whatever FailOpen says. Do not restart until this is "
                "fixed."};
    if (service == ServiceAnswer::Refused)
        return {Verdict::Refused,
                "the service's answer is one the module refuses, whatever FailOpen says: logons and unlocks will be "
                "refused. Correct the service address or the service before restarting."};
    if (service == ServiceAnswer::Unreachable) {
        if (settings.config.failOpen)
            return {Verdict::Unreachable,
                    "the service cannot be used from this machine: with FailOpen on, logons and unlocks will pass "
                    "without a second factor."};
        return {Verdict::Unreachable,
                "the service cannot be used from this machine and FailOpen is off: every challenged logon and "
                "unlock, administrators' included, will be refused. Do not restart until this is fixed."};
    }
    if (!settings.complete)
        return {Verdict::Bypass, "no complete configuration: every logon and unlock passes unchallenged."};
    if (!exposure.readers.empty()) {
        std::string sentence = "the secret key may be read by " + Names(exposure.readers) +
                               ": whoever reads it can sign requests as this machine. Remove " +
                               Names(exposure.readers) + " from the permissions of " + Names(exposure.keys) +
                               " (SYSTEM and Administrators keep theirs).";
        if (exposure.policyKey)
            sentence += " The policy key's values come from a Group Policy object, which sits in SYSVOL, readable "
                        "by every domain user: move SKey to the machine key HKLM\\" +
                        std::string(kNormalSettingsKey) + " and rotate the key pair.";
        return {Verdict::Exposed, sentence};
    }
    if (!recoveryExposedTo.empty())
        return {Verdict::Exposed, "the recovery codes' hashes may be read by " + Names(recoveryExposedTo) +
                                      ": whoever reads them can try codes offline. Remove " +
                                      Names(recoveryExposedTo) + " from the permissions of HKLM\\" +
                                      std::string(kRecoveryKey) +
                                      ", or make a new set (vyn-recovery new), which makes the key private again."};
    if (!networkChecked)
        return {Verdict::Ready,
                "registered and configured; the keys and the service were not checked (--no-network)."};
    return {Verdict::Ready, "configured, the service reached and the keys accepted."};
}

// The codes left, as a logon would count them: a set that cannot be used
// counts as none (the recovery finding says why).
size_t RecoveryCodesLeft() {
    RecoverySet set;
    std::string reason;
    return LoadRecoverySet(set, reason) == RecoveryLoad::Loaded ? set.Count() : 0;
}

RunFacts FactsOfThisRun() {
    RunFacts facts;
    facts.machine = ReadMachineFacts();
    facts.toolVersion = VYN_TOOL_VERSION;
    return facts;
}

int Run(const Options& options) {
    // Nothing is changed: the log is not opened (opening it would create,
    // take back or rotate it); the module's lines of this run, the request
    // lines among them, go to the debugger output alone.
    LogMessage("vyn-check: preflight check" + (options.user.empty() ? std::string() : " for user " + options.user));

    Report report;
    const SettingsOutcome settings = CheckSettings(report);
    const ExposureOutcome exposure = CheckSecretExposure(report, settings);
    const std::vector<std::string> recoveryExposedTo = CheckRecoveryCodes(report, settings);
    CheckLogFolder(report);
    const RegistrationOutcome registration = CheckRegistration(report);

    // What a logon meets: the Check, or with a user named, that user's
    // pre-authentication, the one request of the two a logon sends.
    ServiceAnswer service = ServiceAnswer::NotAsked;
    std::string tlsClient;
    const bool networkChecked = options.network && settings.complete;
    if (!options.network) {
        report.Add("service", Status::Info, "service: not contacted (--no-network)");
    } else if (!settings.complete) {
        report.Add("service", Status::Info, "service: not contacted (the settings are incomplete)");
    } else {
        const bool userFollows = !options.user.empty();
        service = CheckService(report, settings.config, userFollows, tlsClient);
        if (userFollows) {
            if (service == ServiceAnswer::Unreachable || service == ServiceAnswer::LocalFailure) {
                report.Add("user.preauth", Status::Info, "user " + options.user + ": not asked (the service is unreachable)");
            } else {
                const ServiceAnswer user = CheckUser(report, settings.config, options.user);
                const bool checkRefused = service == ServiceAnswer::KeysRefused || service == ServiceAnswer::Refused;
                // A pre-authentication that is answered outranks a refused
                // Check; otherwise the worse of the two (the enumerators rank
                // from harmless to worst after Answered).
                if (checkRefused && user == ServiceAnswer::Answered)
                    service = user;
                else if (static_cast<int>(user) > static_cast<int>(service))
                    service = user;
            }
        }
    }

    const Decision decision = Decide(registration, settings, service, exposure, recoveryExposedTo, networkChecked);
    LogMessage(std::string("vyn-check: verdict ") + VerdictWord(decision.verdict));
    if (!options.json) {
        Write(STD_OUTPUT_HANDLE, report.Text(decision.verdict, decision.sentence));
        return ExitCode(decision.verdict);
    }
    RunFacts facts = FactsOfThisRun();
    facts.moduleVersion = registration.moduleVersion;
    facts.failOpen = settings.config.failOpen;
    facts.tls = tlsClient;
    facts.recoveryCodes = RecoveryCodesLeft();
    Write(STD_OUTPUT_HANDLE, report.Json(decision.verdict, decision.sentence, facts));
    return ExitCode(decision.verdict);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        // A collector that asked for JSON gets JSON, wherever --json stood.
        for (int i = 1; i < argc; ++i) options.json = options.json || std::wstring(argv[i]) == L"--json";
        Write(STD_ERROR_HANDLE, kUsage);
        if (options.json) {
            Write(STD_OUTPUT_HANDLE, Report().Json(Verdict::Usage, "bad command line.", FactsOfThisRun()));
        } else {
            Write(STD_OUTPUT_HANDLE, "verdict: usage: bad command line.\n");
        }
        return ExitCode(Verdict::Usage);
    }
    if (options.help) {
        Write(STD_OUTPUT_HANDLE, kUsage);
        return 0;
    }
    return Run(options);
}

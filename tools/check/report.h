#pragma once
// The findings of one run and how they are written: one line each, then the
// verdict line; or, with --json, one JSON object holding all of it.

#include <cstddef>
#include <string>
#include <vector>

#include "tools/check/machine_facts.h"

enum class Status { Ok, Info, Warn, Fail };

struct Finding {
    std::string name;  // the check, e.g. "settings.Host", "service.ping"
    Status status;
    std::string detail;  // UTF-8, for the administrator
};

// The verdicts, most severe first (usage is apart). Two share an exit code:
// keys-refused names the one refusal the administrator mends with the keys.
enum class Verdict { RegistrationBroken, KeysRefused, Refused, Unreachable, Bypass, Exposed, Ready, Usage };

const char* VerdictWord(Verdict verdict);
// 4, 3, 3, 2, 1, 5, 0 and 64, in the order above: the codes are older than
// "exposed", which ranks below every failure and so cannot take the next number.
int ExitCode(Verdict verdict);

// What the JSON says beside the findings: whose result it is and what made it.
// A report over many machines' results reads these (schema 1).
struct RunFacts {
    MachineFacts machine;
    std::string moduleVersion;  // of the module GinaDLL names; empty: none read
    std::string toolVersion;
    bool failOpen = false;      // as the module reads it
    std::string tls;            // "system" or "own": the client that reached the service or failed; empty: not asked
    size_t recoveryCodes = 0;   // left; a set that cannot be used counts as none
};

class Report {
public:
    void Add(std::string name, Status status, std::string detail);
    const std::vector<Finding>& Findings() const { return findings_; }

    // "[ ok ] detail", "[info] ...", "[warn] ...", "[FAIL] ...", a line each.
    static std::string Line(const Finding& finding);
    std::string Text(Verdict verdict, const std::string& sentence) const;
    std::string Json(Verdict verdict, const std::string& sentence, const RunFacts& facts) const;

private:
    std::vector<Finding> findings_;
};

// A JSON string literal of the text (quotes included); each byte of a
// malformed UTF-8 sequence in it is written as U+FFFD.
std::string JsonString(const std::string& text);

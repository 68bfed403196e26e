#pragma once
// The findings of one run and how they are written: one line each, then the
// verdict line; or, with --json, one JSON object holding all of it.

#include <string>
#include <vector>

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

class Report {
public:
    void Add(std::string name, Status status, std::string detail);
    const std::vector<Finding>& Findings() const { return findings_; }

    // "[ ok ] detail", "[info] ...", "[warn] ...", "[FAIL] ...", a line each.
    static std::string Line(const Finding& finding);
    std::string Text(Verdict verdict, const std::string& sentence) const;
    std::string Json(Verdict verdict, const std::string& sentence) const;

private:
    std::vector<Finding> findings_;
};

// A JSON string literal of UTF-8 text (quotes included).
std::string JsonString(const std::string& text);

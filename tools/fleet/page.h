#pragma once
// The fleet report: which machines must not be restarted and why, as one
// self-contained HTML page (no script, font, image or style from anywhere
// else; it opens in Internet Explorer 8 and in current browsers), and the
// one line the console shows.

#include <windows.h>

#include <string>

#include "tools/fleet/results.h"

// Where a machine stands after the restart, most urgent first.
enum class Standing {
    DoNotRestart,       // registration-broken, keys-refused, refused, or unreachable, FailOpen off, no codes
    Exposed,            // the secret key or the codes' hashes may be read
    OpenOnOutage,       // unreachable with FailOpen on: everyone passes without a second factor
    RecoveryOnly,       // unreachable with FailOpen off: only recovery codes let anyone in
    Bypass,             // no complete configuration: nobody is challenged
    Ready,
};

Standing StandingOf(const MachineResult& result);

struct ReportOptions {
    unsigned staleDays = 7;
    ULONGLONG now = 0;  // FILETIME (UTC) the ages are measured from
    std::string toolVersion;
};

struct FleetReport {
    std::string html;
    std::string summary;  // one line, no newline
    int exitCode = 1;     // 0 every machine ready, 2 any must not be restarted, 1 anything else
};

FleetReport BuildFleetReport(const FleetResults& results, const ReportOptions& options);

// `text` with & < > " ' written as character references: nothing from a
// result file becomes markup.
std::string HtmlText(const std::string& text);

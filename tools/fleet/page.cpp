#include "tools/fleet/page.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <vector>

#include "common/strings.h"

namespace {

constexpr ULONGLONG kDay = 864000000000ULL;  // in FILETIME's 100 ns

const char* const kVerdictOrder[] = {"registration-broken", "keys-refused", "refused", "unreachable",
                                     "exposed",             "bypass",       "ready"};

struct Section {
    Standing standing;
    const char* id;
    const char* title;
    const char* meaning;
};

// The sections of machines, in the page's order.
const Section kSections[] = {
    {Standing::DoNotRestart, "do-not-restart", "Do not restart",
     "After a restart these machines would lock users out or break the logon: mend each before its restart."},
    {Standing::Exposed, "exposed", "Exposed",
     "The secret key or the recovery codes' hashes may be read by others: whoever reads them can act as the machine."},
    {Standing::OpenOnOutage, "unreachable-fail-open", "Unreachable, FailOpen on",
     "The service cannot be used from these machines and FailOpen is on: everyone will pass without a second factor."},
    {Standing::RecoveryOnly, "unreachable-recovery", "Unreachable, FailOpen off, recovery codes only",
     "The service cannot be used and FailOpen is off: only a recovery code lets anyone log on."},
    {Standing::Bypass, "bypass", "Bypass", "No complete configuration: every logon passes unchallenged."},
    {Standing::Ready, "ready", "Ready", "Configured, registered, and the service reached with the keys accepted."},
};

const char kStyle[] =
    "body{font-family:Arial,Helvetica,sans-serif;font-size:14px;margin:16px 24px;color:#111}"
    "h1{font-size:22px}h2{font-size:18px;margin-top:28px;border-bottom:1px solid #999}"
    "table{border-collapse:collapse;margin:6px 0}th,td{border:1px solid #bbb;padding:3px 6px;text-align:left;"
    "vertical-align:top}th{background:#eee}"
    "table.counts td,table.counts th{border:0;background:transparent}"
    ".bar{display:inline-block;height:14px;vertical-align:middle;margin-right:6px}"
    ".v-registration-broken,.v-keys-refused,.v-refused{background:#c0392b}.v-unreachable{background:#e67e22}"
    ".v-exposed{background:#d35400}.v-bypass{background:#7f8c8d}.v-ready{background:#27ae60}"
    ".doubt{color:#a00;font-weight:bold}.stale{color:#8a6d00;font-weight:bold}ul{margin:0;padding-left:18px}";

std::string Html(const std::string& text) { return HtmlText(text); }

std::string Cell(const std::string& inner) { return "<td>" + inner + "</td>"; }

ULONGLONG AgeDays(const MachineResult& r, const ReportOptions& options) {
    return options.now > r.checkedTime ? (options.now - r.checkedTime) / kDay : 0;
}

bool IsStale(const MachineResult& r, const ReportOptions& options) {
    return options.now > r.checkedTime && options.now - r.checkedTime > options.staleDays * kDay;
}

// The findings that say why: failures, then warnings.
std::string Findings(const MachineResult& r) {
    std::string items;
    for (const char* status : {"fail", "warn"})
        for (const CheckLine& c : r.checks)
            if (c.status == status)
                items += "<li>" + std::string(c.status == "fail" ? "[FAIL] " : "[warn] ") + Html(c.detail) + "</li>";
    return items.empty() ? std::string() : "<ul>" + items + "</ul>";
}

std::string MachineCell(const MachineResult& r, const ReportOptions& options) {
    std::string cell = Html(r.machine);
    if (!r.domain.empty()) cell += " <small>(" + Html(r.domain) + ")</small>";
    if (IsStale(r, options))
        cell += "<div class=\"stale\">Stale: " + std::to_string(AgeDays(r, options)) + " days old</div>";
    for (const std::string& doubt : r.doubts)
        cell += "<div class=\"doubt\">May come from another computer: " + Html(doubt) + "</div>";
    return Cell(cell);
}

std::string MachineRow(const MachineResult& r, const ReportOptions& options) {
    return "<tr>" + MachineCell(r, options) + Cell(Html(r.checkedAt)) + Cell(Html(r.verdict)) + Cell(Html(r.sentence)) +
           Cell(Findings(r)) + "</tr>\n";
}

const char kMachineHead[] =
    "<tr><th>Machine</th><th>Checked (UTC)</th><th>Verdict</th><th>What the restart would bring</th>"
    "<th>Failing findings</th></tr>\n";

int CompareNames(const std::string& a, const std::string& b) {
    return lstrcmpiW(FromUtf8(a).c_str(), FromUtf8(b).c_str());
}

bool ByMachine(const MachineResult* a, const MachineResult* b) { return CompareNames(a->machine, b->machine) < 0; }

std::string Counts(const FleetResults& results) {
    std::map<std::string, size_t> counts;
    for (const MachineResult& r : results.machines) ++counts[r.verdict];
    size_t most = 1;
    for (const auto& [verdict, n] : counts) most = std::max(most, n);
    std::string html = "<h2 id=\"counts\">Counts by verdict</h2>\n<table class=\"counts\">\n";
    for (const char* verdict : kVerdictOrder) {
        const size_t n = counts[verdict];
        html += "<tr><th>" + std::string(verdict) + "</th><td><span class=\"bar v-" + verdict +
                "\" style=\"width:" + std::to_string(n * 400 / most) + "px\"></span>" + std::to_string(n) +
                "</td></tr>\n";
    }
    return html + "</table>\n";
}

std::string Standings(const FleetResults& results, const ReportOptions& options) {
    std::string html;
    for (const Section& section : kSections) {
        std::vector<const MachineResult*> rows;
        for (const MachineResult& r : results.machines)
            if (StandingOf(r) == section.standing) rows.push_back(&r);
        std::sort(rows.begin(), rows.end(), ByMachine);
        html += "<h2 id=\"" + std::string(section.id) + "\">" + section.title + " (" + std::to_string(rows.size()) +
                ")</h2>\n<p>" + section.meaning + "</p>\n";
        if (rows.empty()) continue;
        html += "<table>\n" + std::string(kMachineHead);
        for (const MachineResult* r : rows) html += MachineRow(*r, options);
        html += "</table>\n";
    }
    return html;
}

std::string Stale(const FleetResults& results, const ReportOptions& options) {
    std::vector<const MachineResult*> rows;
    for (const MachineResult& r : results.machines)
        if (IsStale(r, options)) rows.push_back(&r);
    std::sort(rows.begin(), rows.end(), ByMachine);
    std::string html = "<h2 id=\"stale\">Stale results (" + std::to_string(rows.size()) + ")</h2>\n<p>Older than " +
                       std::to_string(options.staleDays) +
                       " days: the machine has not run its startup script since, or cannot write to the share.</p>\n";
    if (rows.empty()) return html;
    html += "<table>\n<tr><th>Machine</th><th>Checked (UTC)</th><th>Age</th><th>Verdict</th></tr>\n";
    for (const MachineResult* r : rows)
        html += "<tr>" + Cell(Html(r->machine)) + Cell(Html(r->checkedAt)) +
                Cell("<span class=\"stale\">stale</span>, " + std::to_string(AgeDays(*r, options)) + " days") +
                Cell(Html(r->verdict)) + "</tr>\n";
    return html + "</table>\n";
}

std::string Versions(const FleetResults& results) {
    std::map<std::string, std::vector<const MachineResult*>> byVersion;
    for (const MachineResult& r : results.machines) byVersion[r.moduleVersion].push_back(&r);
    std::string html = "<h2 id=\"versions\">Module versions</h2>\n";
    if (byVersion.empty()) return html + "<p>No results.</p>\n";
    html += "<table>\n<tr><th>Version of the module GinaDLL names</th><th>Machines</th></tr>\n";
    for (auto& [version, machines] : byVersion) {
        std::sort(machines.begin(), machines.end(), ByMachine);
        std::string names;
        for (const MachineResult* r : machines) names += (names.empty() ? "" : ", ") + Html(r->machine);
        html += "<tr>" + Cell(version.empty() ? "(none read)" : Html(version)) + Cell(names) + "</tr>\n";
    }
    return html + "</table>\n";
}

std::string Duplicates(const FleetResults& results) {
    std::string html =
        "<h2 id=\"duplicates\">Duplicate results (" + std::to_string(results.superseded.size()) +
        ")</h2>\n<p>More than one result names the same machine: the newest counts, unless it may come from another "
        "computer and another does not.</p>\n";
    if (results.superseded.empty()) return html;
    html += "<table>\n<tr><th>Machine</th><th>Counted</th><th>Not counted</th></tr>\n";
    for (const MachineResult& old : results.superseded) {
        const MachineResult* counted = nullptr;
        for (const MachineResult& r : results.machines)
            if (CompareNames(r.machine, old.machine) == 0) counted = &r;
        html += "<tr>" + Cell(Html(old.machine)) +
                Cell(counted ? Html(counted->file) + " (" + Html(counted->checkedAt) + ")" : std::string()) +
                Cell(Html(old.file) + " (" + Html(old.checkedAt) + ")") + "</tr>\n";
    }
    return html + "</table>\n";
}

std::string Unread(const FleetResults& results) {
    std::string html = "<h2 id=\"not-read\">Files not read (" + std::to_string(results.unread.size()) + ")</h2>\n";
    if (results.unread.empty()) return html + "<p>Every file was read.</p>\n";
    html += "<table>\n<tr><th>File</th><th>Reason</th></tr>\n";
    for (const UnreadFile& u : results.unread) html += "<tr>" + Cell(Html(u.file)) + Cell(Html(u.reason)) + "</tr>\n";
    return html + "</table>\n";
}

}  // namespace

std::string HtmlText(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            default: out += c;
        }
    }
    return out;
}

Standing StandingOf(const MachineResult& r) {
    if (r.verdict == "registration-broken" || r.verdict == "keys-refused" || r.verdict == "refused")
        return Standing::DoNotRestart;
    if (r.verdict == "unreachable") {
        if (r.failOpen) return Standing::OpenOnOutage;
        return r.recoveryCodes == 0 ? Standing::DoNotRestart : Standing::RecoveryOnly;
    }
    if (r.verdict == "exposed") return Standing::Exposed;
    if (r.verdict == "bypass") return Standing::Bypass;
    return Standing::Ready;
}

FleetReport BuildFleetReport(const FleetResults& results, const ReportOptions& options) {
    size_t counts[6] = {};
    size_t stale = 0, doubted = 0;
    for (const MachineResult& r : results.machines) {
        ++counts[static_cast<int>(StandingOf(r))];
        stale += IsStale(r, options) ? 1 : 0;
        doubted += r.doubts.empty() ? 0 : 1;
    }
    const size_t machines = results.machines.size();
    const bool allReady = machines > 0 && counts[static_cast<int>(Standing::Ready)] == machines && stale == 0 &&
                          doubted == 0 && results.unread.empty();

    FleetReport report;
    report.exitCode = counts[static_cast<int>(Standing::DoNotRestart)] > 0 ? 2 : allReady ? 0 : 1;
    const auto n = [&counts](Standing s) { return std::to_string(counts[static_cast<int>(s)]); };
    report.summary = std::to_string(machines) + (machines == 1 ? " machine: " : " machines: ") + n(Standing::DoNotRestart) + " do not restart, " +
                     n(Standing::Exposed) + " exposed, " + n(Standing::OpenOnOutage) +
                     " unreachable with FailOpen on, " + n(Standing::RecoveryOnly) +
                     " unreachable with recovery codes only, " + n(Standing::Bypass) + " bypass, " +
                     n(Standing::Ready) + " ready; " + std::to_string(stale) + " stale, " + std::to_string(doubted) +
                     " may come from another computer, " + std::to_string(results.unread.size()) + " files not read";

    std::string& html = report.html;
    html = "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n"
           "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\">\n"
           "<meta http-equiv=\"X-UA-Compatible\" content=\"IE=edge\">\n"
           // Every computer writes the results this page shows: nothing in
           // it may run, and nothing may be fetched from anywhere.
           "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; script-src 'none'; "
           "style-src 'unsafe-inline'; form-action 'none'; base-uri 'none'\">\n"
           "<title>VynGina fleet report: " +
           std::to_string(machines) + " machines</title>\n<style>" + kStyle + "</style>\n</head>\n<body>\n";
    html += "<h1>VynGina before the restart: " + std::to_string(machines) + " machines</h1>\n<p>" +
            HtmlText(report.summary) + ".</p>\n<p>Made by vyn-fleet " + HtmlText(options.toolVersion) + " from " +
            std::to_string(results.filesSeen) + " files.</p>\n";
    html += Counts(results);
    html += Standings(results, options);
    html += Stale(results, options);
    html += Versions(results);
    html += Duplicates(results);
    html += Unread(results);
    html += "</body>\n</html>\n";
    return report;
}

// vyn-fleet.exe run as an administrator runs it, over folders of result files
// as vyn-collect.cmd leaves them on a share: the page's counts and lists, its
// exit code and its summary line, and what it makes of hostile files.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <vector>

#include "common/strings.h"
#include "tests/support/child_process.h"
#include "tests/support/windows_path.h"
#include "tools/fleet/results.h"

namespace {

using json = nlohmann::json;

constexpr ULONGLONG kDay = 864000000000ULL;

// UTC now minus `days`, as vyn-check writes checked_at.
std::string DaysAgo(double days) {
    FILETIME now = {};
    ::GetSystemTimeAsFileTime(&now);
    ULONGLONG t = (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    t -= static_cast<ULONGLONG>(days * kDay);
    const FILETIME then = {static_cast<DWORD>(t), static_cast<DWORD>(t >> 32)};
    SYSTEMTIME s = {};
    ::FileTimeToSystemTime(&then, &s);
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02uZ", s.wYear, s.wMonth, s.wDay, s.wHour, s.wMinute,
                  s.wSecond);
    return text;
}

// A result as vyn-check --json writes it (schema 1).
std::string Result(const std::string& machine, const std::string& verdict, bool failOpen = false, int codes = 0,
                   double daysAgo = 0.01, const std::string& version = "1.1.8.0") {
    json doc = {{"schema", 1},
                {"machine", machine},
                {"domain", "CORP"},
                {"os", {{"version", "5.2.3790"}, {"service_pack", "Service Pack 2"}, {"architecture", "x64"}}},
                {"module_version", version},
                {"tool_version", "1.1.8.0"},
                {"checked_at", DaysAgo(daysAgo)},
                {"fail_open", failOpen},
                {"tls", "system"},
                {"recovery_codes", codes},
                {"checks",
                 {{{"name", "settings.key"}, {"status", "ok"}, {"detail", "settings: fine"}},
                  {{"name", "service.check"}, {"status", verdict == "ready" ? "ok" : "fail"},
                   {"detail", "service: " + verdict + " of " + machine}}}},
                {"verdict", verdict},
                {"sentence", "the " + verdict + " sentence."},
                {"exit_code", 0}};
    return doc.dump();
}

struct File {
    std::string name;
    std::string bytes;
};

// A folder of the test's own under the Windows temporary folder, removed after.
class Folder {
public:
    explicit Folder(const std::string& name) {
        wchar_t temp[MAX_PATH + 1] = {};
        ::GetTempPathW(MAX_PATH + 1, temp);
        path_ = std::wstring(temp) + L"vyn-fleet-" + FromUtf8(name);
        Clear();
        ::CreateDirectoryW(path_.c_str(), nullptr);
    }
    ~Folder() { Clear(); }
    Folder(const Folder&) = delete;
    Folder& operator=(const Folder&) = delete;
    // In the "\\?\" form, as a computer writing over the share names its
    // file: "nul.json" is then a file, not the device.
    void Write(const File& file) const {
        std::ofstream((L"\\\\?\\" + path_ + L"\\" + FromUtf8(file.name)).c_str(), std::ios::binary) << file.bytes;
    }
    const std::wstring& path() const { return path_; }
    std::wstring Page() const { return path_ + L".html"; }

private:
    void Clear() {
        WIN32_FIND_DATAW found = {};
        const HANDLE search = ::FindFirstFileW((path_ + L"\\*").c_str(), &found);
        if (search != INVALID_HANDLE_VALUE) {
            do ::DeleteFileW((L"\\\\?\\" + path_ + L"\\" + found.cFileName).c_str());
            while (::FindNextFileW(search, &found));
            ::FindClose(search);
        }
        ::RemoveDirectoryW(path_.c_str());
        ::DeleteFileW(Page().c_str());
    }
    std::wstring path_;
};

std::string ReadAll(const std::wstring& path) {
    std::ifstream file(path.c_str(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

ChildRun RunFleet(const std::wstring& args) {
    return RunChild(WindowsPath(VYN_FLEET_PATH), args, ChildStderr::Merged);
}

// The page's parts, read back from its markup.
std::string SectionOf(const std::string& page, const std::string& id) {
    const size_t start = page.find("<h2 id=\"" + id + "\">");
    if (start == std::string::npos) return std::string();
    const size_t end = page.find("<h2", start + 1);
    return page.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

// The first cell of each row of a section, up to its first tag: the machine
// (or the file) as the page writes it.
std::vector<std::string> FirstCells(const std::string& section) {
    std::vector<std::string> cells;
    const std::regex row("<tr><td>([^<]*)");
    for (auto it = std::sregex_iterator(section.begin(), section.end(), row); it != std::sregex_iterator(); ++it) {
        std::string cell = (*it)[1];
        while (!cell.empty() && cell.back() == ' ') cell.pop_back();
        cells.push_back(cell);
    }
    return cells;
}

std::vector<std::string> SecondCells(const std::string& section) {
    std::vector<std::string> cells;
    const std::regex row("<tr><td>[^<]*</td><td>([^<]*)</td>");
    for (auto it = std::sregex_iterator(section.begin(), section.end(), row); it != std::sregex_iterator(); ++it)
        cells.push_back((*it)[1]);
    return cells;
}

std::map<std::string, int> Counts(const std::string& page) {
    std::map<std::string, int> counts;
    const std::regex row("<tr><th>([a-z-]+)</th><td><span class=\"bar [^\"]*\" style=\"width:[0-9]+px\"></span>([0-9]+)</td>");
    const std::string part = SectionOf(page, "counts");
    for (auto it = std::sregex_iterator(part.begin(), part.end(), row); it != std::sregex_iterator(); ++it)
        counts[(*it)[1]] = std::stoi((*it)[2]);
    return counts;
}

size_t Occurrences(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

using Names = std::vector<std::string>;
// registration-broken, keys-refused, refused, unreachable, exposed, bypass, ready
using VerdictCounts = std::vector<int>;

const char* const kVerdicts[] = {"registration-broken", "keys-refused", "refused", "unreachable",
                                 "exposed",             "bypass",       "ready"};

const std::string kHostileName = "<script>document.title='RAN'+'-BY-SCRIPT'</script>\"q\"";
const std::string kHostileShown =
    "&lt;script&gt;document.title=&#39;RAN&#39;+&#39;-BY-SCRIPT&#39;&lt;/script&gt;&quot;q&quot;";

struct Row {
    const char* name;
    std::vector<File> files;
    DWORD exitCode;
    VerdictCounts counts;
    Names doNotRestart, exposed, openOnOutage, recoveryOnly, bypass, ready, stale;
    Names duplicates;                       // machines with a result not counted
    Names duplicateFiles;                   // the files not counted
    Names unreadFiles, unreadReasons;       // Files not read
    size_t doubts;                          // results flagged as maybe from another computer
    const char* summary;
};

TEST(FleetReport, FoldersOfResultsBecomeTheirCountsAndLists) {
    const std::string deep = std::string(40, '[') + std::string(40, ']');
    const std::string big = Result("BIG", "ready") + std::string(1024 * 1024, ' ');
    // A name in Latin-1, as a program that does not write UTF-8 would leave it.
    std::string latin1 = Result("LATIN", "ready");
    latin1.replace(latin1.find("LATIN"), 5, "L\xE9");
    json many = json::parse(Result("MANY", "ready"));
    while (many.at("checks").size() <= 100) many["checks"].push_back(many["checks"][0]);
    const Row rows[] = {
        {"empty", {}, 1, {0, 0, 0, 0, 0, 0, 0}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, 0,
         "0 machines: 0 do not restart, 0 exposed, 0 unreachable with FailOpen on, 0 unreachable with recovery codes "
         "only, 0 bypass, 0 ready; 0 stale, 0 may come from another computer, 0 files not read"},
        {"each",
         {{"RB.json", Result("RB", "registration-broken")},
          {"KR.json", Result("KR", "keys-refused")},
          {"RF.json", Result("RF", "refused")},
          {"UC.json", Result("UC", "unreachable", false, 0)},
          {"UO.json", Result("UO", "unreachable", true, 0)},
          {"UR.json", Result("UR", "unreachable", false, 3)},
          {"EX.json", Result("EX", "exposed")},
          {"BY.json", Result("BY", "bypass")},
          {"OK.json", Result("OK", "ready", false, 10, 0.01, "1.1.7.0")}},
         2, {1, 1, 1, 3, 1, 1, 1}, {"KR", "RB", "RF", "UC"}, {"EX"}, {"UO"}, {"UR"}, {"BY"}, {"OK"}, {}, {}, {}, {},
         {}, 0,
         "9 machines: 4 do not restart, 1 exposed, 1 unreachable with FailOpen on, 1 unreachable with recovery codes "
         "only, 1 bypass, 1 ready; 0 stale, 0 may come from another computer, 0 files not read"},
        {"bad-files",
         {{"A.json", Result("A", "ready")},
          {"garbage.json", "<html>not json</html>"},
          {"big.json", big},
          {"deep.json", deep},
          {"latin1.json", latin1},
          {"many.json", many.dump()},
          {"old.json", R"({"checks":[],"verdict":"ready","sentence":"s","exit_code":0})"},
          {"notes.txt", "not a result"}},
         1, {0, 0, 0, 0, 0, 0, 1}, {}, {}, {}, {}, {}, {"A"}, {}, {}, {},
         {"big.json", "deep.json", "garbage.json", "latin1.json", "many.json", "old.json"},
         {"larger than 1024 KiB (" + std::to_string(big.size()) + " bytes)", "nested more than 8 levels deep",
          "not JSON, or not UTF-8 (near byte 1)",
          // Counted from 1: the byte after the Latin-1 "é", where its
          // sequence proves not to be UTF-8.
          "not JSON, or not UTF-8 (near byte " + std::to_string(latin1.find('\xE9') + 2) + ")",
          "more than 100 findings", "no &quot;schema&quot;"},
         0,
         "1 machine: 0 do not restart, 0 exposed, 0 unreachable with FailOpen on, 0 unreachable with recovery codes "
         "only, 0 bypass, 1 ready; 0 stale, 0 may come from another computer, 6 files not read"},
        // Two results for one machine, neither in a file of its name: the newer counts.
        {"duplicates-and-stale",
         {{"X1.json", Result("DUP", "unreachable", false, 0, 2)},
          {"X2.json", Result("dup", "ready", false, 5, 0.5)},
          {"OLD.json", Result("OLD", "unreachable", false, 0, 9)}},
         2, {0, 0, 0, 1, 0, 0, 1}, {"OLD"}, {}, {}, {}, {}, {"dup"}, {"OLD"}, {"DUP"}, {"X1.json"}, {}, {}, 1,
         "2 machines: 1 do not restart, 0 exposed, 0 unreachable with FailOpen on, 0 unreachable with recovery codes "
         "only, 0 bypass, 1 ready; 1 stale, 1 may come from another computer, 0 files not read"},
        {"hostile-name",
         {{"evil.json", Result(kHostileName, "ready")}, {"OK.json", Result("OK", "ready")}},
         1, {0, 0, 0, 0, 0, 0, 2}, {}, {}, {}, {}, {}, {kHostileShown, "OK"}, {}, {}, {}, {}, {}, 1,
         "2 machines: 0 do not restart, 0 exposed, 0 unreachable with FailOpen on, 0 unreachable with recovery codes "
         "only, 0 bypass, 2 ready; 0 stale, 1 may come from another computer, 0 files not read"},
        {"another-computer-wins-nothing",
         {{"VICTIM.json", Result("VICTIM", "unreachable", false, 0, 1)},
          {"INTRUDER.json", Result("VICTIM", "ready", false, 0, 0.01)}},
         2, {0, 0, 0, 1, 0, 0, 0}, {"VICTIM"}, {}, {}, {}, {}, {}, {}, {"VICTIM"}, {"INTRUDER.json"}, {}, {}, 0,
         "1 machine: 1 do not restart, 0 exposed, 0 unreachable with FailOpen on, 0 unreachable with recovery codes "
         "only, 0 bypass, 0 ready; 0 stale, 0 may come from another computer, 0 files not read"},
        // Names of devices are files on the share, and a NUL in a name ends it
        // where names are compared: neither may hang the report or pass as WEB's.
        {"device-names",
         {{"com1.json", Result("COM1", "ready")},
          {"nul.json", Result("NUL", "ready")},
          {"WEB.json", Result(std::string("WEB\0" "1", 5), "ready")}},
         1, {0, 0, 0, 0, 0, 0, 2}, {}, {}, {}, {}, {}, {"COM1", "NUL"}, {}, {}, {}, {"WEB.json"},
         {"&quot;machine&quot; holds a control character"}, 0,
         "2 machines: 0 do not restart, 0 exposed, 0 unreachable with FailOpen on, 0 unreachable with recovery codes "
         "only, 0 bypass, 2 ready; 0 stale, 0 may come from another computer, 1 files not read"},
        {"all-ready",
         {{"A.json", Result("A", "ready")}, {"B.json", Result("B", "ready")}},
         0, {0, 0, 0, 0, 0, 0, 2}, {}, {}, {}, {}, {}, {"A", "B"}, {}, {}, {}, {}, {}, 0,
         "2 machines: 0 do not restart, 0 exposed, 0 unreachable with FailOpen on, 0 unreachable with recovery codes "
         "only, 0 bypass, 2 ready; 0 stale, 0 may come from another computer, 0 files not read"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const Folder folder(row.name);
        for (const File& file : row.files) folder.Write(file);
        const ChildRun run = RunFleet(L"report \"" + folder.path() + L"\" --out \"" + folder.Page() + L"\"");
        EXPECT_EQ(run.exitCode, row.exitCode) << run.out;
        EXPECT_EQ(run.out, "vyn-fleet: " + std::string(row.summary) + "; report: " + ToUtf8(folder.Page()) + "\n");
        const std::string page = ReadAll(folder.Page());
        const std::map<std::string, int> counts = Counts(page);
        for (size_t i = 0; i < row.counts.size(); ++i)
            EXPECT_EQ(counts.count(kVerdicts[i]) ? counts.at(kVerdicts[i]) : -1, row.counts[i]) << kVerdicts[i];
        EXPECT_EQ(FirstCells(SectionOf(page, "do-not-restart")), row.doNotRestart);
        EXPECT_EQ(FirstCells(SectionOf(page, "exposed")), row.exposed);
        EXPECT_EQ(FirstCells(SectionOf(page, "unreachable-fail-open")), row.openOnOutage);
        EXPECT_EQ(FirstCells(SectionOf(page, "unreachable-recovery")), row.recoveryOnly);
        EXPECT_EQ(FirstCells(SectionOf(page, "bypass")), row.bypass);
        EXPECT_EQ(FirstCells(SectionOf(page, "ready")), row.ready);
        EXPECT_EQ(FirstCells(SectionOf(page, "stale")), row.stale);
        const std::string duplicates = SectionOf(page, "duplicates");
        EXPECT_EQ(FirstCells(duplicates), row.duplicates);
        Names notCounted;
        const std::regex last("<td>([^<]*) \\([0-9TZ:-]+\\)</td></tr>");
        for (auto it = std::sregex_iterator(duplicates.begin(), duplicates.end(), last); it != std::sregex_iterator(); ++it)
            notCounted.push_back((*it)[1]);
        EXPECT_EQ(notCounted, row.duplicateFiles);
        const std::string unread = SectionOf(page, "not-read");
        EXPECT_EQ(FirstCells(unread), row.unreadFiles);
        EXPECT_EQ(SecondCells(unread), row.unreadReasons);
        EXPECT_EQ(Occurrences(page, "<div class=\"doubt\">May come from another computer: "), row.doubts);
        // Nothing from a file becomes markup: the page's only script-like text
        // is the escaped name.
        EXPECT_EQ(page.find("<script"), std::string::npos);
        EXPECT_NE(page.find("<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; script-src "
                            "'none'; "),
                  std::string::npos);
    }
}

TEST(FleetReport, NamesTheOtherComputerAndTheUsage) {
    const Folder folder("doubts");
    folder.Write({"evil.json", Result(kHostileName, "ready")});
    const ChildRun run = RunFleet(L"report \"" + folder.path() + L"\" --out \"" + folder.Page() + L"\"");
    EXPECT_EQ(run.exitCode, 1u) << run.out;
    EXPECT_NE(ReadAll(folder.Page()).find("<div class=\"doubt\">May come from another computer: the file is named "
                                          "evil.json but the result names the machine " +
                                          kHostileShown + "</div>"),
              std::string::npos);

    for (const wchar_t* args : {L"", L"report", L"list x", L"report x --stale-days", L"report x --stale-days -1",
                                L"report x --colour red"}) {
        const ChildRun usage = RunFleet(args);
        EXPECT_EQ(usage.exitCode, 64u) << ToUtf8(args);
        EXPECT_EQ(usage.out.rfind("usage: vyn-fleet report <folder> [--out <file.html>] [--stale-days N]\n", 0), 0u)
            << usage.out;
    }
    // --stale-days moves the line: a result of 2 days is stale beyond 1.
    const Folder aged("aged");
    aged.Write({"A.json", Result("A", "ready", false, 0, 2)});
    EXPECT_EQ(RunFleet(L"report \"" + aged.path() + L"\" --out \"" + aged.Page() + L"\"").exitCode, 0u);
    EXPECT_EQ(RunFleet(L"report \"" + aged.path() + L"\" --out \"" + aged.Page() + L"\" --stale-days 1").exitCode, 1u);
    EXPECT_EQ(FirstCells(SectionOf(ReadAll(aged.Page()), "stale")), Names{"A"});
}

}  // namespace

namespace {

// Wine keeps no owners for files (it names its own user for each), so the
// owner rule is tested on the names as LookupAccountSid gives them.
TEST(FleetReport, OnlyTheComputersOwnAccountMayOwnItsResult) {
    const struct {
        const char* domain;  // of the result; "" when it names none
        const char* owner;
        const char* doubt;   // nullptr: none
    } rows[] = {
        {"CORP", "CORP\\WEB01$", nullptr},
        {"CORP", "corp\\web01$", nullptr},
        {"", "CORP\\WEB01$", nullptr},
        {"CORP", "", nullptr},
        {"CORP", "CORP\\APP03$", "the file's owner is CORP\\APP03$, not CORP\\WEB01$"},
        {"CORP", "OTHER\\WEB01$", "the file's owner is OTHER\\WEB01$, not CORP\\WEB01$"},
        {"CORP", "CORP\\WEB01", "the file's owner is CORP\\WEB01, not CORP\\WEB01$"},
        {"CORP", "BUILTIN\\Administrators", "the file's owner is BUILTIN\\Administrators, not CORP\\WEB01$"},
        {"", "S-1-5-21-1-2-3-1104", "the file's owner is S-1-5-21-1-2-3-1104, not WEB01$"},
    };
    for (const auto& row : rows) {
        MachineResult result;
        result.machine = "WEB01";
        result.domain = row.domain;
        DoubtOwner(result, row.owner);
        EXPECT_EQ(result.doubts, row.doubt ? Names{row.doubt} : Names{}) << row.owner;
    }
}

}  // namespace

namespace {

// A result file that is a link to a device (made on the Unix side, where
// Wine shows a symbolic link as the file it names): it is not read, neither
// its endless bytes nor a blocking read.
TEST(FleetReport, ReadsNoDevice) {
    const std::string unix = "/tmp/vyn-fleet-device-" + std::to_string(::GetCurrentProcessId());
    const std::wstring folder = L"Z:" + FromUtf8(unix);
    std::wstring windows = folder;
    for (wchar_t& c : windows)
        if (c == L'/') c = L'\\';
    // Wine's file attributes fail on the link itself: a plain file made after
    // it says it is there.
    const std::wstring made = windows + L"\\made";
    ASSERT_TRUE(RunUnixShell("mkdir -p " + unix + " && ln -sf /dev/zero " + unix + "/zero.json && touch " + unix +
                                 "/made",
                             [&made] { return ::GetFileAttributesW(made.c_str()) != INVALID_FILE_ATTRIBUTES; }));
    const std::wstring page = windows + L".html";
    const ChildRun run = RunFleet(L"report \"" + windows + L"\" --out \"" + page + L"\"");
    EXPECT_EQ(run.exitCode, 1u) << run.out;
    EXPECT_EQ(SecondCells(SectionOf(ReadAll(page), "not-read")),
              Names{"not a plain file (a device, a link or another reparse point)"});
    RunUnixShell("rm -rf " + unix + " " + unix + ".html",
                 [&made] { return ::GetFileAttributesW(made.c_str()) == INVALID_FILE_ATTRIBUTES; });
}

}  // namespace

// vyn-fleet: one page for a whole rollout. It reads the vyn-check results
// that vyn-collect.cmd leaves on a share, one file per computer, and writes a
// self-contained HTML report of which machines must not be restarted and why.
#include <windows.h>

#include <cwchar>
#include <string>

#include "common/handles.h"
#include "common/strings.h"
#include "tools/check/console.h"
#include "tools/fleet/page.h"
#include "tools/fleet/results.h"

namespace {

const char kUsage[] =
    "usage: vyn-fleet report <folder> [--out <file.html>] [--stale-days N]\n"
    "\n"
    "Reads every *.json result of vyn-check --json in <folder> (as vyn-collect.cmd\n"
    "writes them, one per computer) and writes one HTML page: the machines that must\n"
    "not be restarted first, then exposed, unreachable, bypass and ready ones, stale\n"
    "results, module versions and the files that could not be read.\n"
    "\n"
    "  --out FILE       the page (default: vyn-fleet-report.html)\n"
    "  --stale-days N   a result older than N days is stale (default 7)\n"
    "\n"
    "Exit codes: 0 every machine ready, 2 a machine would lock users out or break\n"
    "the logon, 1 anything else short of ready, 64 usage.\n";

constexpr int kUsageError = 64;

struct Options {
    std::wstring folder;
    std::wstring out = L"vyn-fleet-report.html";
    unsigned staleDays = 7;
};

bool ParseDays(const std::wstring& text, unsigned& days) {
    if (text.empty() || text.size() > 5) return false;
    for (const wchar_t c : text)
        if (c < L'0' || c > L'9') return false;
    days = static_cast<unsigned>(std::wcstoul(text.c_str(), nullptr, 10));
    return true;
}

bool ParseOptions(int argc, wchar_t** argv, Options& options) {
    if (argc < 3 || std::wstring(argv[1]) != L"report" || argv[2][0] == L'\0') return false;
    options.folder = argv[2];
    for (int i = 3; i < argc; ++i) {
        const std::wstring arg = argv[i];
        if (i + 1 >= argc || argv[i + 1][0] == L'\0') return false;
        if (arg == L"--out") {
            options.out = argv[++i];
        } else if (arg == L"--stale-days") {
            if (!ParseDays(argv[++i], options.staleDays)) return false;
        } else {
            return false;
        }
    }
    return true;
}

int Fail(int code, const std::string& text) {
    WriteStdText(STD_ERROR_HANDLE, "vyn-fleet: " + text + "\n");
    return code;
}

// The page goes to a temporary name beside it and is then renamed over the
// old one, so that nobody opens half a page.
bool WritePage(const std::wstring& path, const std::string& html, DWORD& error) {
    const std::wstring partial = path + L".partial";
    {
        const unique_hfile file(
            ::CreateFileW(partial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) {
            error = ::GetLastError();
            return false;
        }
        DWORD written = 0;
        if (!::WriteFile(file.get(), html.data(), static_cast<DWORD>(html.size()), &written, nullptr) ||
            written != html.size()) {
            error = ::GetLastError();
            ::DeleteFileW(partial.c_str());
            return false;
        }
    }
    if (!::MoveFileExW(partial.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        error = ::GetLastError();
        ::DeleteFileW(partial.c_str());
        return false;
    }
    return true;
}

ULONGLONG Now() {
    FILETIME now = {};
    ::GetSystemTimeAsFileTime(&now);
    return (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

int Run(const Options& options) {
    FleetResults results;
    DWORD error = 0;
    if (!ReadFleetResults(options.folder, FleetLimits(), results, error))
        return Fail(1, "cannot read the folder " + ToUtf8(options.folder) + " (error " + std::to_string(error) + ")");
    ReportOptions reportOptions;
    reportOptions.staleDays = options.staleDays;
    reportOptions.now = Now();
    reportOptions.toolVersion = VYN_TOOL_VERSION;
    const FleetReport report = BuildFleetReport(results, reportOptions);
    if (!WritePage(options.out, report.html, error))
        return Fail(1, "cannot write " + ToUtf8(options.out) + " (error " + std::to_string(error) + ")");
    WriteStdText(STD_OUTPUT_HANDLE, "vyn-fleet: " + report.summary + "; report: " + ToUtf8(options.out) + "\n");
    return report.exitCode;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    Options options;
    if (argc == 2 && (std::wstring(argv[1]) == L"--help" || std::wstring(argv[1]) == L"/?")) {
        WriteStdText(STD_OUTPUT_HANDLE, kUsage);
        return 0;
    }
    if (!ParseOptions(argc, argv, options)) {
        WriteStdText(STD_ERROR_HANDLE, kUsage);
        return kUsageError;
    }
    return Run(options);
}

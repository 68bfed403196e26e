// vyn-logon-host: plays Winlogon for a login module, outside Winlogon.
//
// It loads the module, negotiates and initialises it with a complete dispatch
// table of its own, then runs a list of steps (logons, unlocks, ...) given on
// the command line and prints what Winlogon would receive. It is a tool for
// administrators trying a module and its settings before installing it, and
// the driver of the end-to-end tests.#include <winsock2.h>
#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "tools/logon_host/dialog_watch.h"
#include "tools/logon_host/host_output.h"
#include "tools/logon_host/module_steps.h"
#include "tools/logon_host/passcode_user.h"
#include "tools/logon_host/process_resources.h"
#include "tools/logon_host/winlogon_services.h"
#include "tools/stub_msgina/stub_control.h"

namespace {

const wchar_t kUsage[] =
    L"Usage: vyn-logon-host [options] <path of the login module> [steps...]\n"
    L"\n"
    L"Loads a Winlogon login module (e.g. VynGina.dll) into this process, calls\n"
    L"WlxNegotiate and WlxInitialize as Winlogon does, runs the steps in order and\n"
    L"prints every answer the module gives Winlogon. The module loads msgina.dll as\n"
    L"it would inside Winlogon: from the system folder unless --msgina-dir says\n"
    L"otherwise.\n"
    L"\n"
    L"Options:\n"
    L"  --msgina-dir DIR        look for msgina.dll in DIR before the system folders\n"
    L"                          (e.g. the folder of the msgina test double)\n"
    L"  --stub SETTINGS         settings of the msgina test double, ';'-separated:\n"
    L"                          absent | missing=Entry,... | throw=Entry,... |\n"
    L"                          <Entry>=N | user=U | domain=D | version=N\n"
    L"  --show-log              print the module's log lines as they are written\n"
    L"  --message-box-answer N  answer every WlxMessageBox with N without showing it\n"
    L"                          (default: IDOK at once when the passcode dialog is\n"
    L"                          scripted, else show it and wait for the user); every\n"
    L"                          message box is printed with its caption and style\n"
    L"  --answer TEXT           in the passcode dialog, type TEXT and press OK\n"
    L"  --answers \"A;B;...\"     the same for each answer in turn, one per time the\n"
    L"                          dialog waits (e.g. a second try after a refusal)\n"
    L"  --press KEY             in the passcode dialog, press ok, enter, cancel,\n"
    L"                          escape or close (the caption's close button)\n"
    L"                          (--answer, --answers and --press form one script,\n"
    L"                          in command-line order; when it is used up and the\n"
    L"                          dialog is still open, Cancel is pressed. Without any,\n"
    L"                          the dialog is left to whoever sits at the display)\n"
    L"  --think MS              wait MS between typing an answer and pressing OK\n"
    L"  --recovery-code TEXT, --recovery-codes \"A;B;...\", --recovery-press KEY\n"
    L"                          the same for the recovery-code dialog (shown when\n"
    L"                          the service cannot be reached, FailOpen is 0 and\n"
    L"                          recovery codes are stored), a script of its own\n"
    L"  --cancel-after MS       press Cancel in the authentication status dialog MS\n"
    L"                          milliseconds after it opens\n"
    L"  --cancel-on TEXT        press Cancel there as soon as it shows status TEXT\n"
    L"                          (without either, the dialog is left to whoever sits\n"
    L"                          at the display; every status text shown is printed)\n"
    L"  --repeat N              run the steps N times (only the first round is\n"
    L"                          printed); then print the time per round, and the\n"
    L"                          process's handle count, private bytes and thread\n"
    L"                          count at the start, after the first round and at\n"
    L"                          the end, the most threads and handles seen at the\n"
    L"                          end of any later round, and how long after the\n"
    L"                          status dialog's Cancel that was\n"
    L"  --help                  print this text\n"
    L"\n"
    L"Steps:\n"
    L"  --logon [user=U] [domain=D] [action=N] [sas=N]\n"
    L"          Ctrl+Alt+Del at the logon screen: WlxDisplaySASNotice, then\n"
    L"          WlxLoggedOutSAS; after a logon also WlxActivateUserShell.\n"
    L"          user, domain and action (what msgina answers, 1 = logon) are passed\n"
    L"          to the msgina test double; a real msgina shows its own dialog.\n"
    L"  --unlock [action=N] [sas=N]\n"
    L"          Ctrl+Alt+Del at the locked workstation: WlxDisplayLockedNotice,\n"
    L"          then WlxWkstaLockedSAS (action: msgina's answer, 8 = unlock).\n"
    L"  --status TEXT   WlxDisplayStatusMessage with TEXT, then WlxRemoveStatusMessage\n"
    L"  --logoff        WlxIsLogoffOk, then WlxLogoff\n"
    L"  --shutdown      WlxShutdown\n"
    L"\n"
    L"Example (the module with the msgina test double):\n"
    L"  vyn-logon-host --msgina-dir C:\\vyn\\stub --message-box-answer 1 \\\n"
    L"      C:\\vyn\\VynGina.dll --logon user=alice domain=CORP --unlock\n"
    L"\n"
    L"Example (a user who answers push in the passcode dialog):\n"
    L"  vyn-logon-host --msgina-dir C:\\vyn\\stub --answer push \\\n"
    L"      C:\\vyn\\VynGina.dll --logon user=alice\n"
    L"\n"
    L"Exit status: 0 when every step ran, 2 for a usage error, 3 when the module\n"
    L"cannot be loaded or lacks WlxNegotiate/WlxInitialize.\n";

// The host's own settings from the command line; the message-box answer and
// the scripted users live with the services that use them
// (winlogon_services.h).
struct Options {
    std::wstring modulePath;
    std::wstring msginaDir;
    std::wstring stubSettings;
    bool stubSettingsGiven = false;
    bool showLog = false;
    int repeat = 1;
};
Options gOptions;

// ---- The module's log, seen in-process ---------------------------------------

// The module writes every log line to the debugger output as well; in this
// process that arrives as a DBG_PRINTEXCEPTION_C, which is echoed here.
LONG CALLBACK EchoDebugString(EXCEPTION_POINTERS* info) {
    if (info->ExceptionRecord->ExceptionCode != DBG_PRINTEXCEPTION_C) return EXCEPTION_CONTINUE_SEARCH;
    const auto length = static_cast<size_t>(info->ExceptionRecord->ExceptionInformation[0]);
    const auto* text = reinterpret_cast<const char*>(info->ExceptionRecord->ExceptionInformation[1]);
    if (text && length > 0) {
        std::string line(text, length - 1);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        std::printf("  log| %s\n", line.c_str());
        std::fflush(stdout);
    }
    return EXCEPTION_CONTINUE_EXECUTION;
}

std::wstring LogFilePath() {
    wchar_t appData[MAX_PATH] = {};
    if (FAILED(::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, appData))) return {};
    return std::wstring(appData) + L"\\Vyn Security\\vyn.log";
}

// ---- Command line ------------------------------------------------------------------

bool ParseCommandLine(int argc, wchar_t** argv, std::vector<Step>& steps) {
    auto isOption = [](const std::wstring& a) { return a.rfind(L"--", 0) == 0; };
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        const int statusDialogArgs = ParseStatusDialogOption(i, argc, argv, gHostStatusScript);
        if (statusDialogArgs < 0) return false;
        if (statusDialogArgs > 0) {
            i += statusDialogArgs - 1;
            continue;
        }
        const int recoveryArgs = ParseRecoveryOption(i, argc, argv, gRecoveryScript);
        if (recoveryArgs < 0) return false;
        if (recoveryArgs > 0) {
            i += recoveryArgs - 1;
            continue;
        }
        const int passcodeArgs = ParsePasscodeOption(i, argc, argv, gPasscodeScript);
        if (passcodeArgs < 0) return false;
        if (passcodeArgs > 0) {
            i += passcodeArgs - 1;
            continue;
        }
        auto value = [&](std::wstring& out) {
            if (i + 1 >= argc) return false;
            out = argv[++i];
            return true;
        };
        if (arg == L"--msgina-dir") {
            if (!value(gOptions.msginaDir)) return false;
        } else if (arg == L"--stub") {
            if (!value(gOptions.stubSettings)) return false;
            gOptions.stubSettingsGiven = true;
        } else if (arg == L"--show-log") {
            gOptions.showLog = true;
        } else if (arg == L"--message-box-answer") {
            std::wstring n;
            if (!value(n)) return false;
            gAnswerMessageBoxes = true;
            gMessageBoxAnswer = static_cast<int>(std::wcstol(n.c_str(), nullptr, 0));
        } else if (arg == L"--repeat") {
            std::wstring n;
            if (!value(n)) return false;
            wchar_t* end = nullptr;
            const long rounds = std::wcstol(n.c_str(), &end, 10);
            if (n.empty() || *end || rounds < 1 || rounds > 1000000) return false;
            gOptions.repeat = static_cast<int>(rounds);
        } else if (arg == L"--logon" || arg == L"--unlock") {
            Step step{arg.substr(2), {}, {}};
            while (i + 1 < argc && !isOption(argv[i + 1])) {
                const std::wstring kv = argv[++i];
                const size_t eq = kv.find(L'=');
                if (eq == std::wstring::npos) return false;
                step.params[kv.substr(0, eq)] = kv.substr(eq + 1);
            }
            steps.push_back(step);
        } else if (arg == L"--status") {
            Step step{L"status", {}, {}};
            if (!value(step.text)) return false;
            steps.push_back(step);
        } else if (arg == L"--logoff" || arg == L"--shutdown") {
            steps.push_back(Step{arg.substr(2), {}, {}});
        } else if (!isOption(arg) && gOptions.modulePath.empty()) {
            gOptions.modulePath = arg;
        } else {
            return false;
        }
    }
    // Windows paths may be written with forward slashes here.
    for (std::wstring* path : {&gOptions.modulePath, &gOptions.msginaDir})
        for (wchar_t& c : *path)
            if (c == L'/') c = L'\\';
    return !gOptions.modulePath.empty();
}

// Runs the steps gOptions.repeat times. Between rounds the host forgets what
// it recorded, so that only the module (and the platform) could grow.
int RunRounds(const std::vector<Step>& steps) {
    const bool repeating = gOptions.repeat > 1;
    if (repeating) ReportResources("at the start");
    std::vector<double> roundMs;
    int logonsRefused = 0;
    // What the rounds after the first leave behind as each ends, and how soon
    // after the status dialog's Cancel (if one was pressed) that is measured:
    // a worker or connection kept after a Cancel shows as a count that grows.
    long mostThreads = -1, mostHandles = -1;
    DWORD slowestCancelClose = 0, latestCountAfterCancel = 0;
    for (int round = 1; round <= gOptions.repeat; ++round) {
        const int cancelsBefore = gHostStatusRecord.cancelsPressed;
        gPasscodeCursor = 0;
        gLastLogonAction = -1;
        const double start = NowMs();
        for (const Step& step : steps)
            if (!RunStep(step)) {
                gQuiet = false;
                return 2;
            }
        roundMs.push_back(NowMs() - start);
        if (gLastLogonAction != -1 && gLastLogonAction != WLX_SAS_ACTION_LOGON) ++logonsRefused;
        if (!repeating) continue;
        const bool cancelled = gHostStatusRecord.cancelsPressed != cancelsBefore;
        if (cancelled)
            slowestCancelClose =
                std::max(slowestCancelClose, gHostStatusRecord.closedAt - gHostStatusRecord.cancelPressedAt);
        if (round > 1) {
            mostThreads = std::max(mostThreads, CountThreads());
            mostHandles = std::max(mostHandles, CountHandles());
            if (cancelled)
                latestCountAfterCancel =
                    std::max(latestCountAfterCancel, ::GetTickCount() - gHostStatusRecord.cancelPressedAt);
        }
        gHostStatusRecord.texts.clear();
        gMessageBoxes.clear();
        ForgetMsginaCalls();
        if (round == 1) {
            gQuiet = true;
            ReportResources("after round 1");
        }
    }
    gQuiet = false;
    if (!repeating) return 0;
    ReportResources(("after round " + std::to_string(gOptions.repeat)).c_str());
    double rest = 0, slowest = 0;
    for (size_t i = 1; i < roundMs.size(); ++i) {
        rest += roundMs[i];
        slowest = std::max(slowest, roundMs[i]);
    }
    std::vector<double> sorted(roundMs.begin() + 1, roundMs.end());
    std::sort(sorted.begin(), sorted.end());
    Report("host: rounds %d; round 1 %.1f ms; rounds 2-%d: mean %.2f ms, median %.2f ms, slowest %.1f ms",
           gOptions.repeat, roundMs[0], gOptions.repeat, rest / static_cast<double>(roundMs.size() - 1),
           sorted[sorted.size() / 2], slowest);
    Report("host: rounds whose logon did not reach WLX_SAS_ACTION_LOGON: %d", logonsRefused);
    Report("host: rounds 2-%d at their end: threads at most %ld, handles at most %ld", gOptions.repeat, mostThreads,
           mostHandles);
    if (gHostStatusRecord.cancelsPressed != 0)
        Report("host: status dialog Cancels %d: closed at most %lu ms, counted at most %lu ms after the Cancel",
               gHostStatusRecord.cancelsPressed, static_cast<unsigned long>(slowestCancelClose),
               static_cast<unsigned long>(latestCountAfterCancel));
    return 0;
}

}  // namespace

int main() {
    int argc = 0;
    wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
    for (int i = 1; i < argc; ++i)
        if (std::wstring(argv[i]) == L"--help" || std::wstring(argv[i]) == L"-h") {
            std::fputs(Utf8(kUsage).c_str(), stdout);
            return 0;
        }
    std::vector<Step> steps;
    if (!argv || !ParseCommandLine(argc, argv, steps)) {
        std::fputs(Utf8(kUsage).c_str(), stderr);
        return 2;
    }

    // Status texts are printed as they arrive, while the dialog is still up.
    gHostStatusScript.onText = [](const std::wstring& text) { Say("host: status text \"%s\"", Utf8(text).c_str()); };

    // Both take effect when the module loads msgina during its own load.
    if (gOptions.stubSettingsGiven) ::SetEnvironmentVariableW(VYN_STUB_MSGINA_ENV, gOptions.stubSettings.c_str());
    if (!gOptions.msginaDir.empty() && !::SetDllDirectoryW(gOptions.msginaDir.c_str())) {
        Say("host: cannot use %s for msgina.dll (error %lu)", Utf8(gOptions.msginaDir).c_str(), ::GetLastError());
        return 2;
    }
    if (gOptions.showLog) ::AddVectoredExceptionHandler(1, EchoDebugString);

    if (!LoadModule(gOptions.modulePath)) return 3;
    FindMsgina();

    DWORD moduleVersion = 0;
    const BOOL negotiated = gModule.WlxNegotiate(WLX_VERSION_1_4, &moduleVersion);
    ShowMsginaCalls();
    Say("host: WlxNegotiate(0x%08lX) -> %s, module version 0x%08lX", static_cast<unsigned long>(WLX_VERSION_1_4),
        negotiated ? "TRUE" : "FALSE", static_cast<unsigned long>(moduleVersion));

    static WLX_DISPATCH_VERSION_1_4 dispatch = MakeDispatchTable();
    wchar_t winstation[] = L"WinSta0";
    const BOOL initialized = gModule.WlxInitialize(winstation, kWinlogonHandle, nullptr, &dispatch, &gModuleContext);
    ShowMsginaCalls();
    Say("host: WlxInitialize -> %s, context %p", initialized ? "TRUE" : "FALSE", gModuleContext);

    const int status = RunRounds(steps);

    ::FreeLibrary(gModule.handle);
    Say("host: module unloaded; its log file is %s", Utf8(LogFilePath()).c_str());
    return status;
}

// vyn-logon-host run as an administrator would run it, with the built module
// and the msgina test double: what it prints and how it exits.
#include <gtest/gtest.h>

#include <windows.h>

#include <sstream>
#include <string>
#include <vector>

#include "tests/gina/paths.h"
#include "tests/support/log_capture.h"

namespace {

struct HostRun {
    DWORD exitCode = 0;
    std::string out;  // stdout and stderr together
    std::vector<std::string> Lines() const {
        std::vector<std::string> lines;
        std::istringstream in(out);
        for (std::string line; std::getline(in, line);) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            lines.push_back(line);
        }
        return lines;
    }
    bool Has(const std::string& line) const {
        for (const auto& l : Lines())
            if (l == line) return true;
        return false;
    }
};

HostRun RunHost(const std::wstring& arguments) {
    HostRun run;
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!::CreatePipe(&readEnd, &writeEnd, &inherit, 0)) {
        ADD_FAILURE() << "CreatePipe " << ::GetLastError();
        return run;
    }
    ::SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    startup.hStdInput = nullptr;
    std::wstring commandLine = L"\"" + WindowsPath(LOGON_HOST_PATH) + L"\" " + arguments;
    PROCESS_INFORMATION process = {};
    const BOOL started = ::CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                          &startup, &process);
    ::CloseHandle(writeEnd);
    if (!started) {
        ADD_FAILURE() << "CreateProcessW " << ::GetLastError();
        ::CloseHandle(readEnd);
        return run;
    }
    char buffer[4096];
    DWORD got = 0;
    while (::ReadFile(readEnd, buffer, sizeof buffer, &got, nullptr) && got) run.out.append(buffer, got);
    ::WaitForSingleObject(process.hProcess, 60000);
    ::GetExitCodeProcess(process.hProcess, &run.exitCode);
    ::CloseHandle(process.hProcess);
    ::CloseHandle(process.hThread);
    ::CloseHandle(readEnd);
    return run;
}

std::wstring WithStub(const std::wstring& rest) {
    return L"--msgina-dir \"" + StubMsginaDir() + L"\" --message-box-answer 1 \"" + ModulePath() + L"\" " + rest;
}

TEST(LogonHost, HelpDescribesUsage) {
    const HostRun run = RunHost(L"--help");
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(run.out.rfind("Usage: vyn-logon-host [options] <path of the login module> [steps...]", 0), 0u)
        << run.out;
}

TEST(LogonHost, UsageErrorsExitWithTwo) {
    EXPECT_EQ(RunHost(L"").exitCode, 2u);
    EXPECT_EQ(RunHost(L"--logon user=alice").exitCode, 2u);  // no module
    EXPECT_EQ(RunHost(L"x.dll --logon nonsense").exitCode, 2u);
    EXPECT_EQ(RunHost(L"x.dll --frobnicate").exitCode, 2u);
}

TEST(LogonHost, AModuleThatCannotBeLoadedExitsWithThree) {
    const HostRun run = RunHost(L"C:\\nowhere\\VynGina.dll --logon");
    EXPECT_EQ(run.exitCode, 3u);
}

TEST(LogonHost, PassThroughLogonAndUnlock) {
    const HostRun run = RunHost(WithStub(L"--show-log --logon user=alice domain=CORP --unlock"));
    EXPECT_EQ(run.exitCode, 0u) << run.out;
    EXPECT_TRUE(run.Has("host: WlxNegotiate(0x00010004) -> TRUE, module version 0x00010004")) << run.out;
    EXPECT_TRUE(run.Has("host: WlxLoggedOutSAS -> 1 WLX_SAS_ACTION_LOGON (user \"alice\", domain \"CORP\")"))
        << run.out;
    EXPECT_TRUE(run.Has("host: WlxActivateUserShell -> TRUE")) << run.out;
    EXPECT_TRUE(run.Has("host: WlxWkstaLockedSAS -> 8 WLX_SAS_ACTION_UNLOCK_WKSTA")) << run.out;
    // The module's own log lines, echoed as they are written.
    std::vector<std::string> logged;
    for (const auto& line : run.Lines())
        if (line.rfind("  log| ", 0) == 0) logged.push_back(StripLogPrefix(line.substr(7)));
    // Without settings the second-factor gate lets both through.
    EXPECT_EQ(logged, (std::vector<std::string>{std::string(99, '-'), "Entered WlxNegotiate",
                                                "Entered WlxInitialize", "Entered WlxDisplaySASNotice",
                                                "Entered WlxLoggedOutSAS",
                                                "msgina.WlxLoggedOutSAS returned WLX_SAS_ACTION_LOGON",
                                                "Logged on user: CORP\\alice", "ERROR: VynAuth not configured",
                                                "VynAuth not configured", "Unable to load configuration; bypassing",
                                                "Entered WlxActivateUserShell", "Entered WlxDisplayLockedNotice",
                                                "Entered WlxWkstaLockedSAS", "ERROR: VynAuth not configured",
                                                "VynAuth not configured", "Unable to load configuration; bypassing"}));
}

TEST(LogonHost, MsginasRefusalReachesWinlogon) {
    const HostRun run = RunHost(WithStub(L"--logon action=2 --unlock action=2"));
    EXPECT_EQ(run.exitCode, 0u) << run.out;
    EXPECT_TRUE(run.Has("host: WlxLoggedOutSAS -> 2 WLX_SAS_ACTION_NONE")) << run.out;
    EXPECT_TRUE(run.Has("host: WlxWkstaLockedSAS -> 2 WLX_SAS_ACTION_NONE")) << run.out;
}

TEST(LogonHost, PrintsNonAsciiAccountNamesAsUtf8) {
    const HostRun run = RunHost(WithStub(L"--logon user=J\u00F6rg domain=\u65E5\u672C"));
    EXPECT_EQ(run.exitCode, 0u) << run.out;
    EXPECT_TRUE(run.Has("host: WlxLoggedOutSAS -> 1 WLX_SAS_ACTION_LOGON (user \"J\xC3\xB6rg\", domain "
                        "\"\xE6\x97\xA5\xE6\x9C\xAC\")"))
        << run.out;
}

TEST(LogonHost, WithoutMsginaEveryAnswerIsZero) {
    const HostRun run = RunHost(WithStub(L"--stub absent --logon"));
    EXPECT_EQ(run.exitCode, 0u) << run.out;
    EXPECT_TRUE(run.Has("host: msgina.dll is not loaded: the module forwards nothing and answers 0")) << run.out;
    EXPECT_TRUE(run.Has("host: WlxNegotiate(0x00010004) -> FALSE, module version 0x00000000")) << run.out;
    EXPECT_TRUE(run.Has("host: WlxLoggedOutSAS -> 0 (none: module answered 0)")) << run.out;
}

}  // namespace

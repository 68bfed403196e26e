// The built module with the msgina test double: every export logs its line
// and forwards its arguments and msgina's answer unchanged, with msgina's
// context pointer; missing msgina and missing entries answer 0; nothing thrown
// inside reaches the caller.
#include <gtest/gtest.h>

#include <windows.h>

extern "C" {
#include <winwlx.h>
}

#include <functional>
#include <string>
#include <vector>

#include "gina/msgina.h"
#include "tests/gina/loaded_module.h"
#include "tests/support/log_capture.h"

namespace {

using Args = std::vector<ULONG_PTR>;

template <class T>
ULONG_PTR U(T value) {
    return (ULONG_PTR)value;
}

// Sentinel values: recognisable if they arrive, never dereferenced by the double.
const auto kDesktopHandle = reinterpret_cast<HDESK>(0xD35C);
const auto kOwner = reinterpret_cast<HWND>(0x0A11);
const auto kWinlogonHandle = reinterpret_cast<HANDLE>(0x3A11);
const auto kReserved = reinterpret_cast<PVOID>(0x5E5E);
const auto kEnvironment = reinterpret_cast<PVOID>(0xE4E4);
const auto kCredentials = reinterpret_cast<PVOID>(0xC4ED);

// One export: how to call it, the arguments msgina must receive, and what
// msgina is told to answer (which the export must return unchanged).
struct ExportCase {
    const char* name;
    bool hasResult;
    long long answer;
    std::function<long long(const LoadedModule&, PVOID context, Args& expected)> call;
};

#define VYN_EXPORT(name) m.Get<PFN_##name>(#name)

const std::vector<ExportCase>& Exports() {
    static wchar_t desktop[] = L"WinSta0\\Default";
    static wchar_t script[] = L"logon.cmd";
    static wchar_t commandLine[] = L"userinit.exe";
    static wchar_t title[] = L"Title";
    static wchar_t message[] = L"Applying computer settings";
    static wchar_t statusBuffer[64];
    static wchar_t winstation[] = L"WinSta0";
    static DWORD version, options, sasOptions;
    static LUID logonId;
    static HANDLE token;
    static WLX_MPR_NOTIFY_INFO mpr;
    static PVOID profile, initContext;
    static BYTE sid[SECURITY_MAX_SID_SIZE];
    static WLX_DISPATCH_VERSION_1_4 dispatch;
    static const std::vector<ExportCase> cases = {
        {"WlxNegotiate", true, 0x55,
         [](const LoadedModule& m, PVOID, Args& a) {
             a = {WLX_VERSION_1_4, U(&version)};
             return (long long)VYN_EXPORT(WlxNegotiate)(WLX_VERSION_1_4, &version);
         }},
        {"WlxInitialize", true, 0x56,
         [](const LoadedModule& m, PVOID, Args& a) {
             a = {U(winstation), U(kWinlogonHandle), U(kReserved), U(&dispatch), U(&initContext)};
             return (long long)VYN_EXPORT(WlxInitialize)(winstation, kWinlogonHandle, kReserved, &dispatch,
                                                         &initContext);
         }},
        {"WlxDisplaySASNotice", false, 0,
         [](const LoadedModule& m, PVOID c, Args& a) {
             a = {U(c)};
             VYN_EXPORT(WlxDisplaySASNotice)(c);
             return 0LL;
         }},
        // Not a logon: an answer the module passes through untouched.
        {"WlxLoggedOutSAS", true, WLX_SAS_ACTION_SHUTDOWN_REBOOT,
         [](const LoadedModule& m, PVOID c, Args& a) {
             a = {U(c), WLX_SAS_TYPE_CTRL_ALT_DEL, U(&logonId), U(sid), U(&sasOptions), U(&token), U(&mpr),
                  U(&profile)};
             return (long long)VYN_EXPORT(WlxLoggedOutSAS)(c, WLX_SAS_TYPE_CTRL_ALT_DEL, &logonId, sid,
                                                           &sasOptions, &token, &mpr, &profile);
         }},
        {"WlxActivateUserShell", true, 0x57,
         [](const LoadedModule& m, PVOID c, Args& a) {
             a = {U(c), U(desktop), U(script), U(kEnvironment)};
             return (long long)VYN_EXPORT(WlxActivateUserShell)(c, desktop, script, kEnvironment);
         }},
        {"WlxLoggedOnSAS", true, WLX_SAS_ACTION_TASKLIST,
         [](const LoadedModule& m, PVOID c, Args& a) {
             a = {U(c), WLX_SAS_TYPE_CTRL_ALT_DEL, U(kReserved)};
             return (long long)VYN_EXPORT(WlxLoggedOnSAS)(c, WLX_SAS_TYPE_CTRL_ALT_DEL, kReserved);
         }},
        {"WlxDisplayLockedNotice", false, 0,
         [](const LoadedModule& m, PVOID c, Args& a) {
             a = {U(c)};
             VYN_EXPORT(WlxDisplayLockedNotice)(c);
             return 0LL;
         }},
        {"WlxIsLockOk", true, 0,
         [](const LoadedModule& m, PVOID c, Args& a) {
             a = {U(c)};
             return (long long)VYN_EXPORT(WlxIsLockOk)(c);
         }},
        {"WlxWkstaLockedSAS", true, WLX_SAS_ACTION_LOGOFF,
         [](const LoadedModule& m, PVOID c, Args& a) {
             a = {U(c), WLX_SAS_TYPE_SCRNSVR_TIMEOUT};
             return (long long)VYN_EXPORT(WlxWkstaLockedSAS)(c, WLX_SAS_TYPE_SCRNSVR_TIMEOUT);
         }},
        {"WlxIsLogoffOk", true, 0x58,
         [](const LoadedModule& m, PVOID c, Args& a) {
             a = {U(c)};
             return (long long)VYN_EXPORT(WlxIsLogoffOk)(c);
         }},
        {"WlxLogoff", false, 0,
         [](const LoadedModule& m, PVOID c, Args& a) {
             a = {U(c)};
             VYN_EXPORT(WlxLogoff)(c);
             return 0LL;
         }},
        {"WlxShutdown", false, 0,
         [](const LoadedModule& m, PVOID c, Args& a) {
             a = {U(c), WLX_SAS_ACTION_SHUTDOWN_POWER_OFF};
             VYN_EXPORT(WlxShutdown)(c, WLX_SAS_ACTION_SHUTDOWN_POWER_OFF);
             return 0LL;
         }},
        {"WlxStartApplication", true, 0x59,
         [](const LoadedModule& m, PVOID c, Args& a) {
             a = {U(c), U(desktop), U(kEnvironment), U(commandLine)};
             return (long long)VYN_EXPORT(WlxStartApplication)(c, desktop, kEnvironment, commandLine);
         }},
        {"WlxNetworkProviderLoad", true, 0x5A,
         [](const LoadedModule& m, PVOID c, Args& a) {
             a = {U(c), U(&mpr)};
             return (long long)VYN_EXPORT(WlxNetworkProviderLoad)(c, &mpr);
         }},
        {"WlxDisplayStatusMessage", true, 0x5B,
         [](const LoadedModule& m, PVOID c, Args& a) {
             a = {U(c), U(kDesktopHandle), 0x1234, U(title), U(message)};
             return (long long)VYN_EXPORT(WlxDisplayStatusMessage)(c, kDesktopHandle, 0x1234, title, message);
         }},
        {"WlxGetStatusMessage", true, 0x5C,
         [](const LoadedModule& m, PVOID c, Args& a) {
             a = {U(c), U(&options), U(statusBuffer), 64};
             return (long long)VYN_EXPORT(WlxGetStatusMessage)(c, &options, statusBuffer, 64);
         }},
        {"WlxRemoveStatusMessage", true, 0x5D,
         [](const LoadedModule& m, PVOID c, Args& a) {
             a = {U(c)};
             return (long long)VYN_EXPORT(WlxRemoveStatusMessage)(c);
         }},
        {"WlxGetConsoleSwitchCredentials", true, 0x5E,
         [](const LoadedModule& m, PVOID c, Args& a) {
             a = {U(c), U(kCredentials)};
             return (long long)VYN_EXPORT(WlxGetConsoleSwitchCredentials)(c, kCredentials);
         }},
        {"WlxReconnectNotify", false, 0,
         [](const LoadedModule& m, PVOID c, Args& a) {
             a = {U(c)};
             VYN_EXPORT(WlxReconnectNotify)(c);
             return 0LL;
         }},
        {"WlxDisconnectNotify", false, 0,
         [](const LoadedModule& m, PVOID c, Args& a) {
             a = {U(c)};
             VYN_EXPORT(WlxDisconnectNotify)(c);
             return 0LL;
         }},
        {"ShellShutdownDialog", true, 0x4000,
         [](const LoadedModule& m, PVOID, Args& a) {
             a = {U(kOwner), 0xFFFFFFFF, 7};
             return (long long)VYN_EXPORT(ShellShutdownDialog)(kOwner, 0xFFFFFFFF, 7);
         }},
    };
    return cases;
}

std::string EnteredLine(const std::string& name) {
    return name == "WlxDisplayStatusMessage" ? "Entered WlxDisplayStatusMessage: Applying computer settings"
                                             : "Entered " + name;
}

std::wstring Wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }

std::string CaseName(const testing::TestParamInfo<ExportCase>& info) { return info.param.name; }

// Gets msgina's context the way Winlogon does: from WlxInitialize.
PVOID Initialize(const LoadedModule& m) {
    static WLX_DISPATCH_VERSION_1_4 dispatch = {};
    wchar_t winstation[] = L"WinSta0";
    PVOID context = nullptr;
    EXPECT_TRUE(m.Get<PFN_WlxInitialize>("WlxInitialize")(winstation, kWinlogonHandle, nullptr, &dispatch,
                                                           &context));
    return context;
}

class Forwarding : public testing::TestWithParam<ExportCase> {};

TEST_P(Forwarding, LogsThenPassesArgumentsAndAnswerUnchanged) {
    const ExportCase& c = GetParam();
    LoadedModule m(L"");
    ASSERT_TRUE(m.handle && m.IsStub());
    const PVOID context = Initialize(m);
    ASSERT_NE(context, nullptr);
    ASSERT_EQ(context, m.StubContext());
    ASSERT_TRUE(m.Configure(Wide(c.name) + L"=" + std::to_wstring(c.answer)));
    m.ClearCalls();

    LogCapture capture;
    Args expected;
    const long long result = c.call(m, context, expected);

    if (c.hasResult) {
        EXPECT_EQ(result, c.answer);
    }
    const auto calls = m.Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_STREQ(calls[0].name, c.name);
    EXPECT_EQ(Args(calls[0].args, calls[0].args + calls[0].argCount), expected);
    const auto lines = capture.Texts();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), EnteredLine(c.name));
}

INSTANTIATE_TEST_SUITE_P(EveryExport, Forwarding, testing::ValuesIn(Exports()), CaseName);

class MissingEntry : public testing::TestWithParam<ExportCase> {};

TEST_P(MissingEntry, LogsAndAnswersZeroWithoutCallingMsgina) {
    const ExportCase& c = GetParam();
    LoadedModule m(L"missing=" + Wide(c.name));
    ASSERT_TRUE(m.handle && m.IsStub());
    ASSERT_EQ(::GetProcAddress(m.msgina, c.name), nullptr);  // the double really hides it
    LogCapture capture;
    Args expected;
    EXPECT_EQ(c.call(m, reinterpret_cast<PVOID>(0xC0C0), expected), 0);
    for (const auto& call : m.Calls()) EXPECT_STRNE(call.name, c.name);
    EXPECT_EQ(capture.Texts(), std::vector<std::string>{EnteredLine(c.name)});
}

INSTANTIATE_TEST_SUITE_P(EveryExport, MissingEntry, testing::ValuesIn(Exports()), CaseName);

class ThrowingEntry : public testing::TestWithParam<ExportCase> {};

TEST_P(ThrowingEntry, IsStoppedAtTheExportAndAnswersSafely) {
    const ExportCase& c = GetParam();
    LoadedModule m(L"throw=" + Wide(c.name));
    ASSERT_TRUE(m.handle && m.IsStub());
    LogCapture capture;
    Args expected;
    long long result = -1;
    EXPECT_NO_THROW(result = c.call(m, reinterpret_cast<PVOID>(0xC0C0), expected));
    const std::string name = c.name;
    // A failed logon or unlock is refused; elsewhere msgina's answer is unknown.
    const bool gate = name == "WlxLoggedOutSAS" || name == "WlxWkstaLockedSAS";
    if (c.hasResult) {
        EXPECT_EQ(result, gate ? WLX_SAS_ACTION_NONE : 0);
    }
    EXPECT_EQ(capture.Texts(),
              (std::vector<std::string>{EnteredLine(name), "ERROR: Unexpected exception in " + name +
                                                               ": stub msgina: " + name + " failed"}));
}

INSTANTIATE_TEST_SUITE_P(EveryExport, ThrowingEntry, testing::ValuesIn(Exports()), CaseName);

TEST(ContextPointer, MsginasContextReachesMsginaInEveryLaterCall) {
    LoadedModule m(L"");
    ASSERT_TRUE(m.handle && m.IsStub());
    const PVOID context = Initialize(m);
    ASSERT_EQ(context, m.StubContext());
    m.ClearCalls();
    for (const auto& c : Exports()) {
        if (std::string(c.name) == "WlxNegotiate" || std::string(c.name) == "WlxInitialize" ||
            std::string(c.name) == "ShellShutdownDialog")
            continue;
        Args expected;
        c.call(m, context, expected);
    }
    const auto calls = m.Calls();
    EXPECT_EQ(calls.size(), Exports().size() - 3);
    for (const auto& call : calls) EXPECT_EQ(call.args[0], U(context)) << call.name;
}

TEST(NegotiateAndInitialize, PassMsginasVersionAndAnswers) {
    LoadedModule m(L"version=0x10003;WlxInitialize=0");
    ASSERT_TRUE(m.handle && m.IsStub());
    DWORD version = 0;
    EXPECT_TRUE(m.Get<PFN_WlxNegotiate>("WlxNegotiate")(WLX_VERSION_1_4, &version));
    EXPECT_EQ(version, static_cast<DWORD>(WLX_VERSION_1_3));
    // msgina's FALSE comes back as it is.
    static WLX_DISPATCH_VERSION_1_4 dispatch = {};
    wchar_t winstation[] = L"WinSta0";
    PVOID context = nullptr;
    EXPECT_FALSE(m.Get<PFN_WlxInitialize>("WlxInitialize")(winstation, kWinlogonHandle, nullptr, &dispatch,
                                                            &context));
}

TEST(MissingMsgina, EveryExportLogsAndAnswersZero) {
    // The double refuses to load: the module finds no msgina at all, whatever
    // the system folder holds.
    LoadedModule m(L"absent");
    ASSERT_NE(m.handle, nullptr);
    ASSERT_EQ(m.msgina, nullptr);
    for (const auto& c : Exports()) {
        LogCapture capture;
        Args expected;
        EXPECT_EQ(c.call(m, nullptr, expected), 0) << c.name;
        EXPECT_EQ(capture.Texts(), std::vector<std::string>{EnteredLine(c.name)});
    }
}

TEST(Unloading, ReleasesMsginaWithTheModule) {
    {
        LoadedModule m(L"");
        ASSERT_NE(m.handle, nullptr);
        ASSERT_NE(::GetModuleHandleW(L"msgina.dll"), nullptr);
    }
    EXPECT_EQ(::GetModuleHandleW(ModulePath().c_str()), nullptr);
    EXPECT_EQ(::GetModuleHandleW(L"msgina.dll"), nullptr);
}

struct StatusCase {
    const char* label;
    const wchar_t* message;  // null: no message at all
    std::string logged;
};

class StatusMessage : public testing::TestWithParam<StatusCase> {};

TEST_P(StatusMessage, LogsTheMessageAsUtf8AndNeverTheTitle) {
    const StatusCase& c = GetParam();
    LoadedModule m(L"");
    ASSERT_TRUE(m.handle && m.IsStub());
    wchar_t title[] = L"Window title";
    std::wstring text = c.message ? c.message : L"";
    PWSTR message = c.message ? &text[0] : nullptr;
    LogCapture capture;
    EXPECT_TRUE(m.Get<PFN_WlxDisplayStatusMessage>("WlxDisplayStatusMessage")(nullptr, nullptr, 0, title, message));
    EXPECT_EQ(capture.Texts(), std::vector<std::string>{"Entered WlxDisplayStatusMessage: " + c.logged});
    const auto calls = m.Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].args[4], U(message));
}

INSTANTIATE_TEST_SUITE_P(
    Messages, StatusMessage,
    testing::Values(StatusCase{"Empty", L"", ""}, StatusCase{"Null", nullptr, ""},
                    StatusCase{"Ascii", L"Applying your personal settings...", "Applying your personal settings..."},
                    StatusCase{"NonAscii", L"Pers\u00F6nliche Einstellungen \u2026 \u65E5\u672C \U0001F512",
                               "Pers\xC3\xB6nliche Einstellungen \xE2\x80\xA6 \xE6\x97\xA5\xE6\x9C\xAC "
                               "\xF0\x9F\x94\x92"}),
    [](const testing::TestParamInfo<StatusCase>& info) { return std::string(info.param.label); });

}  // namespace

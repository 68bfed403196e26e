// vyn-logon-host run as an administrator would run it, with the built module
// and the msgina test double: what it prints and how it exits.
#include <gtest/gtest.h>

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/config/registry_helpers.h"
#include "tests/gina/paths.h"
#include "tests/support/child_process.h"
#include "tests/support/log_capture.h"
#include "tests/support/refservice.h"
#include "tests/support/target_tls.h"

namespace {

// What the host printed (standard output and error together) and its exit status.
struct HostRun : ChildRun {
    bool Has(const std::string& line) const {
        for (const auto& l : Lines())
            if (l == line) return true;
        return false;
    }
};

HostRun RunHost(const std::wstring& arguments) {
    return HostRun{RunChild(WindowsPath(LOGON_HOST_PATH), arguments, ChildStderr::Merged)};
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

// No settings: the module lets every logon and unlock through.
void RemoveSettings() {
    testreg::DeleteKey(testreg::kPolicyKey);
    testreg::DeleteKey(testreg::kNormalKey);
}

TEST(LogonHost, PassThroughLogonAndUnlock) {
    RemoveSettings();
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
    EXPECT_EQ(logged,
              (std::vector<std::string>{
                  std::string(99, '-'), "Entered WlxNegotiate", "Entered WlxInitialize", "Entered WlxDisplaySASNotice",
                  "Entered WlxLoggedOutSAS", "msgina.WlxLoggedOutSAS returned WLX_SAS_ACTION_LOGON",
                  "Logged on user: CORP\\alice", "ERROR: VynAuth not configured", "VynAuth not configured",
                  "Unable to load configuration; bypassing", "Entered WlxActivateUserShell",
                  "Entered WlxDisplayLockedNotice", "Entered WlxWkstaLockedSAS", "ERROR: VynAuth not configured",
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

// ---- The scripted user of the passcode dialog, against the reference service ----

// The module configured for a tenant of the reference service that asks alice
// for a second factor, accepts the passcode 123456 and refuses anything else.
class ScriptedUser : public ::testing::Test {
protected:
    void SetUp() override {
        RemoveSettings();
        ikey_ = refservice::UniqueIkey();
        const std::string scenario = R"({
            "users": {"alice": {"result": "auth", "status": "Account active"}},
            "answers": {"123456": {"statuses": [{"result": "allow", "status": "Success"}]}},
            "unknown_answer": {"statuses": [{"result": "deny", "status": "Incorrect passcode"}]}})";
        std::string error;
        ASSERT_TRUE(refservice::LoadScenario(ikey_, kSkey, scenario, &error)) << error;
        testreg::SetString(testreg::kNormalKey, "Host", "localhost:" + std::to_string(refservice::Port()));
        testreg::SetString(testreg::kNormalKey, "IKey", ikey_);
        testreg::SetString(testreg::kNormalKey, "SKey", kSkey);
        testreg::SetDword(testreg::kNormalKey, "FailOpen", 0);
        testreg::SetDword(testreg::kNormalKey, "AutoPush", 0);
    }
    void TearDown() override { RemoveSettings(); }

    // The "auto" answers the service received, in order.
    std::vector<std::string> AnswersSent() const {
        std::vector<std::string> answers;
        for (const RecordedRequest& request : refservice::Requests(ikey_)) {
            if (request.target != "/rest/v1/auth.bson") continue;
            const size_t at = request.body.find("auto=");
            answers.push_back(at == std::string::npos ? "?" : request.body.substr(at + 5, request.body.find('&', at) - at - 5));
        }
        return answers;
    }

    static constexpr const char* kSkey = "host-test-secret-key-0000000000000000000";
    std::string ikey_;
};

// Only what the host prints about the passcode dialog, its message boxes and
// what Winlogon received, in order.
std::vector<std::string> Conversation(const HostRun& run) {
    std::vector<std::string> kept;
    for (const auto& line : run.Lines())
        if (line.rfind("host: passcode dialog", 0) == 0 || line.rfind("host: WlxMessageBox", 0) == 0 ||
            line.rfind("host: WlxDialogBoxParam template 12325", 0) == 0 ||
            line.rfind("host: WlxLoggedOutSAS", 0) == 0)
            kept.push_back(line);
    return kept;
}

TEST_F(ScriptedUser, TypesTheAnswerAndPressesOk) {
    const HostRun run = RunHost(L"--msgina-dir \"" + StubMsginaDir() + L"\" --answer 123456 \"" + ModulePath() +
                                L"\" --logon user=alice");
    EXPECT_EQ(run.exitCode, 0u) << run.out;
    EXPECT_EQ(Conversation(run), (std::vector<std::string>{
                                     "host: passcode dialog shown",
                                     "host: passcode dialog: typed \"123456\"",
                                     "host: passcode dialog: pressed OK",
                                     "host: WlxDialogBoxParam template 12325 -> 1",
                                     "host: WlxLoggedOutSAS -> 1 WLX_SAS_ACTION_LOGON (user \"alice\", domain \"\")",
                                 }))
        << run.out;
    EXPECT_EQ(AnswersSent(), (std::vector<std::string>{"123456"}));
}

// A refusal leaves the dialog open with its message box, answered at once;
// the second answer replaces the first in the field.
TEST_F(ScriptedUser, SecondAnswerAfterARefusal) {
    const HostRun run = RunHost(L"--msgina-dir \"" + StubMsginaDir() + L"\" --answers \"4711;123456\" \"" +
                                ModulePath() + L"\" --logon user=alice");
    EXPECT_EQ(run.exitCode, 0u) << run.out;
    EXPECT_EQ(Conversation(run), (std::vector<std::string>{
                                     "host: passcode dialog shown",
                                     "host: passcode dialog: typed \"4711\"",
                                     "host: passcode dialog: pressed OK",
                                     "host: WlxMessageBox caption \"Vyn Security\" style 0x10 text \"Incorrect passcode\"",
                                     "host: WlxMessageBox answered 1 (scripted)",
                                     "host: passcode dialog: typed \"123456\"",
                                     "host: passcode dialog: pressed OK",
                                     "host: WlxDialogBoxParam template 12325 -> 1",
                                     "host: WlxLoggedOutSAS -> 1 WLX_SAS_ACTION_LOGON (user \"alice\", domain \"\")",
                                 }))
        << run.out;
    EXPECT_EQ(AnswersSent(), (std::vector<std::string>{"4711", "123456"}));
}

// Each way of leaving the dialog, with the value it ends with; an empty OK
// first shows the prompt and sends nothing.
TEST_F(ScriptedUser, LeavingTheDialog) {
    const struct {
        const wchar_t* press;
        const char* said;
        int dialogEnd;
    } kCases[] = {
        {L"cancel", "host: passcode dialog: pressed Cancel", 2},
        {L"escape", "host: passcode dialog: pressed Escape", 2},
        {L"close", "host: passcode dialog: pressed the close button", 8},
    };
    for (const auto& c : kCases) {
        const HostRun run = RunHost(L"--msgina-dir \"" + StubMsginaDir() + L"\" --press ok --press " + c.press +
                                    L" \"" + ModulePath() + L"\" --logon user=alice");
        EXPECT_EQ(run.exitCode, 0u) << run.out;
        EXPECT_EQ(Conversation(run),
                  (std::vector<std::string>{
                      "host: passcode dialog shown",
                      "host: passcode dialog: pressed OK",
                      "host: WlxMessageBox caption \"Vyn Security\" style 0x10 text \"Please enter your Vyn passcode.\"",
                      "host: WlxMessageBox answered 1 (scripted)",
                      c.said,
                      "host: WlxDialogBoxParam template 12325 -> " + std::to_string(c.dialogEnd),
                      "host: WlxLoggedOutSAS -> 2 WLX_SAS_ACTION_NONE",
                  }))
            << run.out;
    }
    EXPECT_TRUE(AnswersSent().empty());
}

// Enter in the field acts as OK; a script used up leaves no dialog waiting.
TEST_F(ScriptedUser, EnterSubmitsAndAUsedUpScriptCancels) {
    const HostRun run = RunHost(L"--msgina-dir \"" + StubMsginaDir() + L"\" --answers 4711 --press enter \"" +
                                ModulePath() + L"\" --logon user=alice");
    EXPECT_EQ(run.exitCode, 0u) << run.out;
    EXPECT_EQ(AnswersSent(), (std::vector<std::string>{"4711", "4711"}));
    EXPECT_TRUE(run.Has("host: passcode dialog: script used up")) << run.out;
    EXPECT_TRUE(run.Has("host: WlxDialogBoxParam template 12325 -> 2")) << run.out;
}

// --repeat prints the first round only, then the rounds' summary.
TEST_F(ScriptedUser, RepeatedLogonsAreSummed) {
    const HostRun run = RunHost(L"--msgina-dir \"" + StubMsginaDir() + L"\" --answer 123456 --repeat 3 \"" +
                                ModulePath() + L"\" --logon user=alice");
    EXPECT_EQ(run.exitCode, 0u) << run.out;
    EXPECT_EQ(AnswersSent(), (std::vector<std::string>{"123456", "123456", "123456"}));
    int logons = 0, resources = 0, rounds = 0;
    for (const auto& line : run.Lines()) {
        logons += line.rfind("host: WlxLoggedOutSAS -> 1 ", 0) == 0;
        resources += line.rfind("host: resources ", 0) == 0;
        rounds += line.rfind("host: rounds 3; round 1 ", 0) == 0;
    }
    EXPECT_EQ(logons, 1) << run.out;
    EXPECT_EQ(resources, 3) << run.out;
    EXPECT_EQ(rounds, 1) << run.out;
    EXPECT_TRUE(run.Has("host: rounds whose logon did not reach WLX_SAS_ACTION_LOGON: 0")) << run.out;
}

TEST(LogonHost, MalformedPasscodeOptionsAreUsageErrors) {
    EXPECT_EQ(RunHost(L"x.dll --press sideways --logon").exitCode, 2u);
    EXPECT_EQ(RunHost(L"x.dll --think soon --logon").exitCode, 2u);
    EXPECT_EQ(RunHost(L"x.dll --repeat 0 --logon").exitCode, 2u);
    EXPECT_EQ(RunHost(L"x.dll --logon --answer").exitCode, 2u);
}

// ---- Which TLS client reaches the service, with the target's TLS emulated ----

// What the module's log (echoed by the host) says of the TLS clients.
struct ClientLines {
    int system = 0;       // "DEBUG: Connected ... through the system's TLS (WinHTTP)"
    int module = 0;       // "DEBUG: Connected ... through the module's own TLS client (<version>)"
    int handedOver = 0;   // the warning of a failed system handshake
    std::string version;  // of the module's client's last connection
    std::vector<std::string> errors;  // "ERROR: " lines
};

// Whether an "ERROR: " line reports `code`: in WinHTTP's words ("[12175]"), or
// in the system-call form where the platform has no text for it ("(12175)").
bool ReportsCode(const std::string& error, unsigned code) {
    const std::string number = std::to_string(code);
    return error.find("[" + number + "]") != std::string::npos || error.find("(" + number + ")") != std::string::npos;
}

ClientLines TlsClientLines(const HostRun& run, uint16_t port) {
    const std::string where = "localhost:" + std::to_string(port);
    const std::string moduleLine = "DEBUG: Connected to " + where + " through the module's own TLS client (";
    ClientLines seen;
    for (const auto& line : run.Lines()) {
        if (line.rfind("  log| ", 0) != 0) continue;
        const std::string text = StripLogPrefix(line.substr(7));
        seen.system += text == "DEBUG: Connected to " + where + " through the system's TLS (WinHTTP)";
        seen.handedOver += text == "WARNING: The system's TLS could not connect to " + where +
                                       "; trying the module's own TLS client";
        if (text.rfind(moduleLine, 0) == 0) {
            ++seen.module;
            seen.version = text.substr(moduleLine.size(), text.size() - moduleLine.size() - 1);
        }
        if (text.rfind("ERROR: ", 0) == 0) seen.errors.push_back(text);
    }
    return seen;
}

// A logon through the real module in the logon host, against one instance of
// the service, its debug log echoed.
class TlsSelection : public ScriptedUser {
protected:
    void Serve(refservice::Instance instance) {
        instance_ = std::make_unique<refservice::ScopedInstance>(instance);
        port_ = refservice::PortOf(instance);
        SetUp();  // the tenant on that instance
        testreg::SetString(testreg::kNormalKey, "Host", "localhost:" + std::to_string(port_));
        testreg::SetDword(testreg::kNormalKey, "Debug", 1);
    }
    HostRun Logon() {
        return RunHost(L"--msgina-dir \"" + StubMsginaDir() + L"\" --show-log --message-box-answer 1 --answer 123456 \"" +
                       ModulePath() + L"\" --logon user=alice");
    }
    std::unique_ptr<refservice::ScopedInstance> instance_;
    uint16_t port_ = 0;
};

// Each row one logon: where the system's TLS cannot reach the service the
// module's own client takes the same attempt over and the logon gets its
// second factor; where it can, nothing goes through the module's client.
TEST_F(TlsSelection, TheClientThatCanReachTheServiceCarriesTheLogon) {
    const struct {
        const char* name;
        refservice::Instance instance;
        bool targetsTls;  // the schannel switches on
        int tls;          // the "Tls" setting; -1 absent
        bool loggedOn;
        bool throughModule;
        const char* version;  // of the module's client
        int handedOver;
    } rows[] = {
        {"today's system, automatic", refservice::Instance::Main, false, -1, true, false, "", 0},
        {"target, TLS 1.2-only service, automatic", refservice::Instance::Tls12Only, true, -1, true, true, "TLSv1.2", 1},
        {"target, TLS 1.3-only service, automatic", refservice::Instance::Tls13Only, true, 0, true, true, "TLSv1.3", 1},
        {"target, Tls = 1: the system's TLS only", refservice::Instance::Tls13Only, true, 1, false, false, "", 0},
        {"today's system, Tls = 2: the module's client only", refservice::Instance::Main, false, 2, true, true,
         "TLSv1.3", 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        instance_.reset();
        Serve(row.instance);
        if (row.tls >= 0) testreg::SetDword(testreg::kNormalKey, "Tls", static_cast<DWORD>(row.tls));
        std::unique_ptr<TargetsSystemTls> target;
        if (row.targetsTls) target = std::make_unique<TargetsSystemTls>();
        const HostRun run = Logon();
        target.reset();
        EXPECT_EQ(run.exitCode, 0u) << run.out;
        EXPECT_EQ(run.Has("host: WlxLoggedOutSAS -> 1 WLX_SAS_ACTION_LOGON (user \"alice\", domain \"\")"), row.loggedOn)
            << run.out;
        EXPECT_EQ(AnswersSent(), row.loggedOn ? std::vector<std::string>{"123456"} : std::vector<std::string>{});
        const ClientLines lines = TlsClientLines(run, port_);
        // Once the module's client has completed a handshake it goes first:
        // one hand-over for the whole run.
        EXPECT_EQ(lines.handedOver, row.handedOver) << run.out;
        if (row.throughModule) {
            EXPECT_GE(lines.module, 1) << run.out;
            EXPECT_EQ(lines.system, 0) << run.out;
            EXPECT_EQ(lines.version, row.version) << run.out;
        } else {
            EXPECT_EQ(lines.module, 0) << run.out;
            // Pre-authentication and authentication at least, each its own line.
            EXPECT_GE(lines.system, row.loggedOn ? 2 : 0) << run.out;
        }
        if (row.loggedOn) {
            // The failed system handshake is the only error of a handed-over logon.
            EXPECT_EQ(lines.errors.size(), static_cast<size_t>(row.handedOver)) << run.out;
        } else {
            ASSERT_FALSE(lines.errors.empty()) << run.out;
            EXPECT_TRUE(ReportsCode(lines.errors.front(), 12157)) << lines.errors.front();
        }
    }
}

// Under the target's TLS in automatic mode, a certificate that is not trusted
// or names another host fails the system's handshake and is then refused by
// the module's own client as well: nothing reaches the service.
TEST_F(TlsSelection, ACertificateTheMachineDoesNotTrustIsRefusedByBothClients) {
    const struct {
        const char* name;
        uint16_t port;
    } rows[] = {
        {"untrusted issuer", refservice::UntrustedPort()},
        {"another name", refservice::WrongNamePort()},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        instance_.reset();
        Serve(refservice::Instance::Main);
        testreg::SetString(testreg::kNormalKey, "Host", "localhost:" + std::to_string(row.port));
        const TargetsSystemTls target;
        const HostRun run = Logon();
        EXPECT_EQ(run.exitCode, 0u) << run.out;
        EXPECT_TRUE(run.Has("host: WlxLoggedOutSAS -> 2 WLX_SAS_ACTION_NONE")) << run.out;
        const ClientLines lines = TlsClientLines(run, row.port);
        EXPECT_GE(lines.handedOver, 1) << run.out;
        EXPECT_EQ(lines.module + lines.system, 0) << run.out;
        int refusedByModule = 0;
        for (const std::string& error : lines.errors)
            refusedByModule += error.find("TLS handshake with localhost:" + std::to_string(row.port)) !=
                                   std::string::npos &&
                               ReportsCode(error, 12175);
        EXPECT_EQ(refusedByModule, lines.handedOver) << run.out;
        EXPECT_TRUE(refservice::Requests(ikey_).empty());
    }
}

}  // namespace

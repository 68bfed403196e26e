// vyn-check.exe as an administrator runs it: a child process of this test,
// reading the Wine prefix's real registry and talking to the reference service
// over TLS. Each test writes the settings it needs and removes them after.
#include <gtest/gtest.h>

#include <windows.h>
#include <sddl.h>

#include <nlohmann/json.hpp>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "auth/recovery.h"
#include "common/strings.h"
#include "config/recovery_store.h"
#include "diag/log.h"
#include "tests/check/check_fixture.h"
#include "tests/config/registry_helpers.h"
#include "tests/support/child_process.h"
#include "tests/support/refservice.h"
#include "tests/support/target_tls.h"
#include "tools/check/acl.h"
#include "tools/check/words.h"

namespace {

using namespace checktest;
TEST_F(VynCheck, CommandLineErrorsAreUsage) {
    for (const wchar_t* args : {L"--bogus", L"--user", L"--user \"\"", L"extra"}) {
        const ChildRun run = RunCheck(args);
        EXPECT_EQ(run.exitCode, 64u) << args;
        EXPECT_EQ(run.out, "verdict: usage: bad command line.\n") << args;
    }
    const ChildRun help = RunCheck(L"--help");
    EXPECT_EQ(help.exitCode, 0u);
    EXPECT_EQ(help.out.rfind("usage: vyn-check", 0), 0u);
}

TEST_F(VynCheck, NoConfigurationIsBypass) {
    const ChildRun run = RunCheck(L"");
    EXPECT_EQ(run.exitCode, 1u) << run.out;
    EXPECT_TRUE(HasLine(run.out, "[FAIL] settings: no key holds a complete configuration (Host, IKey and SKey): every "
                                 "logon and unlock passes unchallenged"))
        << run.out;
    EXPECT_TRUE(HasLine(run.out, "[info] service: not contacted (the settings are incomplete)")) << run.out;
    EXPECT_EQ(LastLine(run.out), "verdict: bypass: no complete configuration: every logon and unlock passes unchallenged.");
}

TEST_F(VynCheck, ReadyKeepsTheSecretOutOfOutputJsonAndLog) {
    Configure(testreg::kNormalKey, refservice::Port());
    testreg::SetDword(testreg::kNormalKey, "Debug", 1);  // the DEBUG lines must not carry it either
    const std::string logBefore = ReadLogFile();
    const ChildRun text = RunCheck(L"");
    const ChildRun json = RunCheck(L"--json");
    EXPECT_EQ(text.exitCode, 0u) << text.out;
    EXPECT_TRUE(HasLine(text.out, "[ ok ] settings: the module uses the normal key HKLM\\Software\\Vyn Security\\VynCredProv"));
    EXPECT_TRUE(HasLine(text.out, "[ ok ] Host: localhost, port " + std::to_string(refservice::Port())));
    EXPECT_TRUE(HasLine(text.out, "[ ok ] IKey: " + ikey));
    EXPECT_TRUE(HasLine(text.out, "[ ok ] SKey: present, " + std::to_string(sizeof kSkey - 1) + " characters"));
    EXPECT_TRUE(HasLine(text.out, "[ ok ] FailOpen: 1 (on)"));
    EXPECT_TRUE(HasLine(text.out, "[info] AutoPush: absent; the module uses off"));
    EXPECT_TRUE(HasLine(text.out, "[ ok ] Debug: 1 (on)"));
    EXPECT_NE(text.out.find("[ ok ] service: check answered in "), std::string::npos);
    EXPECT_EQ(LastLine(text.out), "verdict: ready: configured, the service reached and the keys accepted.");

    // Pings are unsigned and so belong to no tenant: the tenant saw one
    // signed Check per run and nothing else.
    const auto requests = refservice::Requests(ikey);
    ASSERT_EQ(requests.size(), 2u);
    for (const RecordedRequest& request : requests) {
        EXPECT_EQ(request.method + " " + request.target, "GET /rest/v1/check.bson");
        EXPECT_EQ(request.Header("Authorization").rfind("Basic ", 0), 0u);
    }

    // The tool changes nothing, the log included: its lines go to the
    // debugger output alone.
    const std::string log = ReadLogFile();
    for (const std::string* where : {&text.out, &json.out})
        EXPECT_EQ(where->find(kSkey), std::string::npos) << "secret key bytes found";
    EXPECT_TRUE(log == logBefore) << "the log changed";
}

TEST_F(VynCheck, JsonReadsBackWithEveryCheck) {
    Configure(testreg::kNormalKey, refservice::Port());
    const ChildRun run = RunCheck(L"--json --user alice");
    ASSERT_EQ(run.exitCode, 0u) << run.out;
    const nlohmann::json doc = nlohmann::json::parse(run.out);
    EXPECT_EQ(doc.at("verdict"), "ready");
    EXPECT_EQ(doc.at("exit_code"), 0);
    EXPECT_EQ(doc.at("sentence"), "configured, the service reached and the keys accepted.");
    std::vector<std::string> names;
    for (const auto& check : doc.at("checks")) {
        names.push_back(check.at("name"));
        EXPECT_TRUE(check.at("status") == "ok" || check.at("status") == "info" || check.at("status") == "warn")
            << check.dump();
        EXPECT_FALSE(check.at("detail").get<std::string>().empty());
    }
    const std::vector<std::string> expected = {"settings.key", "settings.Host", "settings.IKey", "settings.SKey",
                                               "settings.FailOpen", "settings.AutoPush", "settings.local_ip_fallback",
                                               "settings.Tls", "settings.Debug", "settings.RdpOnly", "settings.LogonOnly",
                                               "exposure.SKey", "recovery", "exposure.log-folder", "exposure.log-folder-owner",
                                               "exposure.log-folder-writers", "exposure.log-links",
                                               "registration.GinaDLL",
                                               "registration.event-source", "service.ping", "service.check",
                                               "service.tls", "user.preauth"};
    EXPECT_EQ(names, expected);
    const nlohmann::json usage = nlohmann::json::parse(RunCheck(L"--json --user").out);
    EXPECT_EQ(usage.at("exit_code"), 64);
    EXPECT_EQ(usage.at("verdict"), "usage");
    EXPECT_TRUE(usage.at("checks").empty());
}

TEST_F(VynCheck, PolicyKeyWinsOnlyWhenComplete) {
    Configure(testreg::kNormalKey, refservice::Port());
    testreg::SetString(testreg::kPolicyKey, "Host", "localhost:" + std::to_string(refservice::Port()));
    testreg::SetString(testreg::kPolicyKey, "IKey", ikey);
    ChildRun run = RunCheck(L"--no-network");
    EXPECT_EQ(run.exitCode, 0u) << run.out;
    EXPECT_TRUE(HasLine(run.out, "[ ok ] settings: the module uses the normal key HKLM\\Software\\Vyn Security\\VynCredProv"));

    testreg::SetString(testreg::kPolicyKey, "SKey", "policy-secret");
    run = RunCheck(L"--no-network");
    EXPECT_EQ(run.exitCode, 0u) << run.out;
    EXPECT_TRUE(HasLine(run.out, "[ ok ] settings: the module uses the policy key "
                                 "HKLM\\Software\\Policies\\Vyn Security\\VynCredProv"));
    EXPECT_TRUE(HasLine(run.out, "[ ok ] SKey: present, 13 characters"));
    EXPECT_TRUE(HasLine(run.out, "[info] service: not contacted (--no-network)"));
    EXPECT_EQ(LastLine(run.out),
              "verdict: ready: registered and configured; the keys and the service were not checked (--no-network).");
}

TEST_F(VynCheck, UnusableValuesAreNamedWithTheirReason) {
    const struct {
        const char* name;
        DWORD type;
        std::string bytes;
        const char* line;
    } cases[] = {
        {"Host", REG_DWORD, std::string(4, '\1'), "[FAIL] Host in HKLM\\Software\\Vyn Security\\VynCredProv: wrong type (REG_DWORD, expected REG_SZ)"},
        {"Host", REG_SZ, std::string("localhost:70000", 16), "[FAIL] Host in HKLM\\Software\\Vyn Security\\VynCredProv: bad port (\"70000\" in \"localhost:70000\")"},
        {"Host", REG_SZ, std::string("localhost:https", 16), "[FAIL] Host in HKLM\\Software\\Vyn Security\\VynCredProv: bad port (\"https\" in \"localhost:https\")"},
        {"IKey", REG_SZ, std::string(1, '\0'), "[FAIL] IKey in HKLM\\Software\\Vyn Security\\VynCredProv: empty"},
        {"IKey", REG_SZ, std::string(2000, 'K') + '\0', "[FAIL] IKey in HKLM\\Software\\Vyn Security\\VynCredProv: too long (more than 1023 characters)"},
        {"SKey", REG_BINARY, "s3cr3t-bytes", "[FAIL] SKey in HKLM\\Software\\Vyn Security\\VynCredProv: wrong type (REG_BINARY, expected REG_SZ)"},
        {"FailOpen", REG_SZ, std::string("1", 2), "[warn] FailOpen in HKLM\\Software\\Vyn Security\\VynCredProv: wrong type (REG_SZ, expected REG_DWORD); the module uses on"},
        {"Debug", REG_DWORD, std::string(8, '\0'), "[warn] Debug in HKLM\\Software\\Vyn Security\\VynCredProv: wrong size (a REG_DWORD must hold 4 bytes); the module uses off"},
        {"Tls", REG_DWORD, std::string("\3\0\0\0", 4), "[warn] Tls in HKLM\\Software\\Vyn Security\\VynCredProv: 3 is not 0, 1 or 2; the module uses automatic: the system's TLS first, the module's own when it cannot connect"},
        {"Tls", REG_SZ, std::string("2", 2), "[warn] Tls in HKLM\\Software\\Vyn Security\\VynCredProv: wrong type (REG_SZ, expected REG_DWORD); the module uses automatic: the system's TLS first, the module's own when it cannot connect"},
    };
    for (const auto& c : cases) {
        testreg::DeleteKey(testreg::kNormalKey);
        testreg::SetString(testreg::kNormalKey, "Host", "localhost");
        testreg::SetRaw(testreg::kNormalKey, c.name, c.type, c.bytes);
        const ChildRun run = RunCheck(L"--no-network");
        EXPECT_EQ(run.exitCode, 1u) << c.line;
        EXPECT_TRUE(HasLine(run.out, c.line)) << run.out;
        EXPECT_EQ(run.out.find("s3cr3t-bytes"), std::string::npos);
    }
}

TEST_F(VynCheck, UnreachableServiceSaysWhatLogonsWillDo) {
    const struct {
        uint16_t port;
        DWORD failOpen;
        const char* words;
        const char* verdict;
    } cases[] = {
        {refservice::ClosedPort(), 1, "connection refused: nothing accepts connections",
         "verdict: unreachable: the service cannot be used from this machine: with FailOpen on, logons and unlocks "
         "will pass without a second factor."},
        {refservice::ClosedPort(), 0, "connection refused: nothing accepts connections",
         "verdict: unreachable: the service cannot be used from this machine and FailOpen is off: every challenged "
         "logon and unlock, administrators' included, will be refused. Do not restart until this is fixed."},
        {refservice::UntrustedPort(), 0, "certificate not trusted: the chain the service sent ends at the issuer", nullptr},
        {refservice::WrongNamePort(), 0, "certificate for another name", nullptr},
        // Plain HTTP where TLS is expected: no handshake, no certificate.
        {refservice::ControlPort(), 0,
         "TLS failure: the module's own TLS client could not complete a handshake with the service", nullptr},
    };
    for (const auto& c : cases) {
        Configure(testreg::kNormalKey, c.port, kSkey, c.failOpen);
        const ChildRun run = RunCheck(L"--user alice");
        EXPECT_EQ(run.exitCode, 2u) << run.out;
        const std::string ping = "[warn] service: ping of localhost:" + std::to_string(c.port) + " failed after ";
        EXPECT_NE(run.out.find(ping), std::string::npos) << run.out;
        EXPECT_NE(run.out.find("\n[FAIL] service: check failed after "), std::string::npos) << run.out;
        EXPECT_NE(run.out.find(c.words), std::string::npos) << run.out;
        EXPECT_TRUE(HasLine(run.out, "[info] user alice: not asked (the service is unreachable)")) << run.out;
        // Automatic selection ends with the module's own client: what the
        // system's TLS lacks is not the cause.
        EXPECT_EQ(run.out.find("TLS 1.0 at most"), std::string::npos) << run.out;
        if (c.verdict) {
            EXPECT_EQ(LastLine(run.out), c.verdict);
        }
    }
}

// The service accepts the signed Check and never answers it: each of the
// three attempts ends at the tool's bound, as pre-authentication's would.
TEST_F(VynCheck, SilentServiceTimesOutInsteadOfHoldingTheConsole) {
    std::string error;
    ASSERT_TRUE(refservice::LoadScenario(
        ikey, kSkey, R"({"operations": {"check": [{"hold": true, "hold_ms": 15000, "repeat": -1}]}})", &error))
        << error;
    Configure(testreg::kNormalKey, refservice::Port(), kSkey, 0);
    const ChildRun run = RunCheck(L"");
    EXPECT_EQ(run.exitCode, 2u) << run.out;
    EXPECT_NE(run.out.find("[ ok ] service: ping of localhost:"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("timed out waiting for the answer: the service had the request and did not answer within "
                           "10 s"),
              std::string::npos)
        << run.out;
    EXPECT_EQ(LastLine(run.out), kLockedOut);
    EXPECT_EQ(refservice::Requests(ikey).size(), 3u);
}

TEST_F(VynCheck, RefusedKeysAre401) {
    Configure(testreg::kNormalKey, refservice::Port(), "not-the-tenant-secret");
    const ChildRun run = RunCheck(L"");
    EXPECT_EQ(run.exitCode, 3u) << run.out;
    EXPECT_NE(run.out.find("[ ok ] service: ping of localhost:"), std::string::npos);
    EXPECT_NE(run.out.find(": HTTP status 401: the service refused the request's signature: check IKey, SKey and "
                           "Host (the signature covers the host name)\n"),
              std::string::npos)
        << run.out;
    EXPECT_EQ(LastLine(run.out),
              "verdict: keys-refused: the service refused the request's signature: every challenged logon and unlock "
              "would be refused. Check IKey, SKey and Host (the signature covers the host name) before restarting.");
}

TEST_F(VynCheck, GinaDllNamingAMissingFileIsRegistrationBroken) {
    testreg::DeleteKey(testreg::kEventSourceKey);
    Configure(testreg::kNormalKey, refservice::ClosedPort(), kSkey, 0);
    SetGinaDll(L"C:\\windows\\system32\\NoSuchGina.dll");
    ChildRun run = RunCheck(L"");
    EXPECT_EQ(run.exitCode, 4u) << run.out;  // above the unreachable service
    EXPECT_TRUE(HasLine(run.out, "[FAIL] registration: GinaDLL names C:\\windows\\system32\\NoSuchGina.dll, which does "
                                 "not exist: Winlogon would not start"))
        << run.out;
    EXPECT_EQ(LastLine(run.out), "verdict: registration-broken: GinaDLL names a file that does not exist: Winlogon "
                                 "would not start after a restart. Correct or delete GinaDLL before restarting.");

    SetGinaDll(WindowsPath(VYNGINA_DLL_PATH));
    run = RunCheck(L"--no-network");
    EXPECT_EQ(run.exitCode, 0u) << run.out;
    EXPECT_NE(run.out.find("\n[ ok ] registration: GinaDLL names this module: Z:\\"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("VynGina.dll (version 1.1.8.0)\n"), std::string::npos) << run.out;
    EXPECT_TRUE(HasLine(run.out, "[info] registration: the \"Vyn Security\" event source is not registered")) << run.out;

    // The event source and its message file, as registration writes them.
    SetWideString(testreg::kEventSourceKey, L"EventMessageFile", L"C:\\windows\\system32\\NoSuchGina.dll");
    run = RunCheck(L"--no-network");
    EXPECT_TRUE(HasLine(run.out, "[warn] registration: the \"Vyn Security\" event source's message file "
                                 "C:\\windows\\system32\\NoSuchGina.dll does not exist: its events will not read properly"))
        << run.out;
    SetWideString(testreg::kEventSourceKey, L"EventMessageFile", WindowsPath(VYNGINA_DLL_PATH));
    run = RunCheck(L"--no-network");
    EXPECT_NE(run.out.find("\n[ ok ] registration: the \"Vyn Security\" event source uses Z:\\"), std::string::npos)
        << run.out;
    testreg::DeleteKey(testreg::kEventSourceKey);
}

// Each answer of the service as the module takes it at logon: only a
// transport failure or a server error may fail open; any other answer the
// module refuses is refused whatever FailOpen says, to Check and to the
// user's pre-authentication alike; a failed ping alone decides nothing.
TEST_F(VynCheck, VerdictIsWhatALogonMeets) {
    const struct {
        const char* operations;
        const wchar_t* args;
        DWORD failOpen;
        unsigned exitCode;
        const char* line;
        const char* verdict;
        int tls = -1;             // the "Tls" setting; -1 absent
        bool targetsTls = false;  // the system's TLS limited to TLS 1.0, as on the target
    } cases[] = {
        // Which TLS client reached the service, and with which version.
        {"{}", L"", 1, 0, "[ ok ] service: reached through *the system's TLS (WinHTTP)", nullptr},
        {"{}", L"", 1, 0, "[ ok ] service: reached through *the module's own TLS client (TLSv1.3)", nullptr, 2},
        {"{}", L"", 1, 0, "[ ok ] service: reached through *the module's own TLS client (TLSv1.3)",
         "verdict: ready: configured, the service reached and the keys accepted.", 0, true},
        {"{}", L"", 0, 2,
         "[warn] service: the module's own TLS client connects *(TLSv1.3) where the system's TLS cannot: set Tls to 0 "
         "(automatic) to let logons use it",
         kLockedOut,
         1, true},
        // Only there is the system's TLS the one that fails: the TLS 1.0
        // paragraph is said, and only there.
        {"{}", L"", 0, 2,
         "[FAIL] service: check failed after *could not complete a handshake with the service (error 12157). Windows "
         "XP x64 and Server 2003 x64 speak TLS 1.0 at most (no TLS 1.1 or 1.2 was ever shipped for them) and validate "
         "SHA-2 certificate chains only with Microsoft's SHA-2 update (KB968730) installed; a service that accepts "
         "only TLS 1.2 cannot be reached from them at all, and with FailOpen on every logon would then pass "
         "unchallenged",
         kLockedOut, 1, true},
        {R"({"check": [{"http_status": 404, "repeat": -1}]})", L"", 1, 3,
         "[FAIL] service: check refused after * HTTP status 404: the module refuses such an answer whatever FailOpen "
         "says",
         "verdict: refused: the service's answer is one the module refuses, whatever FailOpen says: logons and "
         "unlocks will be refused. Correct the service address or the service before restarting."},
        {R"({"check": [{"http_status": 302, "headers": {"Location": "https://localhost/elsewhere"}, "repeat": -1}]})",
         L"", 1, 3,
         "[FAIL] service: check refused after * HTTP status 302 (a redirect, which the module never follows): the "
         "module refuses such an answer whatever FailOpen says",
         nullptr},
        // An answer the module cannot read names its status, its Content-Type
        // and what is wrong with the envelope.
        {R"({"check": [{"malformed": "not_bson", "repeat": -1}]})", L"", 1, 3,
         "[FAIL] service: check refused after * answer not understood: HTTP status 200, Content-Type "
         "application/bson: the body is not a BSON document: the module refuses such an answer whatever FailOpen says",
         nullptr},
        {R"({"check": [{"body_base64": "PGh0bWw+PGJvZHk+U2lnbiBpbjwvYm9keT48L2h0bWw+",
                        "headers": {"Content-Type": "text/html; charset=utf-8"}, "repeat": -1}]})",
         L"", 1, 3,
         "[FAIL] service: check refused after * answer not understood: HTTP status 200, Content-Type text/html; "
         "charset=utf-8: the body is not a BSON document: the module refuses such an answer whatever FailOpen says",
         "verdict: refused: the service's answer is one the module refuses, whatever FailOpen says: logons and "
         "unlocks will be refused. Correct the service address or the service before restarting."},
        {R"({"check": [{"malformed": "stat_int32", "repeat": -1}]})", L"", 1, 3,
         "[FAIL] service: check refused after * answer not understood: HTTP status 200, Content-Type "
         "application/bson: the envelope's \"stat\" is not a string: the module refuses such an answer whatever "
         "FailOpen says",
         nullptr},
        {R"({"check": [{"malformed": "response_missing", "repeat": -1}]})", L"", 1, 3,
         "[FAIL] service: check refused after * answer not understood: HTTP status 200, Content-Type "
         "application/bson: the envelope has no \"response\": the module refuses such an answer whatever FailOpen "
         "says",
         nullptr},
        {R"({"check": [{"malformed": "response_array", "repeat": -1}]})", L"", 1, 3,
         "[FAIL] service: check refused after * answer not understood: HTTP status 200, Content-Type "
         "application/bson: the envelope's \"response\" is not a document: the module refuses such an answer "
         "whatever FailOpen says",
         nullptr},
        {R"({"check": [{"fault": {"code": 40002, "message": "Invalid request"}, "repeat": -1}]})", L"", 1, 3,
         "[FAIL] service: check refused after * answer not understood: HTTP status 200, Content-Type "
         "application/bson: the service answered with a fault (FAIL, code=40002, message=Invalid request): the "
         "module refuses such an answer whatever FailOpen says",
         nullptr},
        {R"({"check": [{"document": {"stat": "OK"}, "headers": {"Content-Type": "text/plain"}, "repeat": -1}]})",
         L"", 1, 3,
         "[FAIL] service: check refused after * answer not understood: HTTP status 200, Content-Type text/plain: the "
         "envelope has no \"response\": the module refuses such an answer whatever FailOpen says",
         nullptr},
        // A user's pre-authentication is read by the module's own code: only
        // the Content-Type of its answer is known to the tool.
        {R"({"preauth": [{"malformed": "not_bson", "repeat": -1}]})", L"--user alice", 1, 3,
         "[FAIL] user alice: pre-authentication refused: answer not understood: Content-Type application/bson: the "
         "envelope is not one the module reads: the module refuses such an answer whatever FailOpen says",
         nullptr},
        {R"({"preauth": [{"http_status": 403, "repeat": -1}]})", L"--user alice", 1, 3,
         "[FAIL] user alice: pre-authentication refused: HTTP status 403: the module refuses such an answer whatever "
         "FailOpen says",
         nullptr},
        {R"({"check": [{"http_status": 503, "repeat": -1}]})", L"", 1, 2,
         "[FAIL] service: check failed after * HTTP status 503 (a server error)",
         "verdict: unreachable: the service cannot be used from this machine: with FailOpen on, logons and unlocks "
         "will pass without a second factor."},
        // A logon sends no Check: the user's answered pre-authentication decides.
        {R"({"check": [{"http_status": 403, "repeat": -1}]})", L"--user alice", 0, 0,
         "[warn] service: check refused after * HTTP status 403: the module refuses such an answer whatever FailOpen "
         "says",
         "verdict: ready: configured, the service reached and the keys accepted."},
        {R"({"preauth": [{"http_status": 500, "repeat": -1}]})", L"--user alice", 0, 2,
         "[FAIL] user alice: pre-authentication failed: HTTP status 500 (a server error)",
         kLockedOut},
        {R"({"ping": [{"http_status": 500, "repeat": -1}]})", L"", 0, 0,
         "[warn] service: ping of localhost:* HTTP status 500 (a server error)",
         "verdict: ready: configured, the service reached and the keys accepted."},
    };
    for (const auto& c : cases) {
        const std::string scenario =
            std::string(R"({"users": {"alice": {"result": "auth"}}, "operations": )") + c.operations + "}";
        // A ping is unsigned and reaches the service's default tenant: this
        // tenant is made the default while the case runs.
        const bool ping = std::string(c.operations).find("\"ping\"") != std::string::npos;
        std::string reply;
        ASSERT_EQ(refservice::ControlRequest("POST",
                                             "/control/tenants?ikey=" + ikey + "&skey=" + kSkey +
                                                 (ping ? "&default=1" : ""),
                                             scenario, &reply),
                  200)
            << reply;
        Configure(testreg::kNormalKey, refservice::Port(), kSkey, c.failOpen);
        if (c.tls >= 0) testreg::SetDword(testreg::kNormalKey, "Tls", static_cast<DWORD>(c.tls));
        std::unique_ptr<TargetsSystemTls> target;
        if (c.targetsTls) target = std::make_unique<TargetsSystemTls>();
        const ChildRun run = RunCheck(c.args);
        target.reset();
        EXPECT_EQ(run.exitCode, c.exitCode) << c.operations << "\n" << run.out;
        // "*" stands for the time taken and the host's port.
        const std::string line = c.line;
        const size_t star = line.find('*');
        const size_t at = run.out.find("\n" + line.substr(0, star));
        ASSERT_NE(at, std::string::npos) << c.operations << "\n" << run.out;
        const size_t end = run.out.find('\n', at + 1);
        const std::string found = run.out.substr(at + 1, end - at - 1);
        EXPECT_EQ(found.substr(found.size() - (line.size() - star - 1)), line.substr(star + 1)) << found;
        if (c.verdict) {
            EXPECT_EQ(LastLine(run.out), c.verdict) << c.operations;
        }
        if (ping) refservice::ControlRequest("DELETE", "/control/tenants?ikey=" + ikey, "", &reply);
    }
}

// Only this module, as an x64 DLL Winlogon can load and SYSTEM may read, is
// ready for the restart; each other registration is named.
TEST_F(VynCheck, RegistrationOtherThanThisModuleIsBroken) {
    Configure(testreg::kNormalKey, refservice::Port());
    const TempFile text(L"vyn-check-gina.txt", "GinaDLL=VynGina.dll\r\n");
    const TempFile x86(L"vyn-check-x86.dll", AsX86Image(ReadBytes(WindowsPath(VYNGINA_DLL_PATH))));
    const TempFile other(L"vyn-check-other.dll", ReadBytes(WindowsPath(STUB_MSGINA_PATH)));
    // (A module SYSTEM may not read cannot be made here: Wine keeps no access
    // list on files. The rule itself is SystemMayAccess's, tested below.)
    wchar_t system[MAX_PATH + 1] = {};
    ::GetSystemDirectoryW(system, MAX_PATH + 1);
    const struct {
        std::wstring gina;  // empty: GinaDLL unset
        std::string line;
        const char* verdict;
    } cases[] = {
        {L"", "[FAIL] registration: GinaDLL is not set: msgina is in charge of the logon (the module is not registered)",
         "verdict: registration-broken: GinaDLL is not set: after the restart msgina alone is in charge and logons "
         "get no second factor. Register the module (install the package or run regsvr32) first."},
        {text.path(), "which is not a Windows image (no valid PE header): Winlogon would not start",
         "verdict: registration-broken: GinaDLL names a file that is not a 64-bit login module: Winlogon would not "
         "start after a restart. Correct GinaDLL before restarting."},
        {x86.path(), "which is a 32-bit (x86) image: 64-bit Winlogon loads only x64 DLLs: Winlogon would not start",
         nullptr},
        {L"version.dll", "which is a DLL without the login module functions Winlogon requires (missing WlxNegotiate, "
                         "WlxInitialize, WlxDisplaySASNotice, WlxLoggedOutSAS, WlxActivateUserShell, WlxLoggedOnSAS, "
                         "WlxDisplayLockedNotice, WlxWkstaLockedSAS, WlxIsLockOk, WlxIsLogoffOk, WlxLogoff, "
                         "WlxShutdown): Winlogon would not start",
         nullptr},
        {std::wstring(system) + L"\\notepad.exe", "which is a program, not a DLL: Winlogon would not start", nullptr},
        {other.path(), "[FAIL] registration: GinaDLL names another login module: " + ToUtf8(other.path()),
         "verdict: registration-broken: GinaDLL names another login module: logons after the restart get no second "
         "factor from this one. Register this module, or leave the other one in charge knowingly."},
    };
    for (const auto& c : cases) {
        if (c.gina.empty())
            testreg::DeleteValue(testreg::kWinlogonKey, kGinaDll);
        else
            SetGinaDll(c.gina);
        const ChildRun run = RunCheck(L"");
        EXPECT_EQ(run.exitCode, 4u) << run.out;
        const size_t at = run.out.find(c.line);
        EXPECT_NE(at, std::string::npos) << run.out;
        EXPECT_EQ(run.out.find('\n', at), at + c.line.size()) << run.out;
        if (c.verdict) {
            EXPECT_EQ(LastLine(run.out), c.verdict);
        }
    }
}

// The module runs as SYSTEM: a settings key only this administrator may read
// is no configuration at all for it, whatever the administrator sees.
TEST_F(VynCheck, VerdictFollowsSystemsViewOfTheSettings) {
    Configure(testreg::kNormalKey, refservice::Port());
    SetKeyAcl(testreg::kNormalKey, L"D:P(D;;KA;;;SY)(A;;KA;;;BA)");
    const ChildRun run = RunCheck(L"");
    EXPECT_EQ(run.exitCode, 1u) << run.out;
    EXPECT_TRUE(HasLine(run.out, "[warn] settings: SYSTEM may not read HKLM\\Software\\Vyn Security\\VynCredProv: "
                                 "the module, which runs as SYSTEM, cannot use this key"))
        << run.out;
    EXPECT_TRUE(HasLine(run.out, "[warn] settings: this account reads a complete configuration from "
                                 "HKLM\\Software\\Vyn Security\\VynCredProv, but SYSTEM finds none: what follows is "
                                 "SYSTEM's view"))
        << run.out;
    EXPECT_EQ(LastLine(run.out), "verdict: bypass: no complete configuration: every logon and unlock passes unchallenged.");
    SetKeyAcl(testreg::kNormalKey, kProtectedKeyAcl);  // so that the key can be removed
}

// SYSTEM's rights from an access list, by the entries that name SYSTEM or
// the groups of its token, in order.
TEST(SystemMayAccess, EvaluatesTheEntriesForSystemsToken) {
    const struct {
        const wchar_t* sddl;
        bool readable;
    } cases[] = {
        {L"D:P(A;;KR;;;SY)", true},
        {L"D:P(A;;GA;;;BA)", true},                 // Administrators, generic
        {L"D:P(A;;KR;;;AU)", true},                 // Authenticated Users
        {L"D:P(A;;KR;;;WD)", true},                 // Everyone
        {L"D:P(A;;KR;;;BU)", false},                // Users: not in SYSTEM's token
        {L"D:P(D;;KR;;;SY)(A;;KA;;;BA)", false},    // denied first
        {L"D:P(A;;KA;;;BA)(D;;KR;;;SY)", true},     // granted before the deny
        {L"D:P(A;OICIIO;KA;;;SY)", false},          // passes on to children only
        {L"D:P(A;;KW;;;SY)", false},                // may write, not read
        {L"D:P", false},                            // an empty list grants nothing
    };
    for (const auto& c : cases) {
        PSECURITY_DESCRIPTOR sd = nullptr;
        ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(c.sddl, SDDL_REVISION_1, &sd, nullptr));
        EXPECT_EQ(SystemMayAccess(sd, KEY_QUERY_VALUE, kKeyMapping), c.readable)
            << testing::PrintToString(std::wstring(c.sddl));
        ::LocalFree(sd);
    }
}

TEST_F(VynCheck, UserDecisionsInWordsStartNoFactor) {
    Configure(testreg::kNormalKey, refservice::Port());
    testreg::SetDword(testreg::kNormalKey, "AutoPush", 1);
    const struct {
        const wchar_t* user;
        const char* sent;
        const char* line;
    } cases[] = {
        {L"Alice", "user=alice", "[ ok ] user Alice: a second factor is needed; default factor: push (started at once at logon: AutoPush is on)"},
        {L"CORP\\Bob", "user=corp%5Cbob", "[info] user CORP\\Bob: allowed without a second factor"},
        {L"carol", "user=carol", "[warn] user carol: must enrol: The username you have entered is not enrolled with Vyn Security. Please contact your system administrator."},
        {L"dave", "user=dave", "[warn] user dave: denied: Locked by the helpdesk"},
    };
    for (const auto& c : cases) {
        refservice::ClearRequests(ikey);
        const ChildRun run = RunCheck(std::wstring(L"--user ") + c.user);
        EXPECT_EQ(run.exitCode, 0u) << run.out;
        EXPECT_NE(run.out.find(std::string(c.line) + " ("), std::string::npos) << run.out;
        const auto requests = refservice::Requests(ikey);
        ASSERT_EQ(requests.size(), 2u) << run.out;  // check, preauth: never an auth
        EXPECT_EQ(requests[1].target, "/rest/v1/preauth.bson");
        EXPECT_EQ(requests[1].body, c.sent);
    }
}

// The numbers of both platforms, each to the words the administrator reads:
// Windows' in the first column, Wine's where it differs.
TEST(TransportFailureWords, MapWindowsAndWineNumbers) {
    const struct {
        DWORD code;
        bool underWine;
        const char* start;
    } cases[] = {
        {12007, false, "name not resolved: "},
        {12029, false, "connection refused: "},
        {12029, true, "connection refused: "},
        {12002, false, "timed out: "},
        {10060, true, "timed out: "},
        {12045, false, "certificate not trusted: "},
        {12157, true, "certificate not trusted: "},
        {12157, false, "TLS failure: "},
        {12038, false, "certificate for another name: "},
        {12037, false, "certificate expired or not yet valid"},
        {12175, false, "certificate not accepted: "},
        {12030, false, "connection broken: the connection or the answer broke off "},
        {12345, false, "connection failed (error 12345)"},
    };
    for (const auto& c : cases) {
        const std::string words = TransportFailureWords(c.code, c.underWine);
        EXPECT_EQ(words.rfind(c.start, 0), 0u) << c.code << " " << words;
        EXPECT_NE(words.find("(error " + std::to_string(c.code) + ")"), std::string::npos) << words;
    }
    EXPECT_TRUE(RunningUnderWine());
    for (const DWORD code : {12030u, 12037u, 12038u, 12045u, 12157u, 12169u, 12170u, 12175u})
        EXPECT_TRUE(IsSecureChannelFailure(code)) << code;
    for (const DWORD code : {12002u, 12007u, 12029u, 10060u}) EXPECT_FALSE(IsSecureChannelFailure(code)) << code;
}

// Who may read, by the rules both checks share, on real descriptors.
TEST(UnexpectedReaders, NameEveryoneButSystemAdministratorsAndCreatorOwner) {
    const struct {
        const wchar_t* sddl;
        std::vector<std::string> readers;
    } cases[] = {
        {L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;CO)", {}},
        {L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FR;;;BU)", {"BUILTIN\\Users"}},
        {L"D:P(A;;FA;;;SY)(A;OICIIO;FR;;;BU)", {}},           // passes on to children only
        {L"D:P(A;;FA;;;SY)(A;;FW;;;BU)", {}},                 // may write, not read
        {L"D:P(A;;FA;;;SY)(D;;FR;;;WD)", {}},                 // a deny entry grants nothing
        {L"D:P(A;;GR;;;WD)(A;;GA;;;BU)", {"Everyone", "BUILTIN\\Users"}},
    };
    for (const auto& c : cases) {
        PSECURITY_DESCRIPTOR sd = nullptr;
        ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(c.sddl, SDDL_REVISION_1, &sd, nullptr));
        EXPECT_EQ(UnexpectedReaders(sd, FILE_READ_DATA), c.readers) << testing::PrintToString(std::wstring(c.sddl));
        ::LocalFree(sd);
    }
    SECURITY_DESCRIPTOR nullDacl;
    ::InitializeSecurityDescriptor(&nullDacl, SECURITY_DESCRIPTOR_REVISION);
    ::SetSecurityDescriptorDacl(&nullDacl, TRUE, nullptr, FALSE);
    EXPECT_EQ(UnexpectedReaders(&nullDacl, FILE_READ_DATA), std::vector<std::string>{"Everyone (no DACL)"});
}

}  // namespace

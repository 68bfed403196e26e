// Break-glass recovery codes end to end: vyn-recovery makes the codes, the
// logon host plays Winlogon and a scripted user around the real module, and
// the service cannot be used (a closed port, or a server error) unless a row
// says otherwise. One row per outcome; then the tool on its own: status,
// clear, bad input, a key it cannot write, and that no code is ever stored
// or logged in clear.
#include <sddl.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <regex>

#include "auth/recovery.h"
#include "common/handles.h"
#include "common/machine_lock.h"
#include "config/recovery_store.h"
#include "diag/log.h"
#include "tests/config/registry_helpers.h"
#include "tests/e2e/e2e_fixture.h"
#include "tests/gina/paths.h"
#include "tests/support/child_process.h"

namespace e2e {
namespace {

constexpr wchar_t kRecoveryKeyW[] = L"Software\\Vyn Security\\Recovery";
constexpr char kAccepted[] = "Recovery code accepted; the authentication service could not be reached";
constexpr char kAsked[] = "The authentication service could not be reached; asking for a recovery code";
const std::string kCommunicationText =
    "There was an error communicating with the Vyn authentication server.  Please try again.";

std::wstring RecoveryToolPath() { return WindowsPath(VYN_RECOVERY_PATH); }

ChildRun RunTool(const std::wstring& arguments) {
    return RunChild(RecoveryToolPath(), arguments, ChildStderr::Merged);
}

// The codes a `new` run printed, digits only, in order.
std::vector<std::string> PrintedCodes(const ChildRun& run) {
    std::vector<std::string> codes;
    const std::regex line(R"(^ +\d+\. (\d{4})-(\d{4})-(\d{4})$)");
    for (const std::string& text : run.Lines()) {
        std::smatch m;
        if (std::regex_match(text, m, line)) codes.push_back(m[1].str() + m[2].str() + m[3].str());
    }
    return codes;
}

std::string Replaced(std::string text, const std::vector<std::string>& codes) {
    for (size_t i = 0; i < codes.size(); ++i) {
        const std::string mark = "{" + std::to_string(i + 1) + "}";
        for (size_t at; (at = text.find(mark)) != std::string::npos;) text.replace(at, mark.size(), codes[i]);
    }
    return text;
}

// The host's lines, the module's log lines as "log| " and their text (the
// date, time and thread left out).
std::vector<std::string> HostLines(const ChildRun& run) {
    std::vector<std::string> lines;
    for (const std::string& line : run.Lines()) {
        const size_t thread = line.find(") ");
        if (line.compare(0, 7, "  log| ") == 0 && thread != std::string::npos)
            lines.push_back("log| " + line.substr(thread + 2));
        else
            lines.push_back(line);
    }
    return lines;
}

// The whole of vyn.log as it is now: the module's own lines, of this run and
// the earlier ones.
std::string ReadLog() {
    std::string text;
    wchar_t folder[520] = {};
    if (GetLogDirectory(folder) != S_OK) return text;
    unique_hfile file(::CreateFileW((std::wstring(folder) + L"\\vyn.log").c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0,
                                    nullptr));
    char chunk[65536];
    DWORD read = 0;
    while (file && ::ReadFile(file.get(), chunk, sizeof chunk, &read, nullptr) && read > 0) text.append(chunk, read);
    return text;
}

// Wine replaces a key's owner when only its list is set: the owner is always
// given with the list.
constexpr SECURITY_INFORMATION kOwnerAndList = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;

// Gives HKLM\<path> the parts of `sddl` named by `parts`.
void SetKeySecurity(const wchar_t* path, const wchar_t* sddl, SECURITY_INFORMATION parts) {
    unique_hkey key;
    ASSERT_EQ(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, READ_CONTROL | WRITE_DAC | WRITE_OWNER, key.put()),
              ERROR_SUCCESS);
    PSECURITY_DESCRIPTOR raw = nullptr;
    ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &raw, nullptr));
    const unique_hlocal descriptor(raw);
    ASSERT_EQ(::RegSetKeySecurity(key.get(), parts, descriptor.get()), ERROR_SUCCESS);
}

// The owner and access list of HKLM\<path> as SDDL.
std::wstring KeySddl(const wchar_t* path) {
    unique_hkey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, READ_CONTROL, key.put()) != ERROR_SUCCESS) return L"(absent)";
    const SECURITY_INFORMATION parts = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    DWORD size = 0;
    ::RegGetKeySecurity(key.get(), parts, nullptr, &size);
    std::vector<BYTE> descriptor(size);
    LPWSTR sddl = nullptr;
    if (size == 0 || ::RegGetKeySecurity(key.get(), parts, descriptor.data(), &size) != ERROR_SUCCESS ||
        !::ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor.data(), SDDL_REVISION_1, parts, &sddl,
                                                                nullptr))
        return L"(unreadable)";
    const unique_hlocal owned(sddl);
    return sddl;
}

size_t CountLines(const std::vector<std::string>& lines, const std::string& wanted) {
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), wanted));
}

class RecoveryTest : public E2eTest {
protected:
    void SetUp() override {
        E2eTest::SetUp();
        testreg::DeleteKey(kRecoveryKeyW);
    }
    void TearDown() override {
        testreg::DeleteKey(kRecoveryKeyW);
        E2eTest::TearDown();
    }
    std::vector<std::string> MakeCodes(int count) {
        const ChildRun run = RunTool(L"new " + std::to_wstring(count));
        EXPECT_EQ(run.exitCode, 0u) << run.out;
        const std::vector<std::string> codes = PrintedCodes(run);
        EXPECT_EQ(codes.size(), static_cast<size_t>(count)) << run.out;
        return codes;
    }
    // The logon host's lines (the module's log lines start with "log| ").
    ChildRun Host(const std::string& arguments) {
        return RunChildWithOutputFile(WindowsPath(LOGON_HOST_PATH),
                                      L"--msgina-dir \"" + StubMsginaDir() + L"\" --show-log " + W(arguments) +
                                          L" \"" + ModulePath() + L"\" " + W(steps_),
                                      60000);
    }
    std::string steps_ = "--logon user=alice";
};

enum class Service { Closed, PreauthServerError, AuthServerError, Refusing, StatusPollsFail };
enum class Store {
    Codes,
    None,
    Malformed,
    ReadOnly,
    // Keys that are not ours: each counts as no codes.
    OwnedByAnother,
    ExtraWriter,
    InheritedList,
    // The store's lock, created first by another account, or held past the wait.
    ForeignLock,
    LockHeld,
};

bool Untrusted(Store store) {
    return store == Store::Malformed || store == Store::OwnedByAnother || store == Store::ExtraWriter ||
           store == Store::InheritedList;
}

constexpr wchar_t kLockName[] = L"Global\\Vyn Security recovery codes";

struct Row {
    const char* name;
    int failOpen;
    Store store;
    Service service;
    const char* script;  // the host's dialog options; {n} is the n-th code made
    const char* steps;
    std::vector<std::string> answers;  // what "Winlogon" received, in order
    size_t recoveryDialogs;
    size_t accepted;
    size_t wrongEvents;
    size_t invalidBoxes;  // "That recovery code is not valid."
    size_t codesLeft;     // in the store afterwards (codes made: 3)
    std::string alsoLogged;  // one more line of the run, exactly once, or ""
    int autoPush = 0;
};

const Row kRows[] = {
    {"RightCodeOnceThenTheSameCodeIsRefused", 0, Store::Codes, Service::Closed, "--recovery-codes \"{1};{1}\"",
     "--logon user=alice --logon user=alice", {"WLX_SAS_ACTION_LOGON", "WLX_SAS_ACTION_NONE"}, 2, 1, 1, 1, 2,
     "log| Recovery code used for 'alice'; 2 left"},
    {"WrongCodeThenRightCode", 0, Store::Codes, Service::Closed, "--recovery-codes \"1111-2222-3333;{2}\"",
     "--logon user=alice", {"WLX_SAS_ACTION_LOGON"}, 1, 1, 1, 1, 2, "log| Wrong recovery code for 'alice'"},
    {"TypedWithSpacesInsteadOfDashes", 0, Store::Codes, Service::Closed, "--recovery-code \" {3} \"",
     "--logon user=alice", {"WLX_SAS_ACTION_LOGON"}, 1, 1, 0, 0, 2, ""},
    {"FiveWrongCodesAreRefused", 0, Store::Codes, Service::Closed,
     "--recovery-codes \"1;22;333333333333;4444-4444-4444;{1}x\"", "--logon user=alice", {"WLX_SAS_ACTION_NONE"},
     1, 0, 5, 5, 3, "log| No recovery code accepted; refusing"},
    {"CancelRefuses", 0, Store::Codes, Service::Closed, "--recovery-press cancel", "--logon user=alice",
     {"WLX_SAS_ACTION_NONE"}, 1, 0, 0, 0, 3, "log| No recovery code accepted; refusing"},
    {"FailOpenSetWithCodesFailsOpenAsBefore", 1, Store::Codes, Service::Closed, "--recovery-code {1}",
     "--logon user=alice", {"WLX_SAS_ACTION_LOGON"}, 0, 0, 0, 0, 3,
     "log| Failsafe Vyn login: timeout or other network error"},
    {"NoCodesIsTodaysRefusal", 0, Store::None, Service::Closed, "--recovery-code 000000000000",
     "--logon user=alice", {"WLX_SAS_ACTION_NONE"}, 0, 0, 0, 0, 0,
     "host: WlxMessageBox caption \"Vyn Security\" style 0x10 text \"" + kCommunicationText + " (12029)\""},
    {"ServerErrorToPreauthOffersTheDialog", 0, Store::Codes, Service::PreauthServerError, "--recovery-code {1}",
     "--logon user=alice", {"WLX_SAS_ACTION_LOGON"}, 1, 1, 0, 0, 2, "log| HTTP response status not understood; aborting"},
    {"ServerErrorToAuthOffersTheDialogAfterThePasscode", 0, Store::Codes, Service::AuthServerError,
     "--answer push --recovery-code {1}", "--logon user=alice", {"WLX_SAS_ACTION_LOGON"}, 1, 1, 0, 0, 2,
     "log| Error in Vyn login for 'alice': The Vyn authentication server returned an unexpected response.  "
     "Please contact your system administrator."},
    {"ServerErrorToAnAutomaticPushOffersTheDialogAtTheGate", 0, Store::Codes, Service::AuthServerError,
     "--recovery-code {1}", "--logon user=alice", {"WLX_SAS_ACTION_LOGON"}, 1, 1, 0, 0, 2,
     "log| Error in Vyn login for 'alice': The Vyn authentication server returned an unexpected response.  "
     "Please contact your system administrator.",
     1},
    {"ServiceUpAndRefusingNeverOffersTheDialog", 0, Store::Codes, Service::Refusing, "--recovery-code {1}",
     "--logon user=alice", {"WLX_SAS_ACTION_NONE"}, 0, 0, 0, 0, 3,
     "host: WlxMessageBox caption \"Vyn Security\" style 0x10 text \"Account disabled by the test\""},
    {"UnlockAsLogon", 0, Store::Codes, Service::Closed, "--recovery-codes \"{1};{2}\"",
     "--logon user=alice --unlock", {"WLX_SAS_ACTION_LOGON", "WLX_SAS_ACTION_UNLOCK_WKSTA"}, 2, 2, 0, 0, 1,
     "log| Recovery code used for 'alice'; 1 left"},
    {"MalformedStoreIsNoCodesWithOneEvent", 0, Store::Malformed, Service::Closed, "--recovery-code {1}",
     "--logon user=alice", {"WLX_SAS_ACTION_NONE"}, 0, 0, 0, 0, 0,
     "log| Recovery codes cannot be used: Hashes is missing or not whole hashes"},
    {"AKeyOwnedByAnotherAccountIsNoCodes", 0, Store::OwnedByAnother, Service::Closed, "--recovery-code {1}",
     "--logon user=alice", {"WLX_SAS_ACTION_NONE"}, 0, 0, 0, 0, 0,
     "log| Recovery codes cannot be used: HKLM\\Software\\Vyn Security\\Recovery is owned by S-1-5-32-547, not "
     "SYSTEM or Administrators"},
    {"AKeyAnotherAccountMayWriteIsNoCodes", 0, Store::ExtraWriter, Service::Closed, "--recovery-code {1}",
     "--logon user=alice", {"WLX_SAS_ACTION_NONE"}, 0, 0, 0, 0, 0,
     "log| Recovery codes cannot be used: HKLM\\Software\\Vyn Security\\Recovery (owner S-1-5-32-544) may be "
     "written by S-1-5-32-547"},
    {"AKeyWithAnInheritedListIsNoCodes", 0, Store::InheritedList, Service::Closed, "--recovery-code {1}",
     "--logon user=alice", {"WLX_SAS_ACTION_NONE"}, 0, 0, 0, 0, 0,
     "log| Recovery codes cannot be used: HKLM\\Software\\Vyn Security\\Recovery (owner S-1-5-32-544) takes "
     "entries from its parent's access list"},
    {"ALockAnotherAccountCreatedRefusesTheTry", 0, Store::ForeignLock, Service::Closed, "--recovery-code {1}",
     "--logon user=alice", {"WLX_SAS_ACTION_NONE"}, 1, 0, 0, 0, 3,
     "log| Recovery code refused: the lock \"Global\\Vyn Security recovery codes\" was created by another account "
     "(S-1-5-32-547)"},
    {"ALockHeldPastTheWaitRefusesTheTry", 0, Store::LockHeld, Service::Closed, "--recovery-code {1}",
     "--logon user=alice", {"WLX_SAS_ACTION_NONE"}, 1, 0, 0, 0, 3,
     "log| ERROR: Recovery code refused: another logon held the recovery codes' lock for 6 s"},
    {"StatusPollsFailingAfterATransactionNeverOfferTheDialog", 0, Store::Codes, Service::StatusPollsFail,
     "--answer push --recovery-code {1}", "--logon user=alice", {"WLX_SAS_ACTION_NONE"}, 0, 0, 0, 0, 3,
     "log| HTTP response status not understood; aborting"},
    {"ARightCodeThatCannotBeRemovedIsRefused", 0, Store::ReadOnly, Service::Closed, "--recovery-code {1}",
     "--logon user=alice", {"WLX_SAS_ACTION_NONE"}, 1, 0, 0, 0, 3,
     "log| ERROR: Recovery code matched but could not be removed; refusing it"},
};

class RecoveryTableTest : public RecoveryTest, public testing::WithParamInterface<Row> {};

TEST_P(RecoveryTableTest, Row) {
    const Row& row = GetParam();
    settings.failOpen = row.failOpen;
    settings.autoPush = row.autoPush;
    if (row.service == Service::Closed) settings.host = "localhost:" + std::to_string(refservice::ClosedPort());
    Rewrite();
    switch (row.service) {
    case Service::PreauthServerError:
        Load(R"({"operations":{"preauth":[{"http_status":503,"repeat":-1}]}})");
        break;
    case Service::AuthServerError:
        Load(R"({"users":{"alice":{"result":"auth","status":"Account active","factors":{"default":"push"}}},
                 "operations":{"auth":[{"http_status":502,"repeat":-1}]}})");
        break;
    case Service::Refusing:
        Load(R"({"users":{"alice":{"result":"deny","status":"Account disabled by the test"}}})");
        break;
    case Service::StatusPollsFail:
        Load(R"({"users":{"alice":{"result":"auth","status":"Account active","factors":{"default":"push"}}},
                 "answers":{"push":{"txid":"TX-R","statuses":[{"result":"allow","status":"Approved"}]}},
                 "operations":{"status":[{"http_status":503,"repeat":2},{"http_status":400,"repeat":-1}]}})");
        break;
    case Service::Closed:
        break;
    }
    std::vector<std::string> codes = row.store == Store::None ? std::vector<std::string>() : MakeCodes(3);
    if (row.store == Store::None) codes = {"123412341234"};
    if (row.store == Store::Malformed)
        testreg::SetRaw("Software\\Vyn Security\\Recovery", "Hashes", REG_BINARY, std::string(33, 'x'));
    std::unique_ptr<testreg::ReadOnlyKey> readOnly;
    if (row.store == Store::ReadOnly) readOnly.reset(new testreg::ReadOnlyKey(kRecoveryKeyW));
    // Power Users (S-1-5-32-547) stand for the account that made the key or
    // the lock first: on XP and 2003 they may create subkeys of HKLM\Software.
    if (row.store == Store::OwnedByAnother) SetKeySecurity(kRecoveryKeyW, L"O:PU", OWNER_SECURITY_INFORMATION);
    if (row.store == Store::ExtraWriter)
        SetKeySecurity(kRecoveryKeyW, L"O:BAD:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;;KW;;;PU)",
                       kOwnerAndList | PROTECTED_DACL_SECURITY_INFORMATION);
    if (row.store == Store::InheritedList)
        SetKeySecurity(kRecoveryKeyW, L"O:BAD:(A;CI;KA;;;SY)(A;CI;KA;;;BA)",
                       kOwnerAndList | UNPROTECTED_DACL_SECURITY_INFORMATION);
    unique_handle foreignLock;
    if (row.store == Store::ForeignLock) {
        PSECURITY_DESCRIPTOR raw = nullptr;
        ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"O:PUD:(A;;GA;;;WD)", SDDL_REVISION_1,
                                                                           &raw, nullptr));
        const unique_hlocal descriptor(raw);
        SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor.get(), FALSE};
        foreignLock.reset(::CreateMutexW(&attributes, FALSE, kLockName));
        ASSERT_TRUE(foreignLock);
    }
    std::unique_ptr<MachineLock> lock;
    if (row.store == Store::LockHeld) {
        lock.reset(new MachineLock(kLockName, kRecoveryLockSecurity));
        ASSERT_TRUE(lock->Acquire(0));
    }

    steps_ = row.steps;
    // Only this run's lines are searched for codes (the file also holds
    // earlier runs'; after a rotation it is read whole).
    const size_t logStart = ReadLog().size();
    const DWORD start = ::GetTickCount();
    const ChildRun run = Host(Replaced(row.script, codes));
    const DWORD elapsed = ::GetTickCount() - start;
    readOnly.reset();
    lock.reset();
    foreignLock.reset();
    ASSERT_EQ(run.exitCode, 0u) << run.out;
    const std::vector<std::string> lines = HostLines(run);

    std::vector<std::string> answers;
    const std::regex answer(R"(^host: Wlx(LoggedOutSAS|WkstaLockedSAS) -> \d+ (\w+).*$)");
    for (const std::string& text : lines) {
        std::smatch m;
        if (std::regex_match(text, m, answer)) answers.push_back(m[2]);
    }
    EXPECT_EQ(answers, row.answers) << run.out;
    EXPECT_EQ(CountLines(lines, "host: recovery dialog shown"), row.recoveryDialogs) << run.out;
    if (row.autoPush) {
        EXPECT_EQ(CountLines(lines, "host: passcode dialog shown"), 0u) << run.out;
    }
    EXPECT_EQ(CountLines(lines, std::string("log| ") + kAsked), row.recoveryDialogs) << run.out;
    EXPECT_EQ(CountLines(lines, std::string("log| ") + kAccepted), row.accepted) << run.out;
    EXPECT_EQ(CountLines(lines, "log| Wrong recovery code for 'alice'"), row.wrongEvents) << run.out;
    EXPECT_EQ(CountLines(lines, "host: WlxMessageBox caption \"Vyn Security\" style 0x10 text \"That recovery code "
                                "is not valid.\""),
              row.invalidBoxes)
        << run.out;
    if (!row.alsoLogged.empty()) {
        EXPECT_EQ(CountLines(lines, row.alsoLogged), 1u) << run.out;
    }
    // Every wrong code costs its 2 s, the fifth included; a try refused for
    // a held lock waits out the lock's 6 s first.
    EXPECT_GE(elapsed, row.wrongEvents * 2000u + (row.store == Store::LockHeld ? 6000u : 0u)) << run.out;

    // No code, as typed or as digits, reaches the log: the ones made, and
    // whatever the script typed that looks like one.
    std::string logText = ReadLog();
    if (logText.size() >= logStart) logText.erase(0, logStart);
    const std::string script = Replaced(row.script, codes);
    std::vector<std::string> typed = codes;
    const std::regex looksLikeACode(R"(\d{4}[- ]?\d{4}[- ]?\d{4})");
    for (std::sregex_iterator m(script.begin(), script.end(), looksLikeACode), end; m != end; ++m)
        typed.push_back(m->str());
    for (const std::string& code : typed) {
        const std::string digits = std::regex_replace(code, std::regex("[- ]"), "");
        for (const std::string& form : {code, digits, FormatRecoveryCode(digits)})
            EXPECT_EQ(logText.find(form), std::string::npos) << form;
    }

    RecoverySet set;
    std::string reason;
    const RecoveryLoad load = LoadRecoverySet(set, reason);
    if (Untrusted(row.store)) {
        EXPECT_EQ(load, RecoveryLoad::Malformed);
    } else {
        EXPECT_EQ(set.Count(), row.codesLeft);
    }
}

INSTANTIATE_TEST_SUITE_P(Outage, RecoveryTableTest, testing::ValuesIn(kRows),
                         [](const testing::TestParamInfo<Row>& info) { return std::string(info.param.name); });

// The tool: the exact lines of status and clear, the exit codes of bad input
// and of a key it cannot write, the key's private access list, and that the
// codes appear nowhere but in the output of `new`.
TEST_F(RecoveryTest, ToolMakesShowsAndClearsAPrivateSetAndNeverStoresACodeInClear) {
    ChildRun none = RunTool(L"status");
    EXPECT_EQ(none.exitCode, 0u);
    EXPECT_EQ(none.Lines()[0], "codes left: 0 (no set, or every code used)");

    const ChildRun made = RunTool(L"new 4");
    ASSERT_EQ(made.exitCode, 0u) << made.out;
    const std::vector<std::string> codes = PrintedCodes(made);
    ASSERT_EQ(codes.size(), 4u) << made.out;
    // FailOpen is 0 here: no note that the codes would never be asked for.
    EXPECT_EQ(made.out.find("FailOpen"), std::string::npos) << made.out;

    const ChildRun status = RunTool(L"status");
    EXPECT_EQ(status.exitCode, 0u);
    const std::vector<std::string> statusLines = status.Lines();
    ASSERT_EQ(statusLines.size(), 3u) << status.out;
    EXPECT_TRUE(std::regex_match(statusLines[0],
                                 std::regex(R"(codes left: 4 \(set made 20\d\d-\d\d-\d\d \d\d:\d\d UTC\))")))
        << status.out;
    EXPECT_EQ(statusLines[1], "FailOpen: clear: a code is asked for when the service cannot be reached");
    EXPECT_EQ(statusLines[2], "access list: private (SYSTEM and Administrators only)");

    // The key's owner and access list, exactly.
    EXPECT_EQ(KeySddl(kRecoveryKeyW), L"O:BAD:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)");

    // No code, in digits or in its printed form, in any value or in the log.
    std::string stored;
    for (const wchar_t* name : {L"Salt", L"Iterations", L"Created", L"Hashes"}) {
        const testreg::Value value = testreg::Query(kRecoveryKeyW, name);
        EXPECT_TRUE(value.present) << Utf8(name);
        stored += value.bytes;
    }
    EXPECT_EQ(testreg::Query(kRecoveryKeyW, L"Hashes").bytes.size(), 4u * kRecoveryHashBytes);
    const std::string logText = ReadLog();
    for (const std::string& code : codes) {
        for (const std::string& form : {code, FormatRecoveryCode(code)}) {
            const std::string wide = testreg::WideBytesWithNul(W(form)).substr(0, form.size() * 2);
            EXPECT_EQ(stored.find(form), std::string::npos);
            EXPECT_EQ(stored.find(wide), std::string::npos);
            EXPECT_EQ(logText.find(form), std::string::npos);
        }
    }

    // Bad input and a key that cannot be written leave the set as it was.
    for (const wchar_t* bad : {L"new 0", L"new 51", L"new ten", L"new 5 6", L"old"}) {
        const ChildRun run = RunChild(RecoveryToolPath(), bad, ChildStderr::Discarded);
        EXPECT_EQ(run.exitCode, 64u) << Utf8(bad);
    }
    EXPECT_EQ(RunTool(L"new 51").out, "vyn-recovery: N must be a whole number from 1 to 50, not \"51\"\n");
    {
        // `new` replaces the key whole: a key that may not be deleted (a
        // deny entry) cannot be written.
        SetKeySecurity(kRecoveryKeyW, L"O:BAD:P(D;;SD;;;WD)(A;CI;KA;;;SY)(A;CI;KA;;;BA)",
                       kOwnerAndList | PROTECTED_DACL_SECURITY_INFORMATION);
        const ChildRun denied = RunTool(L"new");
        EXPECT_EQ(denied.exitCode, 2u) << denied.out;
        EXPECT_EQ(denied.out, "vyn-recovery: HKLM\\Software\\Vyn Security\\Recovery cannot be written (error 5); "
                              "see vyn-recovery status for what is stored\n");
        SetKeySecurity(kRecoveryKeyW, L"O:BAD:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)",
                       kOwnerAndList | PROTECTED_DACL_SECURITY_INFORMATION);
    }
    EXPECT_EQ(testreg::Query(kRecoveryKeyW, L"Hashes").bytes.size(), 4u * kRecoveryHashBytes);

    // A key someone else made (owner, writer, a subkey of their own) is not
    // reused: `new` deletes it and makes it anew, owned by the Administrators.
    SetKeySecurity(kRecoveryKeyW, L"O:PUD:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KA;;;PU)",
                   OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION);
    testreg::SetRaw("Software\\Vyn Security\\Recovery\\Theirs", "Iterations", REG_DWORD, std::string(4, '\1'));
    // Their symbolic link to a tree of someone else's is removed as a link:
    // the tree it points at stays whole.
    testreg::SetRaw("Software\\Vyn Recovery Test Target\\Child", "Kept", REG_DWORD, std::string(4, '\1'));
    {
        unique_hkey link;
        ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Vyn Security\\Recovery\\Theirs\\Link", 0,
                                    nullptr, REG_OPTION_CREATE_LINK, KEY_SET_VALUE | KEY_CREATE_LINK, nullptr,
                                    link.put(), nullptr),
                  ERROR_SUCCESS);
        const std::wstring target = L"\\Registry\\Machine\\Software\\Vyn Recovery Test Target";
        ASSERT_EQ(::RegSetValueExW(link.get(), L"SymbolicLinkValue", 0, REG_LINK,
                                   reinterpret_cast<const BYTE*>(target.data()),
                                   static_cast<DWORD>(target.size() * sizeof(wchar_t))),
                  ERROR_SUCCESS);
    }
    ASSERT_TRUE(testreg::Query(L"Software\\Vyn Security\\Recovery\\Theirs\\Link\\Child", L"Kept").present);
    const ChildRun remade = RunTool(L"new 2");
    EXPECT_EQ(remade.exitCode, 0u) << remade.out;
    EXPECT_EQ(KeySddl(kRecoveryKeyW), L"O:BAD:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)");
    EXPECT_EQ(KeySddl(L"Software\\Vyn Security\\Recovery\\Theirs"), L"(absent)");
    EXPECT_TRUE(testreg::Query(L"Software\\Vyn Recovery Test Target\\Child", L"Kept").present);
    testreg::DeleteKey(L"Software\\Vyn Recovery Test Target\\Child");
    testreg::DeleteKey(L"Software\\Vyn Recovery Test Target");
    EXPECT_EQ(testreg::Query(kRecoveryKeyW, L"Hashes").bytes.size(), 2u * kRecoveryHashBytes);

    const ChildRun cleared = RunTool(L"clear");
    EXPECT_EQ(cleared.exitCode, 0u);
    EXPECT_EQ(cleared.out, "recovery codes removed: none is asked for any more\n");
    EXPECT_FALSE(testreg::Query(kRecoveryKeyW, L"Hashes").present);
}

// Programs started at once, each on a thread of its own: the logon hosts of
// several sessions, and the administrator's tool.
struct Racer {
    std::wstring program;
    std::wstring arguments;
    ChildRun run;
    DWORD delayMs = 0;  // before it starts
};

DWORD WINAPI RunRacer(void* context) {
    Racer& racer = *static_cast<Racer*>(context);
    ::Sleep(racer.delayMs);
    racer.run = RunChildWithOutputFile(racer.program, racer.arguments, 60000);
    return 0;
}

void RunAtOnce(std::vector<Racer>& racers) {
    std::vector<unique_handle> threads;
    std::vector<HANDLE> waits;
    for (Racer& racer : racers) {
        threads.emplace_back(::CreateThread(nullptr, 0, RunRacer, &racer, 0, nullptr));
        ASSERT_TRUE(threads.back());
        waits.push_back(threads.back().get());
    }
    EXPECT_EQ(::WaitForMultipleObjects(static_cast<DWORD>(waits.size()), waits.data(), TRUE, 120000), WAIT_OBJECT_0);
}

struct Race {
    const char* name;
    std::vector<const char*> typed;  // one logon host each, typing {n}: the n-th of 2 known codes (of 3)
    size_t logons;                   // hosts let in
    size_t left;                     // codes that `status` then counts
};

const Race kRaces[] = {
    {"TwoSessionsTypeTheSameCode", {"{1}", "{1}"}, 1, 2},
    {"FourSessionsTypeTheSameCode", {"{1}", "{1}", "{1}", "{1}"}, 1, 2},
    {"TwoSessionsTypeTwoCodes", {"{1}", "{2}"}, 2, 1},
};

class RecoveryRaceTest : public RecoveryTest, public testing::WithParamInterface<Race> {};

// A set whose derivation takes a second or more, so that sessions started
// together are all between reading the set and writing it at once: `count`
// codes, of which the first ones are `known` (the rest nobody holds).
void StoreSlowSet(size_t count, const std::vector<std::string>& known, DWORD iterations = 1500000) {
    RecoverySet set;
    set.salt.assign(kRecoverySaltBytes, 0);
    ASSERT_TRUE(RecoveryRandom(set.salt.data(), set.salt.size()));
    set.iterations = iterations;
    set.created = 1;
    set.hashes.assign(count * kRecoveryHashBytes, 0);
    ASSERT_TRUE(RecoveryRandom(set.hashes.data(), set.hashes.size()));
    for (size_t i = 0; i < known.size(); ++i) {
        uint8_t hash[kRecoveryHashBytes];
        ASSERT_TRUE(DeriveRecoveryHash(known[i], set.salt, set.iterations, hash));
        std::memcpy(&set.hashes[i * kRecoveryHashBytes], hash, sizeof hash);
    }
    ASSERT_EQ(SaveRecoverySet(set), ERROR_SUCCESS);
}

// Sessions typing codes at the same moment: each code lets in one session,
// whatever the order, and the store counts exactly what is left.
TEST_P(RecoveryRaceTest, Row) {
    const Race& race = GetParam();
    settings.host = "localhost:" + std::to_string(refservice::ClosedPort());
    Rewrite();
    const std::vector<std::string> codes = {"111122223333", "444455556666"};
    StoreSlowSet(3, codes);
    std::vector<Racer> racers;
    for (const char* typed : race.typed)
        racers.push_back({WindowsPath(LOGON_HOST_PATH),
                          L"--msgina-dir \"" + StubMsginaDir() + L"\" --show-log --recovery-code " +
                              W(Replaced(typed, codes)) + L" \"" + ModulePath() + L"\" --logon user=alice",
                          {}});
    RunAtOnce(racers);
    size_t logons = 0;
    for (const Racer& racer : racers) {
        EXPECT_EQ(racer.run.exitCode, 0u) << racer.run.out;
        logons += CountLines(HostLines(racer.run), "log| " + std::string(kAccepted));
    }
    EXPECT_EQ(logons, race.logons);
    const ChildRun status = RunTool(L"status");
    ASSERT_FALSE(status.Lines().empty()) << status.out;
    EXPECT_EQ(status.Lines()[0].substr(0, 16), "codes left: " + std::to_string(race.left) + " (s") << status.out;
}

INSTANTIATE_TEST_SUITE_P(AtOnce, RecoveryRaceTest, testing::ValuesIn(kRaces),
                         [](const testing::TestParamInfo<Race>& info) { return std::string(info.param.name); });

// `new` while a session checks a code of the old set: afterwards the store
// holds the new set whole, its salt beside its own hashes, so that every
// printed code works and `status` counts them.
TEST_F(RecoveryTest, ANewSetMadeDuringACheckIsWhole) {
    settings.host = "localhost:" + std::to_string(refservice::ClosedPort());
    Rewrite();
    // The old set's derivation takes seconds; `new` starts once the session
    // is well into it, and lands between its reading and its writing.
    const std::vector<std::string> old = {"111122223333"};
    StoreSlowSet(3, old, 6000000);
    std::vector<Racer> racers = {
        {WindowsPath(LOGON_HOST_PATH),
         L"--msgina-dir \"" + StubMsginaDir() + L"\" --show-log --recovery-code " + W(old[0]) + L" \"" +
             ModulePath() + L"\" --logon user=alice",
         {}},
        {RecoveryToolPath(), L"new 3", {}, 3500},
    };
    RunAtOnce(racers);
    EXPECT_EQ(racers[1].run.exitCode, 0u) << racers[1].run.out;
    const std::vector<std::string> made = PrintedCodes(racers[1].run);
    ASSERT_EQ(made.size(), 3u) << racers[1].run.out;
    RecoverySet set;
    std::string reason;
    ASSERT_EQ(LoadRecoverySet(set, reason), RecoveryLoad::Loaded) << reason;
    EXPECT_EQ(set.Count(), 3u);
    for (const std::string& code : made) {
        uint8_t hash[kRecoveryHashBytes];
        ASSERT_TRUE(DeriveRecoveryHash(code, set.salt, set.iterations, hash));
        EXPECT_GE(MatchRecoveryHash(hash, set.hashes), 0) << code;
    }
}

}  // namespace
}  // namespace e2e

// vyn-check.exe on the recovery codes' store and the keys that hold secrets:
// who may read or write them, as an administrator runs the tool (a child
// process of this test, against the Wine prefix's real registry).
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

// FailOpen off without codes warns that an outage locks everyone out, and
// FailOpen on never does (codes are never asked for then); a set is counted;
// a Recovery key that others may read is exposed like SKey.
TEST_F(VynCheck, RecoveryCodesAreReportedAndTheirKeyIsExposedLikeTheSecret) {
    // The set's time is the test's own: the date expected is not the tool's word.
    const SYSTEMTIME made = {2026, 3, 0, 4, 5, 6, 7, 0};
    FILETIME madeTime = {};
    ASSERT_TRUE(::SystemTimeToFileTime(&made, &madeTime));
    const struct {
        DWORD failOpen;
        bool codes;
        const char* line;
    } rows[] = {
        {0, false,
         "[warn] recovery codes: none, and FailOpen is off: an outage of the service locks everyone out, "
         "administrators included. Make codes with vyn-recovery new."},
        {1, false, "[info] recovery codes: none (needed only when FailOpen is off)"},
        {0, true, "[ ok ] recovery codes: 2 left (set made 2026-03-04 05:06 UTC)"},
        {1, true, "[info] recovery codes: 2 left (set made 2026-03-04 05:06 UTC); never asked for while FailOpen is on"},
    };
    ChildRun run;
    for (const auto& row : rows) {
        testreg::DeleteKey(L"Software\\Vyn Security\\Recovery");
        if (row.codes) {
            RecoverySet set;
            std::vector<std::string> codes;
            ASSERT_TRUE(MakeRecoverySet(2, set, codes));
            set.created = (static_cast<ULONGLONG>(madeTime.dwHighDateTime) << 32) | madeTime.dwLowDateTime;
            ASSERT_EQ(SaveRecoverySet(set), ERROR_SUCCESS);
        }
        Configure(testreg::kNormalKey, refservice::Port(), kSkey, row.failOpen);
        run = RunCheck(L"--no-network");
        EXPECT_TRUE(HasLine(run.out, row.line)) << run.out;
        EXPECT_EQ(run.out.find("locks everyone out") != std::string::npos, row.failOpen == 0 && !row.codes) << run.out;
        EXPECT_EQ(run.exitCode, 0u) << run.out;
    }
    EXPECT_TRUE(HasLine(run.out, "[ ok ] recovery codes: only SYSTEM, Administrators and CREATOR OWNER may read "
                                 "HKLM\\Software\\Vyn Security\\Recovery"))
        << run.out;

    SetKeyAcl(kRecoveryKey, L"D:P(A;;KA;;;SY)(A;;KA;;;BA)(A;;KR;;;BU)");
    run = RunCheck(L"--no-network");
    EXPECT_EQ(run.exitCode, 5u) << run.out;
    EXPECT_EQ(LastLine(run.out), "verdict: exposed: the recovery codes' hashes may be read by BUILTIN\\Users: whoever "
                                 "reads them can try codes offline. Remove BUILTIN\\Users from the permissions of "
                                 "HKLM\\Software\\Vyn Security\\Recovery, or make a new set (vyn-recovery new), which "
                                 "makes the key private again.");

    // A key another account may write, or owns, is exposed as well (the
    // module takes no code from it), naming whom to remove.
    const struct {
        const wchar_t* sddl;
        SECURITY_INFORMATION parts;
        const char* line;
    } notOurs[] = {
        {L"D:P(A;;KA;;;SY)(A;;KA;;;BA)(A;;KW;;;BU)", DACL_SECURITY_INFORMATION,
         "[warn] recovery codes: HKLM\\Software\\Vyn Security\\Recovery is exposed: remove BUILTIN\\Users, or make a "
         "new set with vyn-recovery new, which deletes the key and makes it anew"},
        {L"O:BUD:P(A;;KA;;;SY)(A;;KA;;;BA)", OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
         "[warn] recovery codes: HKLM\\Software\\Vyn Security\\Recovery is exposed: remove the owner BUILTIN\\Users, "
         "or make a new set with vyn-recovery new, which deletes the key and makes it anew"},
    };
    for (const auto& row : notOurs) {
        HKEY key = nullptr;
        ASSERT_EQ(::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRecoveryKey, 0, READ_CONTROL | WRITE_DAC | WRITE_OWNER, &key),
                  ERROR_SUCCESS);
        PSECURITY_DESCRIPTOR sd = nullptr;
        ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(row.sddl, SDDL_REVISION_1, &sd, nullptr));
        EXPECT_EQ(::RegSetKeySecurity(key, row.parts, sd), ERROR_SUCCESS);
        ::LocalFree(sd);
        ::RegCloseKey(key);
        run = RunCheck(L"--no-network");
        EXPECT_EQ(run.exitCode, 5u) << run.out;
        EXPECT_TRUE(HasLine(run.out, row.line)) << run.out;
    }
    testreg::DeleteKey(L"Software\\Vyn Security\\Recovery");
}

TEST_F(VynCheck, KeyReadableByUsersIsExposed) {
    Configure(testreg::kNormalKey, refservice::Port());
    // SYSTEM and Administrators full control, Users read: a real descriptor.
    SetKeyAcl(testreg::kNormalKey, L"D:P(A;;KA;;;SY)(A;;KA;;;BA)(A;;KR;;;BU)");
    ChildRun run = RunCheck(L"");
    EXPECT_TRUE(HasLine(run.out, "[warn] secret key: HKLM\\Software\\Vyn Security\\VynCredProv may be read by "
                                 "BUILTIN\\Users"))
        << run.out;
    EXPECT_EQ(run.exitCode, 5u);
    EXPECT_EQ(LastLine(run.out), "verdict: exposed: the secret key may be read by BUILTIN\\Users: whoever reads it "
                                 "can sign requests as this machine. Remove BUILTIN\\Users from the permissions of "
                                 "HKLM\\Software\\Vyn Security\\VynCredProv (SYSTEM and Administrators keep theirs).");
    const nlohmann::json doc = nlohmann::json::parse(RunCheck(L"--json").out);
    EXPECT_EQ(doc.at("verdict"), "exposed");
    EXPECT_EQ(doc.at("exit_code"), 5);
    // Anything worse decides first: here the refused keys.
    testreg::SetString(testreg::kNormalKey, "SKey", "not-the-tenant-secret");
    run = RunCheck(L"");
    EXPECT_EQ(run.exitCode, 3u) << run.out;

    SetKeyAcl(testreg::kNormalKey, L"D:P(A;;KA;;;SY)(A;;KA;;;BA)(A;CI;KA;;;CO)");
    run = RunCheck(L"--no-network");
    EXPECT_TRUE(HasLine(run.out, "[ ok ] secret key: only SYSTEM, Administrators and CREATOR OWNER may read "
                                 "HKLM\\Software\\Vyn Security\\VynCredProv"))
        << run.out;

    // A secret key in the policy key is in SYSVOL as well, whatever its
    // access list here: the remedy is another key and a new key pair.
    testreg::DeleteKey(testreg::kNormalKey);
    Configure(testreg::kPolicyKey, refservice::Port());
    SetKeyAcl(testreg::kPolicyKey, L"D:P(A;;KA;;;SY)(A;;KA;;;BA)(A;;KR;;;AU)");
    run = RunCheck(L"--no-network");
    EXPECT_EQ(run.exitCode, 5u) << run.out;
    EXPECT_EQ(LastLine(run.out),
              "verdict: exposed: the secret key may be read by NT AUTHORITY\\Authenticated Users: whoever reads it can "
              "sign requests as this machine. Remove NT AUTHORITY\\Authenticated Users from the permissions of "
              "HKLM\\Software\\Policies\\Vyn Security\\VynCredProv (SYSTEM and Administrators keep theirs). The "
              "policy key's values come from a Group Policy object, which sits in SYSVOL, readable by every domain "
              "user: move SKey to the machine key HKLM\\Software\\Vyn Security\\VynCredProv and rotate the key "
              "pair.");
    SetKeyAcl(testreg::kPolicyKey, kProtectedKeyAcl);
}

}  // namespace

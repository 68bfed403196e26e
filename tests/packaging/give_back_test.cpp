// The uninstall's give-back of a replaced login module, against the prefix's
// registry: the record under HKLM\Software\Vyn Security\Installer is given
// back only from a key that SYSTEM or the Administrators own and nobody else
// may write. Each case gives the key a security descriptor as Windows would
// hold it, reads it as PrepareGinaGiveBack does, carries the state through
// the script's text and applies it as GiveBackGina does.

#include <windows.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/handles.h"
#include "common/machine_lock.h"
#include "tools/setup_actions/gina_give_back.h"

namespace {

constexpr char kInstallerKeyShown[] = "HKLM\\Software\\Vyn Security\\Installer";
constexpr wchar_t kProcessUserMark[] = L"%USER%";
constexpr wchar_t kElsewhereGina[] = L"C:\\Elsewhere\\OtherGina.dll";

std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

// The account the test runs as: neither SYSTEM nor the Administrators group.
std::string ProcessUserSid() {
    unique_handle token;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put())) return {};
    BYTE buffer[256];
    DWORD size = sizeof buffer;
    if (!::GetTokenInformation(token.get(), TokenUser, buffer, size, &size)) return {};
    return SidString(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid);
}

RawValue StringValue(const std::wstring& text) {
    RawValue value;
    value.present = true;
    value.type = REG_SZ;
    value.data.assign(reinterpret_cast<const char*>(text.c_str()), (text.size() + 1) * sizeof(wchar_t));
    return value;
}

std::wstring ModulePath() {
    wchar_t system[MAX_PATH + 1] = {};
    const UINT chars = ::GetSystemDirectoryW(system, MAX_PATH + 1);
    return std::wstring(system, chars) + L"\\VynGina.dll";
}

void DeleteInstallerKey() {
    ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kInstallerMarksKey, KEY_WOW64_64KEY, 0);
}

// Makes the key anew with `sddl` (%USER% for the process's account) as its
// owner and protected list, and the record naming another module.
void MakeInstallerKey(std::wstring sddl) {
    DeleteInstallerKey();
    const size_t user = sddl.find(kProcessUserMark);
    if (user != std::wstring::npos) sddl.replace(user, 6, Wide(ProcessUserSid()));
    unique_hkey key;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kInstallerMarksKey, 0, nullptr, 0,
                                KEY_SET_VALUE | WRITE_DAC | WRITE_OWNER | KEY_WOW64_64KEY, nullptr, key.put(), nullptr),
              ERROR_SUCCESS);
    const RawValue record = StringValue(kElsewhereGina);
    ASSERT_EQ(::RegSetValueExW(key.get(), L"PreviousGinaDLL", 0, REG_SZ,
                               reinterpret_cast<const BYTE*>(record.data.data()), static_cast<DWORD>(record.data.size())),
              ERROR_SUCCESS);
    PSECURITY_DESCRIPTOR raw = nullptr;
    ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &raw, nullptr));
    const unique_hlocal descriptor(raw);
    ASSERT_EQ(::RegSetKeySecurity(key.get(),
                                  OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                      PROTECTED_DACL_SECURITY_INFORMATION,
                                  descriptor.get()),
              ERROR_SUCCESS);
}

bool GinaPresent() {
    RawValue gina;
    EXPECT_EQ(ReadMachineValue(kWinlogonKey, L"GinaDLL", gina), ERROR_SUCCESS);
    return gina.present;
}

struct RecordCase {
    const char* name;
    const wchar_t* sddl;       // the Installer key's security
    std::string distrust;      // what the check says; %USER% for the process's account
};

const RecordCase kRecordCases[] = {
    {"OwnedByAnotherAccount", L"O:%USER%D:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)",
     std::string(kInstallerKeyShown) + " is owned by %USER%, not SYSTEM or Administrators"},
    {"WritableByPowerUsers", L"O:BAD:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KR;;;BU)(A;CI;KW;;;PU)",
     std::string(kInstallerKeyShown) + " (owner S-1-5-32-544) may be written by S-1-5-32-547"},
    {"TakesTheParentsEntries", L"O:BAD:(A;CI;KA;;;SY)(A;CI;KA;;;BA)",
     std::string(kInstallerKeyShown) + " (owner S-1-5-32-544) takes entries from its parent's access list"},
    {"Trusted", L"O:BAD:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KR;;;BU)", ""},
};

class InstallerRecord : public testing::TestWithParam<RecordCase> {
protected:
    void TearDown() override { DeleteInstallerKey(); }
};

TEST_P(InstallerRecord, IsGivenBackOnlyFromATrustedKey) {
    const RecordCase& test = GetParam();
    MakeInstallerKey(test.sddl);
    if (HasFatalFailure()) return;
    std::string expected = test.distrust;
    const size_t user = expected.find("%USER%");
    if (user != std::string::npos) expected.replace(user, 6, ProcessUserSid());

    GinaState state;
    state.module = ModulePath();
    state.gina = StringValue(state.module);
    ASSERT_EQ(ReadMachineValue(kInstallerMarksKey, L"PreviousGinaDLL", state.previous), ERROR_SUCCESS);
    const char* call = "";
    ASSERT_EQ(ReadRecordDistrust(state.recordDistrust, call), ERROR_SUCCESS) << call;
    EXPECT_EQ(state.recordDistrust, expected);

    GinaState carried;
    ASSERT_TRUE(DecodeGinaState(EncodeGinaState(state), carried));
    {
        unique_hkey winlogon;
        ASSERT_EQ(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kWinlogonKey, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, winlogon.put()),
                  ERROR_SUCCESS);
        ASSERT_EQ(::RegSetValueExW(winlogon.get(), L"GinaDLL", 0, REG_SZ,
                                   reinterpret_cast<const BYTE*>(state.gina.data.data()),
                                   static_cast<DWORD>(state.gina.data.size())),
                  ERROR_SUCCESS);
    }
    std::vector<std::wstring> lines;
    EXPECT_EQ(ApplyGinaGiveBack(carried, [&lines](const std::wstring& line) { lines.push_back(line); }),
              static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_EQ(lines.size(), 1u);
    if (expected.empty()) {
        // Trusted: the record is looked at, and its file (missing here) decides.
        EXPECT_EQ(lines[0].find(std::wstring(L"GinaDLL named this module; the login module it replaced, ") +
                                kElsewhereGina + L", is "),
                  0u)
            << testing::PrintToString(lines[0]);
    } else {
        EXPECT_EQ(lines[0], L"GinaDLL named this module; the record of the login module it replaced is not trusted: " +
                                Wide(expected) + L": not given back, GinaDLL deleted, Winlogon loads msgina.dll.");
    }
    EXPECT_FALSE(GinaPresent());
}

INSTANTIATE_TEST_SUITE_P(GiveBack, InstallerRecord, testing::ValuesIn(kRecordCases),
                         [](const testing::TestParamInfo<RecordCase>& info) { return std::string(info.param.name); });

TEST(InstallerRecordKey, MissingIsNoDistrust) {
    DeleteInstallerKey();
    std::string distrust = "unset";
    const char* call = "";
    EXPECT_EQ(ReadRecordDistrust(distrust, call), ERROR_SUCCESS);
    EXPECT_EQ(distrust, "");
}

}  // namespace

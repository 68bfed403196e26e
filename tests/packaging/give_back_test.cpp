// The installer's record of the login module it replaced, against the
// prefix's registry: HKLM\Software\Vyn Security\Installer made as Power Users
// could make it on XP and 2003 (or as the package makes it), with a record
// naming another module. Each row is read as PrepareGinaGiveBack reads it,
// carried through the script's text and applied as GiveBackGina applies it;
// then the key is secured as SecureInstallerKey does before the package
// writes in it.

#include <windows.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/handles.h"
#include "tools/setup_actions/gina_give_back.h"
#include "tools/setup_actions/record_key.h"

namespace {

constexpr char kShown[] = "HKLM\\Software\\Vyn Security\\Installer";
constexpr wchar_t kElsewhereGina[] = L"C:\\Elsewhere\\OtherGina.dll";
// Where the planted link points: a private key that holds a record too.
constexpr wchar_t kLinkTarget[] = L"Software\\Vyn Record Test Target";
constexpr wchar_t kTrustedSddl[] = L"O:BAD:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KR;;;BU)";
constexpr wchar_t kRecordValue[] = L"PreviousGinaDLL";

std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

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

void DeleteAsItself(const wchar_t* path) {
    unique_hkey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, REG_OPTION_OPEN_LINK, DELETE, key.put()) != ERROR_SUCCESS) return;
    using NtDeleteKeyFunction = LONG(WINAPI*)(HANDLE);
    const auto ntDeleteKey = reinterpret_cast<NtDeleteKeyFunction>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtDeleteKey")));
    ASSERT_EQ(ntDeleteKey(key.get()), 0);
}

void SetValue(HKEY key, const std::wstring& text) {
    const RawValue value = StringValue(text);
    ASSERT_EQ(::RegSetValueExW(key, kRecordValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.data.data()),
                               static_cast<DWORD>(value.data.size())),
              ERROR_SUCCESS);
}

// Gives a key (opened as itself) the owner and list of `sddl`, protected or
// not as the text says ("D:P").
void SetSecurity(HKEY key, const wchar_t* sddl) {
    PSECURITY_DESCRIPTOR raw = nullptr;
    ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &raw, nullptr));
    const unique_hlocal descriptor(raw);
    const bool isProtected = std::wstring(sddl).find(L"D:P") != std::wstring::npos;
    ASSERT_EQ(::RegSetKeySecurity(key,
                                  OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                      (isProtected ? PROTECTED_DACL_SECURITY_INFORMATION
                                                   : UNPROTECTED_DACL_SECURITY_INFORMATION),
                                  descriptor.get()),
              ERROR_SUCCESS);
}

// Makes `path` with a record and `sddl`, or, with `link`, as a symbolic link
// to kLinkTarget.
void MakeKey(const wchar_t* path, const wchar_t* sddl, bool link) {
    unique_hkey key;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, link ? REG_OPTION_CREATE_LINK : 0,
                                KEY_SET_VALUE | KEY_CREATE_LINK | WRITE_DAC | WRITE_OWNER, nullptr, key.put(), nullptr),
              ERROR_SUCCESS);
    if (link) {
        const std::wstring target = std::wstring(L"\\Registry\\Machine\\") + kLinkTarget;
        ASSERT_EQ(::RegSetValueExW(key.get(), L"SymbolicLinkValue", 0, REG_LINK,
                                   reinterpret_cast<const BYTE*>(target.data()),
                                   static_cast<DWORD>(target.size() * sizeof(wchar_t))),
                  ERROR_SUCCESS);
    } else {
        SetValue(key.get(), kElsewhereGina);
    }
    SetSecurity(key.get(), sddl);
}

// The owner and list of the key (opened as itself) as SDDL; "(absent)" when missing.
std::wstring KeySddl(const wchar_t* path) {
    unique_hkey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, REG_OPTION_OPEN_LINK, READ_CONTROL, key.put()) != ERROR_SUCCESS)
        return L"(absent)";
    const SECURITY_INFORMATION parts = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    BYTE descriptor[1024];
    DWORD size = sizeof descriptor;
    LPWSTR text = nullptr;
    if (::RegGetKeySecurity(key.get(), parts, descriptor, &size) != ERROR_SUCCESS ||
        !::ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, parts, &text, nullptr))
        return L"(unreadable)";
    const unique_hlocal owned(text);
    return text;
}

bool GinaPresent() {
    RawValue gina;
    EXPECT_EQ(ReadMachineValue(kWinlogonKey, L"GinaDLL", gina), ERROR_SUCCESS);
    return gina.present;
}

enum class Made { Missing, Key, Link };

struct RecordCase {
    const char* name;
    Made made;
    const wchar_t* sddl;   // the Installer key's (or the link's own) security
    std::string distrust;  // why the key is not trusted; "" when it is
    std::wstring line;     // the give-back's line; a line ending in ", is " is the start of one
};

const std::wstring kNotGivenBack = L": not given back, GinaDLL deleted, Winlogon loads msgina.dll.";
const std::wstring kNotTrusted = L"GinaDLL named this module; the record of the login module it replaced is not trusted: ";
const std::wstring kNoneReplaced =
    L"GinaDLL named this module and no login module was replaced at install: GinaDLL deleted, Winlogon loads "
    L"msgina.dll.";

const RecordCase kRecordCases[] = {
    {"MadeByPowerUsers", Made::Key, L"O:PUD:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KA;;;PU)",
     std::string(kShown) + " is owned by S-1-5-32-547, not SYSTEM or Administrators", {}},
    {"WritableByPowerUsers", Made::Key, L"O:BAD:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KR;;;BU)(A;CI;KW;;;PU)",
     std::string(kShown) + " (owner S-1-5-32-544) may be written by S-1-5-32-547", {}},
    // What an earlier version left: the list of HKLM\Software.
    {"TakesTheParentsEntries", Made::Key, L"O:BAD:(A;CI;KA;;;SY)(A;CI;KA;;;BA)",
     std::string(kShown) + " (owner S-1-5-32-544) takes entries from its parent's access list", {}},
    // Read as itself, never followed to the record it points at.
    {"SymbolicLink", Made::Link, kTrustedSddl, std::string(kShown) + " (owner S-1-5-32-544) is a symbolic link", {}},
    {"Private", Made::Key, kTrustedSddl, "",
     std::wstring(L"GinaDLL named this module; the login module it replaced, ") + kElsewhereGina + L", is "},
    {"Missing", Made::Missing, nullptr, "", kNoneReplaced},
};

class InstallerRecord : public testing::TestWithParam<RecordCase> {
protected:
    void SetUp() override {
        TearDown();
        unique_hkey target;
        ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kLinkTarget, 0, nullptr, 0, KEY_SET_VALUE | WRITE_DAC |
                                    WRITE_OWNER, nullptr, target.put(), nullptr),
                  ERROR_SUCCESS);
        SetValue(target.get(), L"C:\\Linked\\Gina.dll");
        SetSecurity(target.get(), kTrustedSddl);
    }
    void TearDown() override {
        DeleteAsItself(kInstallerMarksKey);
        DeleteAsItself(kLinkTarget);
    }
};

TEST_P(InstallerRecord, IsGivenBackOnlyFromAPrivateKeyThatSecuringMakes) {
    const RecordCase& test = GetParam();
    if (test.made != Made::Missing) MakeKey(kInstallerMarksKey, test.sddl, test.made == Made::Link);
    if (HasFatalFailure()) return;

    GinaState state;
    state.module = ModulePath();
    state.gina = StringValue(state.module);
    FailedCall failure;
    ASSERT_EQ(ReadReplacedGinaRecord(state.previous, state.recordDistrust, failure), ERROR_SUCCESS) << failure.name;
    EXPECT_EQ(state.recordDistrust, test.distrust);

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
    const std::wstring line = test.line.empty() ? kNotTrusted + Wide(test.distrust) + kNotGivenBack : test.line;
    if (line.size() >= 5 && line.compare(line.size() - 5, 5, L", is ") == 0)
        EXPECT_EQ(lines[0].find(line), 0u) << testing::PrintToString(lines[0]);  // its file (missing) decides
    else
        EXPECT_EQ(lines[0], line);
    EXPECT_FALSE(GinaPresent());

    // Before the package writes in it: a private key keeps its record, any
    // other goes whole (a link as itself: the tree it points at stays) and
    // is made anew; either way the key is then private.
    std::string replaced = "unset";
    ASSERT_EQ(SecureRecordKey(replaced, failure), ERROR_SUCCESS) << failure.name;
    EXPECT_EQ(replaced, test.distrust);
    EXPECT_EQ(KeySddl(kInstallerMarksKey), kTrustedSddl);
    ASSERT_EQ(ReadReplacedGinaRecord(state.previous, state.recordDistrust, failure), ERROR_SUCCESS);
    EXPECT_EQ(state.recordDistrust, "");
    EXPECT_EQ(state.previous.present, test.made == Made::Key && test.distrust.empty());
    RawValue linked;
    ASSERT_EQ(ReadMachineValue(kLinkTarget, kRecordValue, linked), ERROR_SUCCESS);
    EXPECT_TRUE(linked.present);
}

// An installation that made the key private and then rolls back. Windows
// Installer's own rollback (which Wine's msiexec does not run) is played
// here: it undoes WriteRegistryValues (no net change to the key) before
// UndoSecureInstallerKey runs, and writes the values an older version's
// removal or a repair had taken out of the key (the record the row planted)
// back after it, into the key, made with the parent's list if missing. A
// record that was not trusted before the installation is not trusted after.
TEST_P(InstallerRecord, StaysUntrustedThroughARolledBackInstallation) {
    const RecordCase& test = GetParam();
    if (test.made != Made::Missing) MakeKey(kInstallerMarksKey, test.sddl, test.made == Made::Link);
    if (HasFatalFailure()) return;

    bool trusted = true;
    std::string distrust = "unset";
    FailedCall failure;
    ASSERT_EQ(ReadRecordKeyTrust(trusted, distrust, failure), ERROR_SUCCESS) << failure.name;
    EXPECT_EQ(trusted, test.made == Made::Key && test.distrust.empty());
    EXPECT_EQ(distrust, test.distrust);
    std::string replaced;
    ASSERT_EQ(SecureRecordKey(replaced, failure), ERROR_SUCCESS) << failure.name;
    if (!trusted) {
        ASSERT_EQ(ForgetRecordKey(failure), ERROR_SUCCESS) << failure.name;
    }
    if (test.made != Made::Missing) {
        unique_hkey restored;
        ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kInstallerMarksKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                                    restored.put(), nullptr),
                  ERROR_SUCCESS);
        SetValue(restored.get(), kElsewhereGina);
    }

    RawValue record;
    ASSERT_EQ(ReadReplacedGinaRecord(record, distrust, failure), ERROR_SUCCESS) << failure.name;
    if (test.made == Made::Missing) {
        EXPECT_EQ(KeySddl(kInstallerMarksKey), L"(absent)");
    } else if (trusted) {
        EXPECT_EQ(distrust, "");
        EXPECT_EQ(KeySddl(kInstallerMarksKey), kTrustedSddl);
    } else {
        EXPECT_EQ(distrust, std::string(kShown) + " (owner S-1-5-32-544) takes entries from its parent's access list");
    }
    EXPECT_EQ(record.present, test.made != Made::Missing);
    RawValue linked;
    ASSERT_EQ(ReadMachineValue(kLinkTarget, kRecordValue, linked), ERROR_SUCCESS);
    EXPECT_TRUE(linked.present);
}

INSTANTIATE_TEST_SUITE_P(GiveBack, InstallerRecord, testing::ValuesIn(kRecordCases),
                         [](const testing::TestParamInfo<RecordCase>& info) { return std::string(info.param.name); });

}  // namespace

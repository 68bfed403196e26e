#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>
#include <sddl.h>

#include <algorithm>
#include <cwchar>
#include <iterator>
#include <string>

#include "diag/log.h"
#include "tests/support/log_capture.h"

namespace {

SYSTEMTIME Time(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second) {
    SYSTEMTIME t = {};
    t.wYear = year;
    t.wMonth = month;
    t.wDay = day;
    t.wHour = hour;
    t.wMinute = minute;
    t.wSecond = second;
    return t;
}

TEST(LogPrefix, FixedLayoutWithYearModuloThousand) {
    EXPECT_EQ(FormatLogPrefix(Time(2014, 3, 5, 9, 7, 2), 1234), "03/05/14 09:07:02 (1234)");
    EXPECT_EQ(FormatLogPrefix(Time(2026, 12, 31, 23, 59, 59), 7), "12/31/26 23:59:59 (7)");
    EXPECT_EQ(FormatLogPrefix(Time(2100, 1, 1, 0, 0, 0), 4294967295u), "01/01/100 00:00:00 (4294967295)");
    EXPECT_EQ(FormatLogPrefix(Time(2000, 1, 1, 0, 0, 0), 0), "01/01/00 00:00:00 (0)");
}

TEST(LogMessage, ReachesDebuggerOutputAsOneLine) {
    LogCapture capture;
    LogMessage("Entered WlxInitialize");
    LogMessage("");
    LogMessage("two\r\nlines");
    const auto raw = capture.RawLines();
    ASSERT_EQ(raw.size(), 3u);
    EXPECT_EQ(StripLogPrefix(raw[0]), "Entered WlxInitialize");
    EXPECT_EQ(raw[1].substr(raw[1].size() - 3), " \r\n");
    EXPECT_EQ(StripLogPrefix(raw[2]), "two\r\nlines");
    const std::string tid = "(" + std::to_string(::GetCurrentThreadId()) + ") ";
    EXPECT_NE(raw[0].find(tid), std::string::npos);
}

TEST(LogSystemCallFailure, WritesUnsignedCodeAndReturnsIt) {
    LogCapture capture;
    EXPECT_EQ(LogSystemCallFailure("WinHttpOpen", 12029), 12029u);
    EXPECT_EQ(LogSystemCallFailure("X", 0x80004005), 0x80004005u);
    EXPECT_EQ(capture.Texts(), (std::vector<std::string>{"ERROR: Failure in system call 'WinHttpOpen' (12029)",
                                                         "ERROR: Failure in system call 'X' (2147500037)"}));
}

TEST(LogSocketFailure, ReadsLastSocketError) {
    LogCapture capture;
    ::WSASetLastError(10093);
    LogSocketFailure("gethostname");
    EXPECT_EQ(capture.Texts(), std::vector<std::string>{"ERROR: Failure in socket operation 'gethostname' (10093)"});
}

TEST(LogMessage, NullTextIsAnEmptyLine) {
    LogCapture capture;
    LogMessage(static_cast<const char*>(nullptr));
    const auto raw = capture.RawLines();
    ASSERT_EQ(raw.size(), 1u);
    EXPECT_EQ(StripLogPrefix(raw[0]), "");
    EXPECT_EQ(raw[0].substr(raw[0].size() - 3), " \r\n");
}

// Also for a process started before the variable the stored folder names was
// set (Winlogon early at boot): the profile list then gives that folder.
TEST(GetLogDirectory, IsVynSecurityUnderTheCommonApplicationDataFolder) {
    wchar_t saved[MAX_PATH] = {};
    ASSERT_GT(::GetEnvironmentVariableW(L"ProgramData", saved, MAX_PATH), 0u);
    for (const bool withVariable : {true, false}) {
        SCOPED_TRACE(withVariable ? "ProgramData set" : "ProgramData not set");
        ::SetEnvironmentVariableW(L"ProgramData", withVariable ? saved : nullptr);
        wchar_t buffer[520];
        std::fill(std::begin(buffer), std::end(buffer), L'x');
        EXPECT_EQ(GetLogDirectory(buffer), S_OK);
        EXPECT_STREQ(buffer, L"C:\\ProgramData\\Vyn Security");
    }
    ::SetEnvironmentVariableW(L"ProgramData", saved);
}

}  // namespace

// The descriptor a log folder the module creates is given: protected (nothing
// inherited from the application-data folder), exactly two entries, full
// control for SYSTEM and the Administrators, passed on to files and folders
// created in it.
TEST(PrivateLogDirectorySecurity, OnlySystemAndAdministratorsProtectedAndInherited) {
    const unique_hlocal descriptor = PrivateLogDirectorySecurity();
    ASSERT_TRUE(descriptor);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(::GetSecurityDescriptorControl(descriptor.get(), &control, &revision));
    EXPECT_TRUE(control & SE_DACL_PROTECTED);
    EXPECT_TRUE(control & SE_DACL_PRESENT);
    BOOL present = FALSE, defaulted = TRUE;
    PACL dacl = nullptr;
    ASSERT_TRUE(::GetSecurityDescriptorDacl(descriptor.get(), &present, &dacl, &defaulted));
    ASSERT_TRUE(present);
    ASSERT_NE(dacl, nullptr);
    EXPECT_FALSE(defaulted);
    ASSERT_EQ(dacl->AceCount, 2);
    const wchar_t* const expectedSids[] = {L"S-1-5-18", L"S-1-5-32-544"};
    for (DWORD i = 0; i < 2; ++i) {
        void* entry = nullptr;
        ASSERT_TRUE(::GetAce(dacl, i, &entry));
        const auto* ace = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
        EXPECT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
        EXPECT_EQ(ace->Header.AceFlags, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
        EXPECT_EQ(ace->Mask, static_cast<ACCESS_MASK>(FILE_ALL_ACCESS));
        LPWSTR sid = nullptr;
        ASSERT_TRUE(::ConvertSidToStringSidW(const_cast<DWORD*>(&ace->SidStart), &sid));
        const unique_hlocal sidOwner(sid);
        EXPECT_STREQ(sid, expectedSids[i]);
    }
    // No owner or group of its own: the creator's defaults apply.
    PSID owner = nullptr;
    BOOL ownerDefaulted = FALSE;
    ASSERT_TRUE(::GetSecurityDescriptorOwner(descriptor.get(), &owner, &ownerDefaulted));
    EXPECT_EQ(owner, nullptr);
}

namespace {

// A UTF-8 text of `bytes` bytes made of `unit` repeated (cut to fit).
std::string Repeated(const std::string& unit, size_t bytes) {
    std::string text;
    while (text.size() < bytes) text += unit;
    return text.substr(0, bytes);
}

unique_hlocal Descriptor(const wchar_t* sddl) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    EXPECT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr));
    return unique_hlocal(descriptor);
}

}  // namespace

// The bound and the note for every text the service sends into the log: a
// text that fits is untouched but for its line ends, a longer one keeps its
// first 512 bytes (never half a character) and says how many bytes were left
// out.
TEST(ServiceTextForLog, CutsAt512BytesOnACharacterBoundaryWithTheCount) {
    const std::string fits = Repeated("a", 512);
    EXPECT_EQ(ServiceTextForLog(fits), fits);
    EXPECT_EQ(ServiceTextForLog(""), "");
    EXPECT_EQ(ServiceTextForLog(Repeated("a", 513)), fits + " ... (1 bytes left out)");
    EXPECT_EQ(ServiceTextForLog(Repeated("b", 100 * 1024)), Repeated("b", 512) + " ... (101888 bytes left out)");
    // "\xE2\x82\xAC" (the euro sign) is three bytes: 170 of them take 510,
    // the 171st would end at byte 513, so it goes whole.
    const std::string euros = Repeated("\xE2\x82\xAC", 3 * 200);
    EXPECT_EQ(ServiceTextForLog(euros), euros.substr(0, 510) + " ... (90 bytes left out)");
    // Zero bytes are bytes like any other.
    const std::string zeros(600, '\0');
    EXPECT_EQ(ServiceTextForLog(zeros), std::string(512, '\0') + " ... (88 bytes left out)");
    // A line end cannot start a line of the service's making: CR and LF are
    // written as \r and \n. The bound counts the service's bytes, cut first.
    EXPECT_EQ(ServiceTextForLog("Denied\r\n01/01/26 00:00:00 (1) Successful Vyn login for 'admin'"),
              "Denied\\r\\n01/01/26 00:00:00 (1) Successful Vyn login for 'admin'");
    EXPECT_EQ(ServiceTextForLog("a\nb\rc\r"), "a\\nb\\rc\\r");
    EXPECT_EQ(ServiceTextForLog(Repeated("\n", 513)), Repeated("\\n", 1024) + " ... (1 bytes left out)");
}

// Which descriptors the module takes for its own log folder's as it leaves
// them (`exact`), and which it takes back when the log opens (`othersIn`):
// only a folder that lets in someone other than SYSTEM and the Administrators,
// or is owned by someone else. The private entries reordered or extended by a
// trusted entry, as a Group Policy may rewrite them, are left as they are.
TEST(IsPrivateLogDirectorySecurity, OnlyAdministratorsOwnedAndTheExactProtectedDacl) {
    const struct {
        const wchar_t* sddl;
        bool exact, othersIn;
    } cases[] = {
        {L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", true, false},
        // The private entries in another order, owned by SYSTEM, with the
        // Backup Operators or CREATOR OWNER added, or with a deny entry: not
        // a take-over.
        {L"O:BAD:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)", false, false},
        {L"O:SYD:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)", false, false},
        {L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;BO)", false, false},
        {L"O:BAD:P(D;OICI;FA;;;WD)(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", false, false},
        {L"O:BAD:P(A;OICIIO;FA;;;CO)(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", false, false},
        // The user who created the folder first still owns it.
        {L"O:S-1-5-21-1-2-3-1001D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", false, true},
        {L"O:SYD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", false, false},
        // Owner right, but others may write or read.
        {L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1301bf;;;BU)", false, true},
        {L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FR;;;WD)", false, true},
        {L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;S-1-5-21-1-2-3-1001)", false, true},
        // Not protected: the application-data folder's entries flow in (they
        // are then read back as entries of their own).
        {L"O:BAD:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", false, false},
        {L"O:BAD:AI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICIID;0x1200a9;;;BU)", false, true},
        // Not inherited by the log file, or less than full control.
        {L"O:BAD:P(A;;FA;;;SY)(A;;FA;;;BA)", false, false},
        {L"O:BAD:P(A;OICI;FR;;;SY)(A;OICI;FA;;;BA)", false, false},
        // No DACL at all lets everyone in (a null DACL below); an empty one
        // lets nobody in, but is not the module's either.
        {L"O:BA", false, true},
        {L"O:BAD:P", false, false},
        // No owner recorded.
        {L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", false, true},
    };
    for (const auto& c : cases) {
        const unique_hlocal descriptor = Descriptor(c.sddl);
        ASSERT_TRUE(descriptor);
        const std::string text(c.sddl, c.sddl + std::wcslen(c.sddl));
        EXPECT_EQ(IsPrivateLogDirectorySecurity(descriptor.get()), c.exact) << text;
        EXPECT_EQ(LogDirectoryLetsOthersIn(descriptor.get()), c.othersIn) << text;
    }
    EXPECT_FALSE(IsPrivateLogDirectorySecurity(nullptr));
    EXPECT_TRUE(LogDirectoryLetsOthersIn(nullptr));
    // A null DACL, built by hand: Wine reads "D:NO_ACCESS_CONTROL" as an
    // empty one.
    EXPECT_FALSE(IsPrivateLogDirectorySecurity(Descriptor(L"O:BAD:NO_ACCESS_CONTROL").get()));
    const unique_hlocal owned = Descriptor(L"O:BA");
    ASSERT_TRUE(owned);
    PSID administrators = nullptr;
    BOOL defaulted = FALSE;
    ASSERT_TRUE(::GetSecurityDescriptorOwner(owned.get(), &administrators, &defaulted));
    SECURITY_DESCRIPTOR nullDacl;
    ASSERT_TRUE(::InitializeSecurityDescriptor(&nullDacl, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(::SetSecurityDescriptorOwner(&nullDacl, administrators, FALSE));
    ASSERT_TRUE(::SetSecurityDescriptorDacl(&nullDacl, TRUE, nullptr, FALSE));
    EXPECT_FALSE(IsPrivateLogDirectorySecurity(&nullDacl));
    EXPECT_TRUE(LogDirectoryLetsOthersIn(&nullDacl));
}

// The refusals on what a handle opened without following links reports.
TEST(LogPathRefusal, ReparsePointsAndSecondLinks) {
    auto info = [](DWORD attributes, DWORD links) {
        BY_HANDLE_FILE_INFORMATION i = {};
        i.dwFileAttributes = attributes;
        i.nNumberOfLinks = links;
        return i;
    };
    EXPECT_EQ(LogPathRefusal(info(FILE_ATTRIBUTE_ARCHIVE, 1)), nullptr);
    EXPECT_EQ(LogPathRefusal(info(FILE_ATTRIBUTE_DIRECTORY, 1)), nullptr);
    // A folder's link count says nothing about who else can reach a file.
    EXPECT_EQ(LogPathRefusal(info(FILE_ATTRIBUTE_DIRECTORY, 3)), nullptr);
    EXPECT_STREQ(LogPathRefusal(info(FILE_ATTRIBUTE_ARCHIVE, 2)), "it has more than one link");
    EXPECT_STREQ(LogPathRefusal(info(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT, 1)),
                 "it is a reparse point");
    EXPECT_STREQ(LogPathRefusal(info(FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_REPARSE_POINT, 1)),
                 "it is a reparse point");
}

// The take-back privileges are enabled by their fixed values, with no name
// lookup (an RPC to the LSA) at process attach: each value is the privilege
// it stands for, and the scope enables it on the thread alone.
TEST(PrivilegedScope, EnablesBackupRestoreAndTakeOwnershipByTheirFixedValues) {
    const wchar_t* const names[] = {L"SeTakeOwnershipPrivilege", L"SeBackupPrivilege", L"SeRestorePrivilege"};
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        LUID named = {};
        ASSERT_TRUE(::LookupPrivilegeValueW(nullptr, names[i], &named));
        EXPECT_EQ(named.LowPart, log_detail::kTakeBackPrivileges[i]);
        EXPECT_EQ(named.HighPart, 0);
    }
    {
        const log_detail::PrivilegedScope scope;
        unique_handle token;
        ASSERT_TRUE(::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, token.put()));
        for (const DWORD value : log_detail::kTakeBackPrivileges) {
            PRIVILEGE_SET wanted = {1, PRIVILEGE_SET_ALL_NECESSARY, {{{value, 0}, 0}}};
            BOOL enabled = FALSE;
            ASSERT_TRUE(::PrivilegeCheck(token.get(), &wanted, &enabled));
            EXPECT_TRUE(enabled) << value;
        }
    }
    HANDLE none = nullptr;
    EXPECT_FALSE(::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &none));
}

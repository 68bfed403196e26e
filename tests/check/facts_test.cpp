// What vyn-check --json says about the machine and the run beside its
// findings, read back as a report over many machines reads it; each value is
// compared with what the test learns by another way.
#include <windows.h>
#include <ntsecapi.h>

#include <nlohmann/json.hpp>

#include "auth/recovery.h"
#include "common/strings.h"
#include "config/recovery_store.h"
#include "tests/check/check_fixture.h"
#include "tools/check/report.h"

namespace checktest {
namespace {

std::string ComputerNameByTheTest() {
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD length = MAX_COMPUTERNAME_LENGTH + 1;
    EXPECT_TRUE(::GetComputerNameExW(ComputerNameNetBIOS, name, &length));
    return ToUtf8(name);
}

// The primary domain (or the workgroup) as the LSA names it. Under Wine no
// second source agrees with it: its network API answers "Workgroup" and its
// DNS view nothing, whatever the LSA says.
std::string DomainByTheTest() {
    LSA_OBJECT_ATTRIBUTES attributes = {};
    LSA_HANDLE policy = nullptr;
    if (::LsaOpenPolicy(nullptr, &attributes, POLICY_VIEW_LOCAL_INFORMATION, &policy) != 0) return std::string();
    void* info = nullptr;
    std::string name;
    if (::LsaQueryInformationPolicy(policy, PolicyPrimaryDomainInformation, &info) == 0 && info != nullptr) {
        const auto* primary = static_cast<const POLICY_PRIMARY_DOMAIN_INFO*>(info);
        name = ToUtf8(std::wstring(primary->Name.Buffer, primary->Name.Length / sizeof(wchar_t)));
        ::LsaFreeMemory(info);
    }
    ::LsaClose(policy);
    return name;
}

// The version as the kernel reports it, not as GetVersionExW does.
std::string OsVersionByTheTest() {
    using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);
    const auto get = reinterpret_cast<RtlGetVersionFn>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion"));
    OSVERSIONINFOW v = {};
    v.dwOSVersionInfoSize = sizeof v;
    if (get == nullptr || get(&v) != 0) return std::string();
    return std::to_string(v.dwMajorVersion) + "." + std::to_string(v.dwMinorVersion) + "." +
           std::to_string(v.dwBuildNumber);
}

std::string UtcNowByTheTest() {
    SYSTEMTIME t = {};
    ::GetSystemTime(&t);
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02uZ", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
                  t.wSecond);
    return text;
}

TEST_F(VynCheck, JsonSaysWhichMachineAndRunItDescribes) {
    testreg::DeleteKey(L"Software\\Vyn Security\\Recovery");
    RecoverySet set;
    std::vector<std::string> codes;
    ASSERT_TRUE(MakeRecoverySet(3, set, codes));
    ASSERT_EQ(SaveRecoverySet(set), ERROR_SUCCESS);
    const struct {
        DWORD failOpen;
        const wchar_t* args;
        const char* tls;  // nullptr: not contacted
        const char* verdict;
    } rows[] = {
        {0, L"--json --no-network", nullptr, "ready"},
        {1, L"--json", "system", "ready"},
    };
    for (const auto& row : rows) {
        Configure(testreg::kNormalKey, refservice::Port(), kSkey, row.failOpen);
        const std::string before = UtcNowByTheTest();
        const ChildRun run = RunCheck(row.args);
        const std::string after = UtcNowByTheTest();
        const nlohmann::json doc = nlohmann::json::parse(run.out);
        EXPECT_EQ(doc.at("schema"), 1);
        EXPECT_EQ(doc.at("machine"), ComputerNameByTheTest());
        EXPECT_EQ(doc.at("domain"), DomainByTheTest());
        EXPECT_EQ(doc.at("os"), nlohmann::json({{"version", OsVersionByTheTest()},
                                                {"service_pack", doc.at("os").at("service_pack")},
                                                {"architecture", "x64"}}));
        EXPECT_TRUE(doc.at("os").at("service_pack").is_string());
        EXPECT_EQ(doc.at("module_version"), VYN_PROJECT_VERSION);
        EXPECT_EQ(doc.at("tool_version"), VYN_PROJECT_VERSION);
        const std::string checkedAt = doc.at("checked_at");
        EXPECT_TRUE(before <= checkedAt && checkedAt <= after) << before << " " << checkedAt << " " << after;
        EXPECT_EQ(checkedAt.size(), 20u);
        EXPECT_EQ(doc.at("fail_open"), row.failOpen != 0);
        if (row.tls)
            EXPECT_EQ(doc.at("tls"), row.tls);
        else
            EXPECT_TRUE(doc.at("tls").is_null());
        EXPECT_EQ(doc.at("recovery_codes"), 3);
        // Every field it had before stays.
        EXPECT_EQ(doc.at("verdict"), row.verdict);
        EXPECT_EQ(doc.at("exit_code"), 0);
        EXPECT_TRUE(doc.at("sentence").is_string());
        EXPECT_TRUE(doc.at("checks").is_array());
    }
    // Another module in GinaDLL, without a version block (the msgina test
    // double): no version is said.
    SetGinaDll(WindowsPath(STUB_MSGINA_PATH));
    const nlohmann::json other = nlohmann::json::parse(RunCheck(L"--json --no-network").out);
    EXPECT_EQ(other.at("verdict"), "registration-broken");
    EXPECT_TRUE(other.at("module_version").is_null()) << other.dump();
    testreg::DeleteKey(L"Software\\Vyn Security\\Recovery");
    EXPECT_EQ(nlohmann::json::parse(RunCheck(L"--json --no-network").out).at("recovery_codes"), 0);
}

// A service's text (a Content-Type, a fault's message) reaches a finding as
// the service sent it: the JSON is UTF-8 whatever it held, or a report over
// many machines would refuse the result and miss its verdict.
TEST(JsonString, IsUtf8WhateverTheTextHeld) {
    const struct {
        std::string text;
        std::string literal;
    } rows[] = {
        {"text/html; charset=utf-8", "\"text/html; charset=utf-8\""},
        {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x94\x91", "\"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x94\x91\""},
        {"a\"b\\c\n\x01", "\"a\\\"b\\\\c\\n\\u0001\""},
        {"text/html; charset=caf\xE9", "\"text/html; charset=caf\\ufffd\""},   // Latin-1
        {"\x80\xBF", "\"\\ufffd\\ufffd\""},                                      // stray continuations
        {"\xC0\xAF", "\"\\ufffd\\ufffd\""},                                      // overlong '/'
        {"\xED\xA0\x80", "\"\\ufffd\\ufffd\\ufffd\""},                          // a surrogate
        {"\xF4\x90\x80\x80", "\"\\ufffd\\ufffd\\ufffd\\ufffd\""},              // past U+10FFFF
        {"x\xE2\x82", "\"x\\ufffd\\ufffd\""},                                      // cut at the end
    };
    for (const auto& row : rows) {
        const std::string literal = JsonString(row.text);
        EXPECT_EQ(literal, row.literal);
        EXPECT_NO_THROW(nlohmann::json::parse(literal)) << literal;
    }
}

}  // namespace
}  // namespace checktest

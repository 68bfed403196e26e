#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>

#include "config/config.h"
#include "tests/config/event_recorder.h"
#include "tests/config/registry_helpers.h"
#include "tests/support/log_capture.h"

namespace {

using testreg::kNormalKey;
using testreg::kPolicyKey;
using testreg::SetDword;
using testreg::SetRaw;
using testreg::SetString;

std::string Dword(DWORD value) { return std::string(reinterpret_cast<const char*>(&value), sizeof value); }

class ConfigStore : public ::testing::Test {
protected:
    void SetUp() override {
        testreg::DeleteKey(kPolicyKey);
        testreg::DeleteKey(kNormalKey);
        gDebugLogging = false;
    }
    void TearDown() override {
        testreg::DeleteKey(kPolicyKey);
        testreg::DeleteKey(kNormalKey);
        gDebugLogging = false;
    }

    static void WriteComplete(const char* key, const std::string& host, const std::string& ikey,
                              const std::string& skey) {
        SetString(key, "Host", host);
        SetString(key, "IKey", ikey);
        SetString(key, "SKey", skey);
    }

    // Reads one key the way LoadConfiguration does, into a fresh record.
    static SessionConfig ReadKey(const char* path, bool* complete = nullptr) {
        SessionConfig config;
        HKEY key = nullptr;
        EXPECT_EQ(::RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE, &key), ERROR_SUCCESS);
        const bool result = config.ReadConfigurationKey(key);
        if (complete) *complete = result;
        return config;
    }
};

TEST_F(ConfigStore, DefaultsBeforeTheFirstLoad) {
    const SessionConfig config;
    EXPECT_EQ(config.host, "");
    EXPECT_EQ(config.port, 0);
    EXPECT_EQ(config.ikey, "");
    EXPECT_EQ(config.skey, "");
    EXPECT_TRUE(config.failOpen);
    EXPECT_FALSE(config.autoPush);
    EXPECT_FALSE(config.localIpFallback);
    EXPECT_FALSE(config.IsConfigured());
}

TEST_F(ConfigStore, CompletePolicyKeyWinsWhole) {
    WriteComplete(kPolicyKey, "Policy.Example.COM", "DIPOLICY", "policy-secret");
    WriteComplete(kNormalKey, "normal.example.com:8443", "DINORMAL", "normal-secret");
    SetDword(kNormalKey, "FailOpen", 0);
    SetDword(kNormalKey, "AutoPush", 1);

    LogCapture capture;
    EventRecorder events;
    SessionConfig config;
    EXPECT_TRUE(config.LoadConfiguration());

    EXPECT_EQ(config.host, "policy.example.com");
    EXPECT_EQ(config.port, 443);
    EXPECT_EQ(config.ikey, "DIPOLICY");
    EXPECT_EQ(config.skey, "policy-secret");
    EXPECT_TRUE(config.failOpen);
    EXPECT_FALSE(config.autoPush);
    EXPECT_EQ(capture.Texts(), (std::vector<std::string>{"Host: policy.example.com", "IKey: DIPOLICY"}));
    EXPECT_TRUE(events.reports.empty());
}

TEST_F(ConfigStore, IncompletePolicyKeyIsOverwrittenWholeByTheNormalKey) {
    SetString(kPolicyKey, "Host", "policy.example.com");
    SetDword(kPolicyKey, "FailOpen", 0);
    SetDword(kPolicyKey, "AutoPush", 1);
    SetDword(kPolicyKey, "local_ip_fallback", 1);
    WriteComplete(kNormalKey, "normal.example.com:8443", "DINORMAL", "normal-secret");

    LogCapture capture;
    EventRecorder events;
    SessionConfig config;
    EXPECT_TRUE(config.LoadConfiguration());

    EXPECT_EQ(config.host, "normal.example.com");
    EXPECT_EQ(config.port, 8443);
    EXPECT_EQ(config.ikey, "DINORMAL");
    EXPECT_EQ(config.skey, "normal-secret");
    EXPECT_TRUE(config.failOpen);
    EXPECT_FALSE(config.autoPush);
    EXPECT_FALSE(config.localIpFallback);
    EXPECT_EQ(capture.Texts(), (std::vector<std::string>{"Host: policy.example.com", "Host: normal.example.com:8443",
                                                         "IKey: DINORMAL"}));
    EXPECT_TRUE(events.reports.empty());
}

TEST_F(ConfigStore, NeitherKeyLogsTwiceAndReportsAnErrorEvent) {
    LogCapture capture;
    EventRecorder events(&capture);
    SessionConfig config;
    EXPECT_FALSE(config.LoadConfiguration());

    EXPECT_EQ(capture.Texts(),
              (std::vector<std::string>{"ERROR: VynAuth not configured", "VynAuth not configured"}));
    ASSERT_EQ(events.reports.size(), 1u);
    EXPECT_EQ(events.reports[0].type, EVENTLOG_ERROR_TYPE);
    EXPECT_EQ(events.reports[0].strings, std::vector<std::wstring>{L"VynAuth not configured"});
    EXPECT_EQ(events.reports[0].logLinesBefore, 2u);
}

TEST_F(ConfigStore, IncompleteKeysKeepWhatTheLastKeyGave) {
    WriteComplete(kPolicyKey, "policy.example.com", "DIPOLICY", "");
    SetString(kNormalKey, "IKey", "DINORMAL");

    EventRecorder events;
    SessionConfig config;
    EXPECT_FALSE(config.LoadConfiguration());
    EXPECT_EQ(config.host, "");
    EXPECT_EQ(config.port, 0);
    EXPECT_EQ(config.ikey, "DINORMAL");
    EXPECT_EQ(events.reports.size(), 1u);
}

TEST_F(ConfigStore, HostIsLowerCasedAndLoggedWithItsPortPart) {
    struct Case {
        std::string stored;
        std::string logged;
        std::string host;
        uint16_t port;
        bool complete;
    };
    const Case cases[] = {
        {"API-1234.Example.COM", "api-1234.example.com", "api-1234.example.com", 443, true},
        {"Api.Example.com:8443", "api.example.com:8443", "api.example.com", 8443, true},
        {"api.example.com:", "api.example.com:", "api.example.com", 0, false},
        {"api.example.com:abc", "api.example.com:abc", "api.example.com", 0, false},
        {"api.example.com:70000", "api.example.com:70000", "api.example.com", 4464, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stored);
        WriteComplete(kNormalKey, c.stored, "DIKEY", "secret");
        LogCapture capture;
        bool complete = false;
        const SessionConfig config = ReadKey(kNormalKey, &complete);
        EXPECT_EQ(config.host, c.host);
        EXPECT_EQ(config.port, c.port);
        EXPECT_EQ(complete, c.complete);
        EXPECT_EQ(capture.Texts(), (std::vector<std::string>{"Host: " + c.logged, "IKey: DIKEY"}));
    }
}

TEST(SplitHostPort, ParsesLikeStrtolAndKeepsTheLow16Bits) {
    struct Case {
        std::string in;
        std::string host;
        uint16_t port;
    };
    const Case cases[] = {
        {"example.com", "example.com", 443},
        {"", "", 443},
        {"example.com:8443", "example.com", 8443},
        {"example.com:", "example.com", 0},
        {"example.com:abc", "example.com", 0},
        {"example.com:70000", "example.com", 4464},
        {"example.com:65536", "example.com", 0},
        {"example.com: \t443", "example.com", 443},
        {"example.com:+8443", "example.com", 8443},
        {"example.com:-1", "example.com", 65535},
        {"example.com:8443abc", "example.com", 8443},
        {"example.com:1:2", "example.com", 1},
        {":8443", "", 8443},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.in);
        std::string host = c.in;
        EXPECT_EQ(SplitHostPort(host), c.port);
        EXPECT_EQ(host, c.host);
    }
}

TEST_F(ConfigStore, ValuesOfTheWrongTypeAreAbsent) {
    SetRaw(kNormalKey, "Host", REG_EXPAND_SZ, std::string("api.example.com\0", 16));
    SetRaw(kNormalKey, "IKey", REG_MULTI_SZ, std::string("DIKEY\0\0", 7));
    SetRaw(kNormalKey, "SKey", REG_BINARY, "secret");
    SetString(kNormalKey, "Debug", "1");
    SetString(kNormalKey, "AutoPush", "1");
    SetRaw(kNormalKey, "local_ip_fallback", REG_BINARY, Dword(1));

    LogCapture capture;
    bool complete = true;
    const SessionConfig config = ReadKey(kNormalKey, &complete);
    EXPECT_FALSE(complete);
    EXPECT_EQ(config.host, "");
    EXPECT_EQ(config.port, 0);
    EXPECT_EQ(config.ikey, "");
    EXPECT_EQ(config.skey, "");
    EXPECT_FALSE(config.autoPush);
    EXPECT_FALSE(config.localIpFallback);
    EXPECT_FALSE(gDebugLogging);
    EXPECT_TRUE(capture.Texts().empty());
}

TEST_F(ConfigStore, FailOpenIsOnUnlessAUsableZero) {
    struct Case {
        const char* name;
        DWORD type;  // REG_NONE: value absent
        std::string data;
        bool failOpen;
    };
    const Case cases[] = {
        {"absent", REG_NONE, "", true},
        {"zero", REG_DWORD, Dword(0), false},
        {"one", REG_DWORD, Dword(1), true},
        {"two", REG_DWORD, Dword(2), true},
        {"string zero", REG_SZ, std::string("0\0", 2), true},
        {"eight-byte dword", REG_DWORD, Dword(0) + Dword(0), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testreg::DeleteKey(kNormalKey);
        WriteComplete(kNormalKey, "api.example.com", "DIKEY", "secret");
        if (c.type != REG_NONE) SetRaw(kNormalKey, "FailOpen", c.type, c.data);
        EXPECT_EQ(ReadKey(kNormalKey).failOpen, c.failOpen);
    }
}

TEST_F(ConfigStore, TlsIsAutomaticUnlessAUsableOneOrTwo) {
    struct Case {
        const char* name;
        const char* key;
        DWORD type;  // REG_NONE: value absent
        std::string data;
        TlsMode tls;
    };
    const Case cases[] = {
        {"absent", kNormalKey, REG_NONE, "", TlsMode::Automatic},
        {"zero", kNormalKey, REG_DWORD, Dword(0), TlsMode::Automatic},
        {"one", kNormalKey, REG_DWORD, Dword(1), TlsMode::SystemOnly},
        {"two", kNormalKey, REG_DWORD, Dword(2), TlsMode::ModuleOnly},
        {"in the policy key", kPolicyKey, REG_DWORD, Dword(2), TlsMode::ModuleOnly},
        {"three", kNormalKey, REG_DWORD, Dword(3), TlsMode::Automatic},
        {"two plus 2^32 in eight bytes", kNormalKey, REG_DWORD, Dword(2) + Dword(1), TlsMode::Automatic},
        {"one in two bytes", kNormalKey, REG_DWORD, std::string("\1\0", 2), TlsMode::SystemOnly},
        {"string two", kNormalKey, REG_SZ, std::string("2\0", 2), TlsMode::Automatic},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testreg::DeleteKey(kPolicyKey);
        testreg::DeleteKey(kNormalKey);
        WriteComplete(c.key, "api.example.com", "DIKEY", "secret");
        if (c.type != REG_NONE) SetRaw(c.key, "Tls", c.type, c.data);
        SessionConfig config;
        LogCapture capture;
        ASSERT_TRUE(config.LoadConfiguration());
        EXPECT_EQ(config.tls, c.tls);
        // Like the other switches, the setting leaves no line of its own.
        EXPECT_EQ(capture.Texts(), (std::vector<std::string>{"Host: api.example.com", "IKey: DIKEY"}));
    }
}

TEST_F(ConfigStore, AutoPushAndLocalIpFallbackTakeAnyNonZeroDword) {
    SetDword(kNormalKey, "AutoPush", 2);
    SetDword(kNormalKey, "local_ip_fallback", 0xFFFFFFFF);
    SessionConfig config = ReadKey(kNormalKey);
    EXPECT_TRUE(config.autoPush);
    EXPECT_TRUE(config.localIpFallback);

    SetDword(kNormalKey, "AutoPush", 0);
    SetDword(kNormalKey, "local_ip_fallback", 0);
    config = ReadKey(kNormalKey);
    EXPECT_FALSE(config.autoPush);
    EXPECT_FALSE(config.localIpFallback);
}

TEST_F(ConfigStore, DebugOneIsLoggedAtEveryLoadAndSticksWithinTheProcess) {
    WriteComplete(kNormalKey, "api.example.com", "DIKEY", "secret");
    SetDword(kNormalKey, "Debug", 1);
    {
        LogCapture capture;
        SessionConfig config;
        EXPECT_TRUE(config.LoadConfiguration());
        EXPECT_TRUE(config.LoadConfiguration());
        EXPECT_TRUE(gDebugLogging);
        EXPECT_EQ(capture.Texts(),
                  (std::vector<std::string>{"Debug logging enabled", "Host: api.example.com", "IKey: DIKEY",
                                            "Debug logging enabled", "Host: api.example.com", "IKey: DIKEY"}));
    }
    // Removing the value, or making it unusable, leaves the flag on.
    for (const std::string& unusable : {std::string(), std::string("\x01\x00", 2), Dword(1) + Dword(0)}) {
        testreg::DeleteKey(kNormalKey);
        WriteComplete(kNormalKey, "api.example.com", "DIKEY", "secret");
        if (!unusable.empty()) SetRaw(kNormalKey, "Debug", REG_DWORD, unusable);
        LogCapture capture;
        SessionConfig config;
        EXPECT_TRUE(config.LoadConfiguration());
        EXPECT_TRUE(gDebugLogging);
        EXPECT_EQ(capture.Texts().front(), "Debug logging enabled");
    }
}

TEST_F(ConfigStore, DebugIsOnlyOneAndAUsableValueTurnsItOff) {
    WriteComplete(kNormalKey, "api.example.com", "DIKEY", "secret");
    for (DWORD value : {2u, 0u}) {
        SCOPED_TRACE(value);
        gDebugLogging = true;
        SetDword(kNormalKey, "Debug", value);
        LogCapture capture;
        ReadKey(kNormalKey);
        EXPECT_FALSE(gDebugLogging);
        EXPECT_EQ(capture.Texts(), (std::vector<std::string>{"Host: api.example.com", "IKey: DIKEY"}));
    }
}

TEST_F(ConfigStore, DebugFromAnIncompletePolicyKeyStaysWhenTheNormalKeyHasNone) {
    SetDword(kPolicyKey, "Debug", 1);
    WriteComplete(kNormalKey, "api.example.com", "DIKEY", "secret");
    LogCapture capture;
    SessionConfig config;
    EXPECT_TRUE(config.LoadConfiguration());
    EXPECT_TRUE(gDebugLogging);
    EXPECT_EQ(capture.Texts(), (std::vector<std::string>{"Debug logging enabled", "Debug logging enabled",
                                                         "Host: api.example.com", "IKey: DIKEY"}));
}

TEST_F(ConfigStore, SecretKeyNeverReachesTheLog) {
    const std::string secret = "Zq8-SECRET-value-77";
    for (DWORD debug : {0u, 1u}) {
        SCOPED_TRACE(debug);
        // Policy key incomplete (SKey only), so both keys are read.
        SetString(kPolicyKey, "SKey", secret);
        WriteComplete(kNormalKey, "api.example.com", "DIKEY", secret);
        SetDword(kPolicyKey, "Debug", debug);
        SetDword(kNormalKey, "Debug", debug);
        LogCapture capture;
        EventRecorder events;
        SessionConfig config;
        EXPECT_TRUE(config.LoadConfiguration());
        EXPECT_EQ(config.skey, secret);
        const auto lines = capture.RawLines();
        EXPECT_FALSE(lines.empty());
        for (const auto& line : lines) EXPECT_EQ(line.find("SECRET"), std::string::npos) << line;
    }
}

TEST_F(ConfigStore, EmptyStringsLeaveTheRecordIncomplete) {
    struct Case {
        const char* name;
        std::vector<std::string> expectedLines;
    };
    const Case cases[] = {
        {"Host", {"Host: ", "IKey: DIKEY"}},
        {"IKey", {"Host: api.example.com", "IKey: "}},
        {"SKey", {"Host: api.example.com", "IKey: DIKEY"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        WriteComplete(kNormalKey, "api.example.com", "DIKEY", "secret");
        SetString(kNormalKey, c.name, "");
        LogCapture capture;
        bool complete = true;
        const SessionConfig config = ReadKey(kNormalKey, &complete);
        EXPECT_FALSE(complete);
        EXPECT_EQ(capture.Texts(), c.expectedLines);
    }
}

TEST_F(ConfigStore, StringWithoutDataIsAbsentAndNotLogged) {
    WriteComplete(kNormalKey, "api.example.com", "DIKEY", "secret");
    SetRaw(kNormalKey, "Host", REG_SZ, "");
    SetRaw(kNormalKey, "IKey", REG_SZ, "");
    LogCapture capture;
    const SessionConfig config = ReadKey(kNormalKey);
    EXPECT_EQ(config.host, "");
    EXPECT_EQ(config.port, 0);
    EXPECT_EQ(config.ikey, "");
    EXPECT_EQ(config.skey, "secret");
    EXPECT_TRUE(capture.Texts().empty());
}

TEST_F(ConfigStore, StringsUpTo1024BytesWithTheirNulAreRead) {
    const std::string fits(1023, 'k');
    const std::string tooLong(1024, 'k');
    WriteComplete(kNormalKey, "api.example.com", fits, tooLong);
    const SessionConfig config = ReadKey(kNormalKey);
    EXPECT_EQ(config.ikey, fits);
    EXPECT_EQ(config.skey, "");
}

TEST_F(ConfigStore, StringWithoutTerminatingNulIsBoundedByItsSize) {
    SetRaw(kNormalKey, "Host", REG_SZ, "Api.Example.com:8443");
    SetRaw(kNormalKey, "IKey", REG_SZ, std::string("DI\0tail", 7));
    SetRaw(kNormalKey, "SKey", REG_SZ, std::string(1023, 's'));
    LogCapture capture;
    bool complete = false;
    const SessionConfig config = ReadKey(kNormalKey, &complete);
    EXPECT_EQ(config.host, "api.example.com");
    EXPECT_EQ(config.port, 8443);
    EXPECT_EQ(config.ikey, "DI");
    EXPECT_EQ(config.skey, std::string(1023, 's'));
    EXPECT_TRUE(complete);
    EXPECT_EQ(capture.Texts(), (std::vector<std::string>{"Host: api.example.com:8443", "IKey: DI"}));
}

TEST_F(ConfigStore, StringFillingTheWholeBufferWithoutNulIsNeverReadPast) {
    // Windows hands back all 1024 bytes with no NUL after them; Wine refuses
    // the query for want of room for one. Either way nothing beyond the data
    // may show up in the value.
    SetRaw(kNormalKey, "SKey", REG_SZ, std::string(1024, 's'));
    const std::string skey = ReadKey(kNormalKey).skey;
    EXPECT_TRUE(skey.empty() || skey == std::string(1024, 's')) << skey.size();
}

TEST_F(ConfigStore, FlagsAreOnOnlyForOneAndTheFirstUsableKeyDecides) {
    struct Case {
        const char* name;
        DWORD policyType;  // REG_NONE: no value there
        std::string policy;
        DWORD normalType;
        std::string normal;
        bool expected;
    };
    const Case cases[] = {
        {"nowhere", REG_NONE, "", REG_NONE, "", false},
        {"normal 1", REG_NONE, "", REG_DWORD, Dword(1), true},
        {"normal 2", REG_NONE, "", REG_DWORD, Dword(2), false},
        {"policy 1", REG_DWORD, Dword(1), REG_NONE, "", true},
        {"policy 0 overrides normal 1", REG_DWORD, Dword(0), REG_DWORD, Dword(1), false},
        {"policy 2 overrides normal 1", REG_DWORD, Dword(2), REG_DWORD, Dword(1), false},
        {"policy string skipped", REG_SZ, std::string("1\0", 2), REG_DWORD, Dword(1), true},
        {"policy short dword skipped", REG_DWORD, std::string("\x01\x00", 2), REG_DWORD, Dword(1), true},
        {"policy long dword skipped", REG_DWORD, Dword(0) + Dword(0), REG_DWORD, Dword(1), true},
    };
    for (const char* flag : {"RdpOnly", "LogonOnly"}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(flag) + ": " + c.name);
            testreg::DeleteKey(kPolicyKey);
            testreg::DeleteKey(kNormalKey);
            if (c.policyType != REG_NONE) SetRaw(kPolicyKey, flag, c.policyType, c.policy);
            if (c.normalType != REG_NONE) SetRaw(kNormalKey, flag, c.normalType, c.normal);
            EXPECT_EQ(ReadRegistryFlag(flag), c.expected);
        }
    }
}

TEST_F(ConfigStore, FlagsAreReadAfreshAtEachCall) {
    EXPECT_FALSE(ReadRegistryFlag("LogonOnly"));
    SetDword(kNormalKey, "LogonOnly", 1);
    EXPECT_TRUE(ReadRegistryFlag("LogonOnly"));
    EXPECT_FALSE(ReadRegistryFlag("RdpOnly"));
    SetDword(kNormalKey, "LogonOnly", 0);
    EXPECT_FALSE(ReadRegistryFlag("LogonOnly"));
}

}  // namespace

// The operation table, the parameter map's byte order and user-name normalisation.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>

#include <string>
#include <vector>

#include "auth/operations.h"
#include "net/signing.h"
#include "tests/support/log_capture.h"

namespace {

struct OpRow {
    VynOperation op;
    const char* name;
    const char* method;
    const char* path;
};

TEST(VynOperations, WholeTable) {
    const OpRow rows[] = {
        {VynOperation::Ping, "ping", "GET", "/rest/v1/ping.bson"},
        {VynOperation::Check, "check", "GET", "/rest/v1/check.bson"},
        {VynOperation::Preauth, "preauth", "POST", "/rest/v1/preauth.bson"},
        {VynOperation::Auth, "auth", "POST", "/rest/v1/auth.bson"},
        {VynOperation::Status, "status", "GET", "/rest/v1/status.bson"},
    };
    LogCapture capture;
    for (const auto& row : rows) {
        EXPECT_EQ(VynOpName(row.op), row.name);
        EXPECT_EQ(VynOpMethod(row.op), row.method);
        EXPECT_EQ(FormatVynOp(row.op), row.path);
    }
    EXPECT_TRUE(capture.Texts().empty());
}

TEST(VynOperations, ValueOutsideTheTableLogsAndYieldsEmpty) {
    const auto bogus = static_cast<VynOperation>(5);
    LogCapture capture;
    EXPECT_EQ(VynOpName(bogus), "");
    EXPECT_EQ(VynOpMethod(bogus), "");
    EXPECT_EQ(FormatVynOp(static_cast<VynOperation>(-1)), "");
    EXPECT_EQ(capture.Texts(),
              (std::vector<std::string>{"ERROR: Unhandled Vyn operation", "ERROR: Unhandled Vyn operation",
                                        "ERROR: Unhandled Vyn operation", "ERROR: FormatVynOp failed"}));
}

TEST(ParamMapOrder, ByteWiseUnsignedPrefixFirst) {
    const ByteOrder less;
    EXPECT_TRUE(less("A", "a"));
    EXPECT_TRUE(less("Z", "a"));
    EXPECT_TRUE(less("a", "ab"));
    EXPECT_FALSE(less("ab", "a"));
    EXPECT_FALSE(less("a", "a"));
    EXPECT_TRUE(less("async", "auto"));
    EXPECT_TRUE(less("z", "\xC3\xA9"));  // 0xC3 is above every ASCII byte
    EXPECT_TRUE(less("\x7F", "\x80"));
    EXPECT_TRUE(less(std::string("a\0", 2), "a\x01"));
    EXPECT_TRUE(less("a", std::string("a\0", 2)));
}

TEST(ParamMapOrder, AssignmentOrderNeverChangesTheRequest) {
    ParamMap params;
    params["user"] = "alice";
    params["factor"] = "auto";
    params["auto"] = "push";
    params["async"] = "1";
    params["ipaddr"] = "192.0.2.1";
    std::vector<std::string> names;
    for (const auto& entry : params) names.push_back(entry.first);
    EXPECT_EQ(names, (std::vector<std::string>{"async", "auto", "factor", "ipaddr", "user"}));
    EXPECT_EQ(FormatQueryString(params), "async=1&auto=push&factor=auto&ipaddr=192.0.2.1&user=alice");
    params["auto"] = "123456";  // replaces, does not add
    EXPECT_EQ(params.size(), 5u);
    EXPECT_EQ(FormatQueryString(params), "async=1&auto=123456&factor=auto&ipaddr=192.0.2.1&user=alice");
}

TEST(ParamMapOrder, PreauthWithAndWithoutAddress) {
    ParamMap params;
    params["user"] = "bob";
    EXPECT_EQ(FormatQueryString(params), "user=bob");
    params["ipaddr"] = "10.1.2.3";
    EXPECT_EQ(FormatQueryString(params), "ipaddr=10.1.2.3&user=bob");
}

TEST(NormalizeUsername, LowersAsciiCapitalsOnly) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"CORP\\Alice", "corp\\alice"},
        {"ABCXYZ@[`{", "abcxyz@[`{"},
        {"CORP\\\xC3\x96ZG\xC3\x9C" "R", "corp\\\xC3\x96zg\xC3\x9Cr"},  // Ö and Ü stay capitals
        {" Padded Name ", " padded name "},                                // not trimmed
        {"\xCE\x91\xCE\xB2", "\xCE\x91\xCE\xB2"},                          // Greek capital alpha unchanged
        {"", ""},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(NormalizeUsername(in), out) << in;
}

}  // namespace

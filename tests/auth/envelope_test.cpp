// The answer envelope: accepted answers, faults with their exact log lines,
// wrong element types, and bodies whose lengths lie.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>

#include <string>
#include <vector>

#include "auth/envelope.h"
#include "diag/errors.h"
#include "tests/auth/bson_builder.h"
#include "tests/support/log_capture.h"

namespace {

using Lines = std::vector<std::string>;

BsonBuilder Ok(const BsonBuilder& response) {
    BsonBuilder b;
    b.Str("stat", "OK").Doc("response", response);
    return b;
}

// Runs ExtractResponseDocument and returns the lines it logged.
Lines Extract(const std::string& body, bool expected, BsonView* payload = nullptr) {
    LogCapture capture;
    BsonView view;
    EXPECT_EQ(ExtractResponseDocument(body, view), expected);
    if (payload) *payload = view;
    return capture.Texts();
}

TEST(Envelope, AcceptedAnswerViewsThePayloadInPlace) {
    const std::string body = Ok(BsonBuilder().Str("result", "allow").Str("status", "Welcome")).Bytes();
    BsonView payload;
    EXPECT_TRUE(Extract(body, true, &payload).empty());
    ASSERT_NE(payload.data, nullptr);
    EXPECT_GT(payload.data, reinterpret_cast<const uint8_t*>(body.data()));
    EXPECT_LE(payload.data + payload.length, reinterpret_cast<const uint8_t*>(body.data() + body.size()));
    std::string result, status;
    ReadResultAndStatus(payload, result, status);
    EXPECT_EQ(result, "allow");
    EXPECT_EQ(status, "Welcome");
}

TEST(Envelope, DeclaredLongerThanBodyIsCorrupt) {
    std::string body = Ok(BsonBuilder().Str("result", "allow").Str("status", std::string(100, 's'))).Bytes();
    body.resize(150);
    std::string declared = BsonBuilder::Le32(200);
    body.replace(0, 4, declared);
    EXPECT_EQ(Extract(body, false), Lines{"ERROR: bson is corrupt or invalid"});
}

TEST(Envelope, BadLengthsAreCorrupt) {
    const std::string good = Ok(BsonBuilder().Str("result", "allow")).Bytes();
    std::vector<std::string> bodies = {"", std::string("\x05", 1), std::string("\x05\x00\x00", 3)};
    for (const int32_t declared : {-1, INT32_MIN, 0, 1, 4}) {
        std::string b = good;
        b.replace(0, 4, BsonBuilder::Le32(declared));
        bodies.push_back(b);
    }
    std::string unterminated = good;
    unterminated.back() = 'x';
    bodies.push_back(unterminated);
    for (const auto& body : bodies) EXPECT_EQ(Extract(body, false), Lines{"ERROR: bson is corrupt or invalid"});
}

TEST(Envelope, SmallestDocumentHasNoStat) {
    EXPECT_EQ(Extract(std::string("\x05\x00\x00\x00\x00", 5), false),
              Lines{"ERROR: Unable to find element 'stat' in bson response"});
}

TEST(Envelope, BytesAfterTheDeclaredLengthAreIgnored) {
    const std::string body = Ok(BsonBuilder().Str("txid", "t-42")).Bytes() + "trailing garbage\xFF";
    BsonView payload;
    EXPECT_TRUE(Extract(body, true, &payload).empty());
    EXPECT_EQ(ReadStringElement(payload, "txid"), "t-42");
}

TEST(Envelope, LowerCaseOkIsAFault) {
    const std::string body =
        BsonBuilder().Str("stat", "ok").Int32("code", 40002).Str("message", "Invalid request parameters").Bytes();
    EXPECT_EQ(Extract(body, false),
              Lines{"ERROR: Vyn server returned fault (ok, code=40002, message=Invalid request parameters)"});
}

TEST(Envelope, FaultLineParts) {
    const std::vector<std::pair<BsonBuilder, std::string>> cases = {
        {BsonBuilder().Str("stat", "FAIL").Int32("code", 42).Str("message", "Access denied"),
         "ERROR: Vyn server returned fault (FAIL, code=42, message=Access denied)"},
        {BsonBuilder().Str("message", "m").Int32("code", -7).Str("stat", "FAIL"),
         "ERROR: Vyn server returned fault (FAIL, code=-7, message=m)"},
        {BsonBuilder().Str("stat", "FAIL").Double("code", 42.0).Str("message", "x"),
         "ERROR: Vyn server returned fault (FAIL, message=x)"},
        {BsonBuilder().Str("stat", "FAIL").Int64("code", 42).Int32("message", 1),
         "ERROR: Vyn server returned fault (FAIL)"},
        {BsonBuilder().Str("stat", "FAIL").Int32("code", 401),
         "ERROR: Vyn server returned fault (FAIL, code=401)"},
        {BsonBuilder().Str("stat", "FAIL"), "ERROR: Vyn server returned fault (FAIL)"},
        {BsonBuilder().Str("stat", ""), "ERROR: Vyn server returned fault ()"},
        {BsonBuilder().Str("stat", "OK ").Doc("response", BsonBuilder()), "ERROR: Vyn server returned fault (OK )"},
        {BsonBuilder().Str("stat", "FAIL").Int32("code", 1).Int32("code", 2),
         "ERROR: Vyn server returned fault (FAIL, code=1)"},  // the first element of a name wins
        {BsonBuilder().Str("stat", "FAIL").Str("Code", "x").Int32("code", INT32_MIN),
         "ERROR: Vyn server returned fault (FAIL, code=-2147483648)"},
    };
    for (const auto& [doc, line] : cases) EXPECT_EQ(Extract(doc.Bytes(), false), Lines{line});
}

TEST(Envelope, StatOfAnotherTypeIsMissing) {
    for (const auto& doc : {BsonBuilder().Int32("stat", 1).Doc("response", BsonBuilder()),
                            BsonBuilder().Str("STAT", "OK").Doc("response", BsonBuilder()),
                            BsonBuilder().Doc("response", BsonBuilder().Str("stat", "OK")),
                            BsonBuilder().Int32("stat", 0).Str("stat", "OK")}) {
        EXPECT_EQ(Extract(doc.Bytes(), false), Lines{"ERROR: Unable to find element 'stat' in bson response"});
    }
}

TEST(Envelope, ResponseMustBeAnEmbeddedDocument) {
    for (const auto& doc : {BsonBuilder().Str("stat", "OK").Array("response", BsonBuilder().Str("0", "a")),
                            BsonBuilder().Str("stat", "OK").Str("response", "x"),
                            BsonBuilder().Str("stat", "OK"),
                            BsonBuilder().Str("stat", "OK").Raw(0x03, "response", std::string("\x04\0\0\0", 4))}) {
        EXPECT_EQ(Extract(doc.Bytes(), false), Lines{"ERROR: Unable to find element 'response' in bson response"});
    }
}

TEST(Envelope, StatIsReadUpToItsFirstZeroByte) {
    const std::string body =
        BsonBuilder().Str("stat", std::string("OK\0junk", 7)).Doc("response", BsonBuilder().Str("txid", "t")).Bytes();
    BsonView payload;
    EXPECT_TRUE(Extract(body, true, &payload).empty());
    const std::string fault = BsonBuilder().Str("stat", std::string("FAIL\0x", 6)).Str("message", std::string("a\0b", 3)).Bytes();
    EXPECT_EQ(Extract(fault, false), Lines{"ERROR: Vyn server returned fault (FAIL, message=a)"});
}

TEST(Envelope, ElementRunningPastTheEndIsNotFound) {
    // "stat" claims 100 bytes of text in a document far shorter.
    BsonBuilder doc;
    doc.Raw(0x02, "stat", BsonBuilder::Le32(100) + "OK");
    EXPECT_EQ(Extract(doc.Bytes(), false), Lines{"ERROR: Unable to find element 'stat' in bson response"});
    // An unknown element type before "stat" ends the walk.
    BsonBuilder unknown;
    unknown.Raw(0x42, "x", "").Str("stat", "OK");
    EXPECT_EQ(Extract(unknown.Bytes(), false), Lines{"ERROR: Unable to find element 'stat' in bson response"});
}

TEST(ParseResponse, ThrowsUnexpectedResponseWithNoMessage) {
    LogCapture capture;
    try {
        ParseResponse(BsonBuilder().Str("stat", "FAIL").Bytes());
        ADD_FAILURE() << "no exception";
    } catch (const CVynException& e) {
        EXPECT_EQ(e.GetKind(), UnexpectedResponse);
        EXPECT_EQ(e.GetUserMessage(), DefaultUserMessage(UnexpectedResponse));
    }
    EXPECT_EQ(capture.Texts(), Lines{"ERROR: Vyn server returned fault (FAIL)"});
    const std::string body = Ok(BsonBuilder().Str("txid", "abc")).Bytes();
    EXPECT_EQ(ReadStringElement(ParseResponse(body), "txid"), "abc");
}

TEST(PayloadReaders, TypesAndNesting) {
    const std::string body =
        Ok(BsonBuilder()
               .Int32("result", 1)
               .Str("status", std::string("Pushed\0 hidden", 14))
               .Doc("factors", BsonBuilder().Str("default", "push1").Str("sms", "x"))
               .Array("list", BsonBuilder().Str("0", "a"))
               .Doc("inner", BsonBuilder().Str("txid", "nested")))
            .Bytes();
    const BsonView payload = ParseResponse(body);
    std::string result = "stale", status = "stale";
    ReadResultAndStatus(payload, result, status);
    EXPECT_EQ(result, "");
    EXPECT_EQ(status, "Pushed");
    BsonView factors;
    ASSERT_TRUE(ReadDocumentElement(payload, "factors", factors));
    EXPECT_EQ(ReadStringElement(factors, "default"), "push1");
    EXPECT_EQ(ReadStringElement(payload, "default"), "");  // nested documents are not searched
    EXPECT_EQ(ReadStringElement(payload, "txid"), "");
    BsonView list;
    EXPECT_FALSE(ReadDocumentElement(payload, "list", list));
    EXPECT_FALSE(ReadDocumentElement(payload, "status", list));
    EXPECT_EQ(ReadStringElement(BsonView{}, "x"), "");
}

}  // namespace

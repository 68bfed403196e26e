// Scenarios and the scripted answers they give, request by request.
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "test/client.h"

namespace {

using namespace vynref;
using namespace refservice_test;

// ---------------------------------------------------------------------------
// Scenarios

TEST(Scenario, MistakesAreRefusedWithAReason) {
    const std::pair<const char*, const char*> cases[] = {
        {"[1]", "must be a JSON object"},
        {"{\"usres\": {}}", "unknown top-level key 'usres'"},
        {"{\"users\": {\"a\": 1}}", "users.a must be an object"},
        {"{\"users\": {\"a\": {\"n\": {\"$int33\": 1}}}}", "bad typed value $int33"},
        {"{\"answers\": {\"p\": {\"statuses\": []}}}", "answers.p.statuses must be a non-empty array"},
        {"{\"operations\": {\"login\": []}}", "unknown operation 'login'"},
        {"{\"operations\": {\"auth\": [{\"malformed\": \"bent\"}]}}", "unknown 'malformed' mode"},
        {"{\"operations\": {\"auth\": [{\"fault\": {}, \"response\": {}}]}}", "at most one body choice"},
        {"{\"operations\": {\"auth\": [{\"repeat\": 0}]}}", "'repeat' must be -1 or positive"},
        {"{\"operations\": {\"auth\": [{\"stall_after_bytes\": 5, \"drop_after_bytes\": 3}]}}",
         "'drop_after_bytes' and 'stall_after_bytes' exclude each other"},
        {"{not json", "invalid JSON"},
    };
    for (const auto& [text, reason] : cases) {
        auto res =
            Control().Post(("/control/tenants?ikey=" + UniqueIkey() + "&skey=s").c_str(), text, "application/json");
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 400) << text;
        EXPECT_NE(res->body.find(reason), std::string::npos) << text << " -> " << res->body;
    }
    auto res = Control().Post("/control/tenants?ikey=X", "{}", "application/json");
    EXPECT_NE(res->body.find("no skey given"), std::string::npos);
}

TEST(Scenario, PreauthAnswersTheUserEntryAsWrittenInOrder) {
    const std::string ikey = UniqueIkey();
    Load(
        ikey, kSkey,
        R"({"users": {"corp\\alice": {"status": "Hi", "result": "auth", "factors": {"default": "push"}, "n": {"$int32": 5}, "z": "a\u0000b"}},
                        "unknown_user": {"result": "enroll"}})");
    Reply r = SendSigned(ikey, kSkey, "POST", "/rest/v1/preauth.bson", "user=corp%5Calice");
    ASSERT_EQ(r.status, 200);
    Doc d(r.body);
    EXPECT_EQ(DeclaredLength(r.body), static_cast<int32_t>(r.body.size()));
    EXPECT_EQ(d.Str("response.status"), "Hi");
    EXPECT_EQ(d.Str("response.result"), "auth");
    EXPECT_EQ(d.Str("response.factors.default"), "push");
    EXPECT_EQ(d.Int("response.n"), 5);
    EXPECT_EQ(d.Str("response.z"), std::string("a\0b", 3));
    // Element order of the payload: status, result, factors, n, z.
    bson_iter_t top, child;
    ASSERT_TRUE(bson_iter_init_find(&top, &d.doc, "response"));
    ASSERT_TRUE(bson_iter_recurse(&top, &child));
    std::string keys;
    while (bson_iter_next(&child)) keys += std::string(bson_iter_key(&child)) + ",";
    EXPECT_EQ(keys, "status,result,factors,n,z,");

    Reply other = SendSigned(ikey, kSkey, "POST", "/rest/v1/preauth.bson", "user=mallory");
    EXPECT_EQ(Doc(other.body).Str("response.result"), "enroll");
}

TEST(Scenario, TransactionStepsThroughItsStatusesAndRepeatsTheLast) {
    const std::string ikey = UniqueIkey();
    Load(ikey, kSkey, R"({"answers": {"push": {"txid": "TX-A", "statuses": [
      {"result": "", "status": "A"}, {"delay_ms": 300, "result": "", "status": "B"}, {"result": "allow", "status": "C"}]}}})");
    Reply auth = SendSigned(ikey, kSkey, "POST", "/rest/v1/auth.bson", "async=1&auto=push&factor=auto&user=bob");
    ASSERT_EQ(Doc(auth.body).Str("response.txid"), "TX-A");
    auto poll = [&] { return Doc(SendSigned(ikey, kSkey, "GET", "/rest/v1/status.bson", "txid=TX-A").body); };
    Doc a = poll();
    EXPECT_EQ(a.Str("response.result"), "");
    EXPECT_EQ(a.Str("response.status"), "A");
    auto start = Clock::now();
    EXPECT_EQ(poll().Str("response.status"), "B");
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(300));
    for (int i = 0; i < 2; ++i) {
        Doc c = poll();
        EXPECT_EQ(c.Str("response.result"), "allow");
        EXPECT_EQ(c.Str("response.status"), "C");
    }
    Reply unknown = SendSigned(ikey, kSkey, "GET", "/rest/v1/status.bson", "txid=TX-NONE");
    EXPECT_EQ(unknown.status, 400);
    EXPECT_EQ(Doc(unknown.body).Int("code"), 40002);
}

TEST(Scenario, TxidCanBeGeneratedMissingOrOfAnotherType) {
    const std::string ikey = UniqueIkey();
    Load(ikey, kSkey, R"({"answers": {"sms": {"txid": null}, "phone": {"txid": {"$int32": 7}}}})");
    auto auth = [&](const std::string& answer) {
        return Doc(
            SendSigned(ikey, kSkey, "POST", "/rest/v1/auth.bson", "async=1&auto=" + answer + "&factor=auto&user=bob")
                .body);
    };
    Doc generated = auth("123456");
    std::string txid = generated.Str("response.txid");
    EXPECT_EQ(txid.compare(0, 3, "TX-"), 0) << txid;
    // An unlisted answer is refused by default.
    Doc status(SendSigned(ikey, kSkey, "GET", "/rest/v1/status.bson", "txid=" + txid).body);
    EXPECT_EQ(status.Str("response.result"), "deny");
    EXPECT_EQ(status.Str("response.status"), "Incorrect passcode");
    EXPECT_EQ(auth("sms").Type("response.txid"), BSON_TYPE_EOD);
    EXPECT_EQ(auth("sms").Str("stat"), "OK");
    EXPECT_EQ(auth("phone").Int("response.txid"), 7);
}

// ---------------------------------------------------------------------------
// Scripted answers

TEST(Actions, FirstRequestsFailThenNormalAnswers) {
    const std::string ikey = UniqueIkey();
    Load(ikey, kSkey, R"({"users": {"bob": {"result": "allow"}},
                        "operations": {"preauth": [{"http_status": 503, "repeat": 2}, {"http_status": 302, "headers": {"Location": "https://localhost/elsewhere"}}]}})");
    for (int i = 0; i < 2; ++i) {
        Reply r = SendSigned(ikey, kSkey, "POST", "/rest/v1/preauth.bson", "user=bob");
        EXPECT_EQ(r.status, 503);
        EXPECT_EQ(Doc(r.body).Int("code"), 50300);
        EXPECT_EQ(Doc(r.body).Str("message"), "Service Unavailable");
    }
    Reply redirect = SendSigned(ikey, kSkey, "POST", "/rest/v1/preauth.bson", "user=bob");
    EXPECT_EQ(redirect.status, 302);
    EXPECT_EQ(redirect.Header("Location"), "https://localhost/elsewhere");
    Reply normal = SendSigned(ikey, kSkey, "POST", "/rest/v1/preauth.bson", "user=bob");
    EXPECT_EQ(normal.status, 200);
    EXPECT_EQ(Doc(normal.body).Str("response.result"), "allow");
}

TEST(Actions, RepeatForeverAndNoContent) {
    const std::string ikey = UniqueIkey();
    Load(ikey, kSkey,
         R"({"operations": {"preauth": [{"http_status": 401, "repeat": -1}], "check": [{"http_status": 204}]}})");
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(SendSigned(ikey, kSkey, "POST", "/rest/v1/preauth.bson", "user=bob").status, 401);
    Reply empty = SendSigned(ikey, kSkey, "GET", "/rest/v1/check.bson", "");
    EXPECT_EQ(empty.status, 204);
    EXPECT_EQ(empty.body, "");
    EXPECT_EQ(empty.Header("Content-Length"), "");
}

TEST(Actions, FaultsAndExplicitBodies) {
    const std::string ikey = UniqueIkey();
    Load(ikey, kSkey, R"({"operations": {"check": [
      {"fault": {"code": 42, "message": "Access denied"}},
      {"fault": {"code": {"$double": 42}}},
      {"response": {"time": "not a number"}},
      {"document": {"stat": "OK", "response": {"a": 1}, "extra": [1, 2]}},
      {"body_base64": "AAEC"},
      {"empty_body": true}]}})");
    auto check = [&] { return SendSigned(ikey, kSkey, "GET", "/rest/v1/check.bson", ""); };
    Reply f = check();
    EXPECT_EQ(f.status, 200);
    EXPECT_EQ(Doc(f.body).Str("stat"), "FAIL");
    EXPECT_EQ(Doc(f.body).Int("code"), 42);
    EXPECT_EQ(Doc(f.body).Str("message"), "Access denied");
    Doc d(check().body);
    EXPECT_EQ(d.Type("code"), BSON_TYPE_DOUBLE);
    EXPECT_EQ(d.Type("message"), BSON_TYPE_EOD);
    EXPECT_EQ(Doc(check().body).Str("response.time"), "not a number");
    Doc doc(check().body);
    EXPECT_EQ(doc.Int("response.a"), 1);
    EXPECT_EQ(doc.Type("extra"), BSON_TYPE_ARRAY);
    EXPECT_EQ(check().body, std::string("\x00\x01\x02", 3));
    Reply none = check();
    EXPECT_EQ(none.body, "");
    EXPECT_EQ(none.Header("Content-Length"), "0");
}

TEST(Actions, EveryMalformedMode) {
    const std::string ikey = UniqueIkey();
    const char* modes[] = {"truncated",
                           "declared_length_large",
                           "declared_length_negative",
                           "declared_length_small",
                           "element_overrun",
                           "short",
                           "not_bson",
                           "stat_int32",
                           "stat_lowercase_ok",
                           "response_array",
                           "response_missing",
                           "wrong_types"};
    Json ops = Json::array();
    for (const char* m : modes) ops.push_back({{"malformed", m}});
    Json scenario = {{"users", {{"bob", {{"result", "auth"}, {"status", "Hello"}}}}},
                     {"operations", {{"preauth", ops}}}};
    Load(ikey, kSkey, scenario.dump());
    std::string normal = OkEnvelope([] {
        std::string b, e;
        JsonToBson(Json{{"result", "auth"}, {"status", "Hello"}}, &b, &e);
        return b;
    }());
    auto next = [&] {
        Reply r = SendSigned(ikey, kSkey, "POST", "/rest/v1/preauth.bson", "user=bob");
        EXPECT_EQ(r.status, 200);
        EXPECT_EQ(r.Header("Content-Length"), std::to_string(r.body.size()));
        return r.body;
    };
    std::string b = next();  // truncated
    EXPECT_EQ(b, normal.substr(0, normal.size() / 2));
    EXPECT_GT(DeclaredLength(b), static_cast<int32_t>(b.size()));
    b = next();  // declared_length_large
    EXPECT_EQ(b.size(), normal.size());
    EXPECT_EQ(DeclaredLength(b), static_cast<int32_t>(normal.size() + 100));
    EXPECT_EQ(DeclaredLength(next()), -1);
    EXPECT_EQ(DeclaredLength(next()), 4);
    b = next();  // element_overrun
    EXPECT_EQ(DeclaredLength(b), static_cast<int32_t>(b.size()));
    Doc overrun(b);
    ASSERT_TRUE(overrun.valid);
    EXPECT_FALSE(bson_validate(&overrun.doc, BSON_VALIDATE_NONE, nullptr));
    EXPECT_EQ(next().size(), 3u);
    EXPECT_EQ(next().compare(0, 6, "<html>"), 0);
    EXPECT_EQ(Doc(next()).Int("stat"), 1);
    Doc lower(next());
    EXPECT_EQ(lower.Str("stat"), "ok");
    EXPECT_EQ(lower.Int("code"), 40000);
    EXPECT_EQ(lower.Str("message"), "Lower-case status");
    Doc array(next());
    EXPECT_EQ(array.Type("response"), BSON_TYPE_ARRAY);
    EXPECT_EQ(array.Str("response.0"), "auth");
    Doc missing(next());
    EXPECT_EQ(missing.Str("stat"), "OK");
    EXPECT_EQ(missing.Type("response"), BSON_TYPE_EOD);
    Doc wrong(next());
    EXPECT_EQ(wrong.Int("response.result"), 1);
    EXPECT_EQ(wrong.Int("response.status"), 1);
}

TEST(Actions, ConnectionDroppedMidBody) {
    const std::string ikey = UniqueIkey();
    Load(ikey, kSkey, R"({"operations": {"check": [{"drop_after_bytes": 7}]}})");
    Reply r = SendSigned(ikey, kSkey, "GET", "/rest/v1/check.bson", "");
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body.size(), 7u);
    EXPECT_GT(std::atoi(r.Header("Content-Length").c_str()), 7);
}

TEST(Actions, StalledBodyWaitsForReleaseThenDrops) {
    const std::string ikey = UniqueIkey();
    Load(ikey, kSkey, R"({"operations": {"check": [{"stall_after_bytes": 5}]}})");
    auto stalled =
        std::async(std::launch::async, [&] { return SendSigned(ikey, kSkey, "GET", "/rest/v1/check.bson", ""); });
    EXPECT_EQ(stalled.wait_for(std::chrono::milliseconds(500)), std::future_status::timeout);
    auto res = Control().Post(("/control/release?ikey=" + ikey).c_str(), "", "text/plain");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->body, "{\"released\":1}");
    ASSERT_EQ(stalled.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    Reply r = stalled.get();
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body.size(), 5u);
    EXPECT_GT(std::atoi(r.Header("Content-Length").c_str()), 5);
}

// A trickled answer arrives whole, but never faster than one byte per interval.
TEST(Actions, TrickledAnswerComesWholeAtItsPace) {
    const std::string ikey = UniqueIkey();
    Load(ikey, kSkey,
         R"({"operations": {"check": [{"trickle_ms": 10}, {"trickle_ms": 10, "trickle_headers": true}]}})");
    for (int headersToo = 0; headersToo < 2; ++headersToo) {
        const auto start = Clock::now();
        Reply r = SendSigned(ikey, kSkey, "GET", "/rest/v1/check.bson", "");
        const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
        ASSERT_TRUE(r.ok);
        EXPECT_EQ(r.status, 200);
        EXPECT_EQ(Doc(r.body).Str("stat"), "OK");
        // The body alone, or the body and more than 60 bytes of headers.
        const size_t trickled = r.body.size() + (headersToo ? 60 : 0);
        EXPECT_GE(elapsed, static_cast<long long>(trickled * 10 - 40)) << headersToo;
    }
}

TEST(Actions, HeldAnswersWaitForReleaseOrTheirTimeout) {
    const std::string ikey = UniqueIkey();
    Load(ikey, kSkey, R"({"operations": {"check": [{"hold": true}, {"hold": true, "hold_ms": 200}]}})");
    auto held =
        std::async(std::launch::async, [&] { return SendSigned(ikey, kSkey, "GET", "/rest/v1/check.bson", ""); });
    EXPECT_EQ(held.wait_for(std::chrono::milliseconds(500)), std::future_status::timeout);
    auto res = Control().Post(("/control/release?ikey=" + ikey).c_str(), "", "text/plain");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->body, "{\"released\":1}");
    ASSERT_EQ(held.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(held.get().status, 200);
    auto start = Clock::now();
    EXPECT_EQ(SendSigned(ikey, kSkey, "GET", "/rest/v1/check.bson", "").status, 200);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(200));
}

TEST(Actions, DelayBeforeAnswering) {
    const std::string ikey = UniqueIkey();
    Load(ikey, kSkey, R"({"operations": {"check": [{"delay_ms": 300}]}})");
    auto start = Clock::now();
    EXPECT_EQ(SendSigned(ikey, kSkey, "GET", "/rest/v1/check.bson", "").status, 200);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(300));
}

}  // namespace

// Mutated envelopes (fixed seed) against the parser, each body placed so that
// it abuts a no-access page: a read past its end, or before its start, faults
// and ends the test program. Each rejected body must also leave exactly one
// log line, and an accepted one a payload inside the body.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "auth/envelope.h"
#include "tests/auth/bson_builder.h"
#include "tests/support/log_capture.h"

namespace {

// Three pages: no access, read-write, no access.
class GuardedBuffer {
public:
    GuardedBuffer() {
        SYSTEM_INFO info;
        ::GetSystemInfo(&info);
        page_ = info.dwPageSize;
        base_ = static_cast<uint8_t*>(::VirtualAlloc(nullptr, 3 * page_, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD old = 0;
        ok_ = base_ && ::VirtualProtect(base_, page_, PAGE_NOACCESS, &old) &&
              ::VirtualProtect(base_ + 2 * page_, page_, PAGE_NOACCESS, &old);
    }
    ~GuardedBuffer() {
        if (base_) ::VirtualFree(base_, 0, MEM_RELEASE);
    }
    bool ok() const { return ok_; }
    size_t capacity() const { return page_; }
    // Copies bytes against the end (or the start) of the writable page.
    const uint8_t* Place(const std::string& bytes, bool atEnd) {
        uint8_t* at = atEnd ? base_ + 2 * page_ - bytes.size() : base_ + page_;
        if (!bytes.empty()) std::memcpy(at, bytes.data(), bytes.size());
        return at;
    }
    const uint8_t* guardAfter() const { return base_ + 2 * page_; }

private:
    uint8_t* base_ = nullptr;
    size_t page_ = 0;
    bool ok_ = false;
};

long gCurrentCase = -1;

LONG CALLBACK ReportFaultingCase(EXCEPTION_POINTERS* info) {
    if (info->ExceptionRecord->ExceptionCode == EXCEPTION_ACCESS_VIOLATION) {
        std::fprintf(stderr, "envelope fuzz: access violation in case %ld\n", gCurrentCase);
        std::fflush(stderr);
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

std::vector<std::string> Seeds() {
    return {
        BsonBuilder().Str("stat", "OK").Doc("response", BsonBuilder().Str("result", "allow").Str("status", "ok")).Bytes(),
        BsonBuilder()
            .Str("stat", "OK")
            .Doc("response", BsonBuilder()
                                 .Str("result", "auth")
                                 .Str("status", "Second factor required")
                                 .Doc("factors", BsonBuilder().Str("default", "push1").Str("1", "phone1")))
            .Bytes(),
        BsonBuilder().Str("stat", "OK").Doc("response", BsonBuilder().Str("txid", "9f1c-22aa")).Int32("code", 0).Bytes(),
        BsonBuilder().Str("stat", "FAIL").Int32("code", 40301).Str("message", "Access forbidden").Bytes(),
        BsonBuilder().Int32("n", 7).Double("d", 1.5).Str("stat", "FAIL").Int64("code", 5).Bytes(),
        BsonBuilder().Str("stat", "OK").Array("response", BsonBuilder().Str("0", "x")).Doc("response", BsonBuilder()).Bytes(),
    };
}

const uint8_t kTypeBytes[] = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C,
                              0x0D, 0x0E, 0x0F, 0x10, 0x11, 0x12, 0x13, 0x14, 0x7F, 0x80, 0xFF};
const int32_t kLengths[] = {INT32_MIN, -5, -1, 0, 1, 4, 5, 6, 7, 0x7F, 0xFF, 0x1000, INT32_MAX};

std::string Mutate(std::string body, std::mt19937& rng) {
    auto pick = [&rng](size_t n) { return static_cast<size_t>(rng() % n); };
    const int mutations = 1 + static_cast<int>(pick(4));
    for (int m = 0; m < mutations && !body.empty(); ++m) {
        switch (pick(6)) {
        case 0:  // flip bits of one byte
            body[pick(body.size())] ^= static_cast<char>(1 + pick(255));
            break;
        case 1:  // cut the body short
            body.resize(pick(body.size()));
            break;
        case 2: {  // rewrite a length word: the document's, or any four bytes
            const size_t at = pick(2) ? 0 : pick(body.size());
            if (at + 4 <= body.size()) {
                const int32_t v = pick(2) ? kLengths[pick(sizeof kLengths / sizeof kLengths[0])]
                                          : static_cast<int32_t>(body.size()) + static_cast<int32_t>(pick(9)) - 4;
                body.replace(at, 4, BsonBuilder::Le32(v));
            }
            break;
        }
        case 3:  // change one byte to an element type
            body[pick(body.size())] = static_cast<char>(kTypeBytes[pick(sizeof kTypeBytes)]);
            break;
        case 4:  // a byte's value off by one (lengths one too short or long)
            body[pick(body.size())] += pick(2) ? 1 : -1;
            break;
        default:  // append garbage
            body += std::string(pick(8), static_cast<char>(pick(256)));
            break;
        }
    }
    return body;
}

TEST(EnvelopeFuzz, NeverReadsOutsideTheBody) {
    GuardedBuffer buffer;
    ASSERT_TRUE(buffer.ok());
    MEMORY_BASIC_INFORMATION guard = {};
    ASSERT_NE(::VirtualQuery(buffer.guardAfter(), &guard, sizeof guard), 0u);
    ASSERT_EQ(guard.Protect, static_cast<DWORD>(PAGE_NOACCESS));

    PVOID handler = ::AddVectoredExceptionHandler(0, ReportFaultingCase);
    std::mt19937 rng(20260412);
    const auto seeds = Seeds();
    const long kCases = 200000;
    long accepted = 0;
    LogCapture capture;
    for (gCurrentCase = 0; gCurrentCase < kCases; ++gCurrentCase) {
        const std::string body = Mutate(seeds[gCurrentCase % seeds.size()], rng);
        if (body.size() > buffer.capacity()) continue;
        const uint8_t* at = buffer.Place(body, gCurrentCase % 2 == 0);
        capture.Clear();
        BsonView payload;
        if (ExtractResponseDocument(at, body.size(), payload)) {
            ++accepted;
            ASSERT_TRUE(capture.Texts().empty()) << gCurrentCase;
            ASSERT_GE(payload.data, at) << gCurrentCase;
            ASSERT_LE(payload.data + payload.length, at + body.size()) << gCurrentCase;
            std::string result, status;
            ReadResultAndStatus(payload, result, status);
            BsonView factors;
            if (ReadDocumentElement(payload, "factors", factors)) {
                ASSERT_GE(factors.data, payload.data) << gCurrentCase;
                ASSERT_LE(factors.data + factors.length, payload.data + payload.length) << gCurrentCase;
                ReadStringElement(factors, "default");
            }
            ReadStringElement(payload, "txid");
        } else {
            ASSERT_EQ(capture.Texts().size(), 1u) << gCurrentCase;
        }
    }
    ::RemoveVectoredExceptionHandler(handler);
    std::printf("fuzz: %ld cases, %ld accepted\n", kCases, accepted);
    // The mutations leave a fair share of bodies acceptable, so payload reading is exercised too.
    EXPECT_GT(accepted, kCases / 50);
    EXPECT_LT(accepted, kCases / 2);
}

TEST(EnvelopeFuzz, UnmutatedSeedsReadAgainstTheGuard) {
    GuardedBuffer buffer;
    ASSERT_TRUE(buffer.ok());
    const auto seeds = Seeds();
    const std::vector<bool> acceptedSeeds = {true, true, true, false, false, false};
    LogCapture capture;
    for (size_t i = 0; i < seeds.size(); ++i) {
        for (const bool atEnd : {true, false}) {
            BsonView payload;
            EXPECT_EQ(ExtractResponseDocument(buffer.Place(seeds[i], atEnd), seeds[i].size(), payload),
                      acceptedSeeds[i]) << i;
        }
    }
}

}  // namespace

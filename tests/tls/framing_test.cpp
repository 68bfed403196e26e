// The module's own TLS client's HTTP framing, against the scripted server
// (tests/tls/scripted_server.py).
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>

#include <functional>
#include <string>

#include "common/handles.h"
#include "diag/errors.h"
#include "net/builtin_tls.h"
#include "tests/tls/tls_test_support.h"

namespace {

using namespace tls_test;

constexpr int kScriptedOffset = 22;

struct FramingCase {
    const char* name;
    const char* script;   // the first segment of the path, which picks the server's answer
    int sends;            // requests made through one client; each but the last must succeed
    DWORD code;           // the last request's failure; 0: it succeeds too
    const char* seen;     // "<requests> <connections>" the server saw carry the path
    const char* notified = nullptr;  // connections the client ended with close_notify; null: not asked
    bool abort = false;   // Abort once the server holds the request
};

const FramingCase kFramings[] = {
    // The bound holds for the framing bytes, not only the data.
    {"EndlessChunkSizeDigits", "endless-chunk-size", 1, 12030, "1 1"},
    {"EndlessTrailer", "endless-trailer", 1, 12030, "1 1"},
    // An answer without a length cut by a bare TCP close is not whole.
    {"FinWithoutCloseNotify", "fin-without-close-notify", 1, 12030, "1 1"},
    // Both framings: the next request goes on a new connection.
    {"BothTransferEncodingAndLength", "te-and-cl", 2, 0, "2 2"},
    // The server closes the kept connection after reading the second request:
    // it fails, and is not sent again on a new connection.
    {"WrittenRequestIsNotSentAgain", "second-dropped", 2, 12030, "2 1"},
    {"ClosedWithCloseNotify", "plain", 1, 0, "1 1", "1"},
    // After a chunk size's digits only spaces, an extension or the line's end.
    {"ChunkSizeFollowedByOtherBytes", "chunk-size-junk", 1, 12152, "1 1"},
    {"ChunkSizeWithSpacesAndExtension", "chunk-extension", 1, 0, "1 1"},
    // Two lengths that disagree leave the answer's end open; two that agree do not.
    {"ContentLengthsDisagree", "lengths-differ", 1, 12152, "1 1"},
    {"ContentLengthsAgree", "lengths-agree", 1, 0, "1 1"},
    {"ContentLengthAndOneWithoutValue", "length-and-empty", 1, 12152, "1 1"},
    // "xchunked" is a coding of its own, not chunked.
    {"TransferEncodingReadAsTokens", "te-not-a-token", 1, 12152, "1 1"},
    {"AbortWhileTheAnswerIsAwaited", "held", 1, 12017, "1 1", nullptr, true},
};

class Framing : public BuiltinTls, public ::testing::WithParamInterface<FramingCase> {
protected:
    static constexpr uint16_t kPort = static_cast<uint16_t>(VYN_TLS_PORT_BASE + kScriptedOffset);

    // The scripted server's answer to a question about `path`, on a connection
    // of its own; asked until it reads `expected` (the server records a
    // connection's end after the client has gone) or for 3 s.
    static std::string Ask(const std::string& question, const std::string& expected) {
        std::string answer;
        for (int i = 0; i < 30; ++i) {
            CBuiltinTlsClient asker;
            answer.clear();
            try {
                asker.Send(Get(kPort, question), answer);
            } catch (const CINetException& e) {
                answer = "failed with " + std::to_string(e.GetErrorCode());
            }
            if (answer == expected) break;
            ::Sleep(100);
        }
        return answer;
    }
};

TEST_P(Framing, EndsEachAnswerWhereItsFramingEnds) {
    const FramingCase& c = GetParam();
    const std::string path = std::string("/") + c.script + "/" + std::to_string(::GetCurrentProcessId()) + "-" +
                             std::to_string(::GetTickCount());
    const DWORD start = ::GetTickCount();
    {
        CBuiltinTlsClient client;
        std::function<void()> abort = [&] {
            Ask("/seen?" + path, c.seen);
            client.Abort();
        };
        unique_handle aborter;
        if (c.abort) aborter = StartThread(&abort);
        for (int i = 1; i <= c.sends; ++i) {
            SCOPED_TRACE("request " + std::to_string(i));
            std::string body;
            DWORD code = 0;
            try {
                EXPECT_EQ(client.Send(Get(kPort, path), body), 200);
            } catch (const CINetException& e) {
                code = e.GetErrorCode();
            }
            EXPECT_EQ(code, i == c.sends ? c.code : 0u);
            if (code == 0) {
                EXPECT_EQ(body, "whole");
            }
        }
        if (aborter) ::WaitForSingleObject(aborter.get(), INFINITE);
    }  // the client closes its connection here
    // Every failure comes from a bound of framing or from Abort, not from the
    // request's 10 s time-out.
    EXPECT_LE(::GetTickCount() - start, 5000u);
    EXPECT_EQ(Ask("/seen?" + path, c.seen), c.seen);
    if (c.notified) {
        EXPECT_EQ(Ask("/notified?" + path, c.notified), c.notified);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, Framing, ::testing::ValuesIn(kFramings),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace

// The HTTPS client's WinHTTP behaviour that Wine cannot show on its own,
// observed through the WinHTTP table: the time-out options, a failing option,
// the session's redirect policy and its single opening. Requests go to the loopback port on
// which nothing listens, so no service is needed.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>
#include <winhttp.h>

#include <cstring>

#include "diag/errors.h"
#include "net/https_client.h"
#include "net/transport.h"
#include "net/winhttp_error.h"
#include "tests/support/log_capture.h"
#include "tests/support/refservice.h"
#include "tests/transport/silent_listeners.h"
#include "tests/transport/winhttp_seam.h"

namespace {

using Options = std::vector<std::pair<DWORD, DWORD>>;

class TransportSeam : public ::testing::Test {
protected:
    void SetUp() override {
        SetOptionRecorder::Reset();
        api->SetOption = SetOptionRecorder::SetOption;
        request.host = "localhost";
        request.port = refservice::ClosedPort();
        request.method = "POST";
        request.objectName = "/rest/v1/preauth.bson";
        request.body = "user=x";
    }
    void TearDown() override { SetOptionRecorder::Reset(); }

    // One request to the closed port; it must end in the connection failure.
    void RequestExpectingRefusal(int32_t timeout, TimeoutScope scope = TimeoutScope::ConnectOnly) {
        client.Open();
        SetOptionRecorder::Calls().clear();
        request.timeoutSeconds = timeout;
        request.scope = scope;
        std::string response;
        try {
            client.Send(request, response, TlsMode::SystemOnly);
            FAIL() << "a closed port must not answer";
        } catch (const CINetException& e) {
            EXPECT_EQ(e.GetErrorCode(), 12029u);
        }
    }

    ScopedWinHttpApi api;
    CHttpsClient client{"VynGina/1.1.8 (test)"};
    HttpsRequest request;
};

struct TimeoutCase {
    int32_t timeout;
    Options options;
};

TEST_F(TransportSeam, TimeoutOptionsBoundOnlyTheConnection) {
    const TimeoutCase cases[] = {
        {10, {{3, 10000}, {5, 0xFFFFFFFF}, {6, 0xFFFFFFFF}, {7, 0xFFFFFFFF}}},
        {-1, {{3, 0xFFFFFFFF}, {5, 0xFFFFFFFF}, {6, 0xFFFFFFFF}, {7, 0xFFFFFFFF}}},
        {0, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.timeout);
        RequestExpectingRefusal(c.timeout);
        EXPECT_EQ(SetOptionRecorder::Calls(), c.options);
    }
}

// Pre-authentication's scope: the same bound on every wait of the exchange,
// name resolution first (unbounded by default).
TEST_F(TransportSeam, WholeExchangeScopeBoundsSendingAndReceivingToo) {
    const TimeoutCase cases[] = {
        {10, {{2, 10000}, {3, 10000}, {5, 10000}, {6, 10000}, {7, 10000}}},
        {-1, {{2, 0xFFFFFFFF}, {3, 0xFFFFFFFF}, {5, 0xFFFFFFFF}, {6, 0xFFFFFFFF}, {7, 0xFFFFFFFF}}},
        {0, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.timeout);
        RequestExpectingRefusal(c.timeout, TimeoutScope::WholeExchange);
        EXPECT_EQ(SetOptionRecorder::Calls(), c.options);
    }
}

// A status poll's answer bound: the two answer waits and nothing else, so
// the connection keeps whatever the time-out argument gives it.
TEST_F(TransportSeam, AnswerBoundSetsOnlyTheAnswerWaits) {
    const TimeoutCase cases[] = {
        {0, {{6, 30000}, {7, 30000}}},
        {10, {{3, 10000}, {5, 0xFFFFFFFF}, {6, 0xFFFFFFFF}, {7, 0xFFFFFFFF}, {6, 30000}, {7, 30000}}},
    };
    request.answerSeconds = 30;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.timeout);
        RequestExpectingRefusal(c.timeout);
        EXPECT_EQ(SetOptionRecorder::Calls(), c.options);
    }
}

// Wine reports an expired send or receive with the socket's code; the log and
// the user see WinHTTP's time-out code, as on Windows. Other codes pass as they are.
TEST(WinHttpErrorFor, SocketTimeOutIsWinHttpsTimeOut) {
    EXPECT_EQ(WinHttpErrorFor(WSAETIMEDOUT), static_cast<DWORD>(ERROR_WINHTTP_TIMEOUT));
    EXPECT_EQ(WinHttpErrorFor(ERROR_WINHTTP_TIMEOUT), static_cast<DWORD>(ERROR_WINHTTP_TIMEOUT));
    EXPECT_EQ(WinHttpErrorFor(12029), 12029u);
    EXPECT_EQ(WinHttpErrorFor(12157), 12157u);
}

TEST_F(TransportSeam, FailingTimeoutOptionIsAnUnexpectedErrorAndStopsAtOnce) {
    client.Open();
    SetOptionRecorder::Calls().clear();
    SetOptionRecorder::FailOption() = WINHTTP_OPTION_SEND_TIMEOUT;
    SetOptionRecorder::FailError() = 12018;
    LogCapture log;
    request.method = "GET";
    request.objectName = "/rest/v1/status.bson?txid=T";
    request.body = "txid=T";
    request.timeoutSeconds = 10;
    std::string response;
    try {
        client.Send(request, response, TlsMode::SystemOnly);
        FAIL() << "expected CVynException";
    } catch (const CINetException&) {
        FAIL() << "an option failure is not a transport failure";
    } catch (const CVynException& e) {
        EXPECT_EQ(e.GetKind(), UnexpectedError);
        EXPECT_EQ(e.GetUserMessage(), DefaultUserMessage(UnexpectedError));
    }
    EXPECT_EQ(SetOptionRecorder::Calls(), (Options{{3, 10000}, {5, 0xFFFFFFFF}}));
    EXPECT_EQ(log.Texts(), (std::vector<std::string>{"ERROR: Failure in system call 'WinHttpSetOption' (12018)"}));
}

// An Abort from another thread that lands between the request's option
// calls closes the request under them: the next option fails on the closed
// handle, and the exchange ends as cancelled, not as a local failure.
CHttpsClient* gAbortedClient = nullptr;
BOOL WINAPI AbortBeforeTheSecondOption(HINTERNET handle, DWORD option, LPVOID buffer, DWORD length) {
    if (option == WINHTTP_OPTION_SEND_TIMEOUT && gAbortedClient != nullptr) gAbortedClient->Abort();
    return SetOptionRecorder::SetOption(handle, option, buffer, length);
}

TEST_F(TransportSeam, AbortBetweenOptionCallsEndsTheExchangeAsCancelled) {
    client.Open();
    SetOptionRecorder::Calls().clear();
    api->SetOption = AbortBeforeTheSecondOption;
    gAbortedClient = &client;
    LogCapture log;
    request.timeoutSeconds = 10;
    std::string response;
    try {
        client.Send(request, response, TlsMode::SystemOnly);
        FAIL() << "expected CINetException";
    } catch (const CINetException& e) {
        EXPECT_EQ(e.GetErrorCode(), 12017u);
    } catch (const CVynException& e) {
        ADD_FAILURE() << "ended as kind " << e.GetKind();
    }
    gAbortedClient = nullptr;
    EXPECT_EQ(SetOptionRecorder::Calls(), (Options{{3, 10000}, {5, 0xFFFFFFFF}}));
    EXPECT_EQ(log.Texts(), (std::vector<std::string>{"ERROR: Failure in system call 'WinHttpSetOption' (6)",
                                                     "ERROR: Failure in system call 'WinHttpSetOption' (12017)"}));
}

TEST_F(TransportSeam, SetRequestTimeoutsReportsTheFirstFailure) {
    SetOptionRecorder::FailOption() = WINHTTP_OPTION_CONNECT_TIMEOUT;
    SetOptionRecorder::FailError() = ERROR_INVALID_HANDLE;
    LogCapture log;
    EXPECT_FALSE(SetRequestTimeouts(nullptr, 10));
    EXPECT_EQ(SetOptionRecorder::Calls(), (Options{{3, 10000}}));
    EXPECT_EQ(log.Texts(), (std::vector<std::string>{"ERROR: Failure in system call 'WinHttpSetOption' (6)"}));
}

TEST_F(TransportSeam, SessionIsOpenedOnceWithRedirectsNeverFollowed) {
    client.Open();
    const HINTERNET first = client.WinHttp().Session();
    ASSERT_NE(first, nullptr);
    EXPECT_TRUE(client.WinsockStarted());
    EXPECT_EQ(SetOptionRecorder::Calls(), (Options{{WINHTTP_OPTION_REDIRECT_POLICY, 0}}));

    // A second call keeps the session and closes the previous request's handles.
    RequestExpectingRefusal(0);
    EXPECT_NE(client.WinHttp().Connection(), nullptr);
    EXPECT_NE(client.WinHttp().Request(), nullptr);
    client.Open();
    EXPECT_EQ(client.WinHttp().Session(), first);
    EXPECT_EQ(client.WinHttp().Connection(), nullptr);
    EXPECT_EQ(client.WinHttp().Request(), nullptr);
    EXPECT_TRUE(SetOptionRecorder::Calls().empty());
}

TEST_F(TransportSeam, SessionWithoutRedirectPolicyIsNotKept) {
    SetOptionRecorder::FailOption() = WINHTTP_OPTION_REDIRECT_POLICY;
    SetOptionRecorder::FailError() = ERROR_INVALID_PARAMETER;
    LogCapture log;
    try {
        client.Open();
        FAIL() << "expected CVynException";
    } catch (const CVynException& e) {
        EXPECT_EQ(e.GetKind(), UnexpectedError);
    }
    EXPECT_TRUE(log.Texts().empty());
    EXPECT_EQ(client.WinHttp().Session(), nullptr);

    // The next call opens a new session and sets the policy on it.
    SetOptionRecorder::Reset();
    client.Open();
    EXPECT_NE(client.WinHttp().Session(), nullptr);
    EXPECT_EQ(SetOptionRecorder::Calls(), (Options{{WINHTTP_OPTION_REDIRECT_POLICY, 0}}));
}

HINTERNET WINAPI FailingOpen(LPCWSTR, DWORD, LPCWSTR, LPCWSTR, DWORD) {
    ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
}

TEST_F(TransportSeam, FailingWinHttpOpenIsLoggedAndRetriedNextTime) {
    api->Open = FailingOpen;
    LogCapture log;
    try {
        client.Open();
        FAIL() << "expected CVynException";
    } catch (const CVynException& e) {
        EXPECT_EQ(e.GetKind(), UnexpectedError);
    }
    EXPECT_EQ(log.Texts(), (std::vector<std::string>{"ERROR: Failure in system call 'WinHttpOpen' (8)"}));
    api->Open = RealWinHttpApi().Open;
    client.Open();
    EXPECT_NE(client.WinHttp().Session(), nullptr);
}

// Wine's winhttp.dll carries no message table, so the text comes from a
// stand-in that also checks how it was asked.
struct FormatCall {
    DWORD flags;
    bool fromWinHttp;
    DWORD code;
    DWORD language;
    DWORD size;
};
std::vector<FormatCall>& FormatCalls() {
    static std::vector<FormatCall> calls;
    return calls;
}
DWORD WINAPI FakeWinHttpText(DWORD flags, LPCVOID source, DWORD code, DWORD language, LPSTR buffer, DWORD size,
                             va_list*) {
    FormatCalls().push_back(
        {flags, source == ::GetModuleHandleA("winhttp.dll") && source != nullptr, code, language, size});
    const char text[] = "The attempt to connect to the server failed.\r\n";
    std::memcpy(buffer, text, sizeof(text));
    return sizeof(text) - 1;
}

TEST(ThrowWinHttpError, WritesWinHttpTextWithItsLineBreak) {
    ScopedWinHttpApi api;
    api->FormatErrorText = FakeWinHttpText;
    FormatCalls().clear();
    ::WinHttpCloseHandle(::WinHttpOpen(L"load", 0, nullptr, nullptr, 0));  // winhttp.dll is loaded
    LogCapture log;
    try {
        ThrowWinHttpError("WinHttpSendRequest", 12029);
        FAIL() << "expected CINetException";
    } catch (const CINetException& e) {
        EXPECT_EQ(e.GetErrorCode(), 12029u);
        EXPECT_EQ(e.GetKind(), CommunicationError);
    }
    EXPECT_EQ(log.Texts(), (std::vector<std::string>{"ERROR: Failure during WinHttp call (WinHttpSendRequest): "
                                                     "The attempt to connect to the server failed.\r\n [12029]"}));
    ASSERT_EQ(FormatCalls().size(), 1u);
    EXPECT_EQ(FormatCalls()[0].flags, static_cast<DWORD>(FORMAT_MESSAGE_FROM_HMODULE));
    EXPECT_TRUE(FormatCalls()[0].fromWinHttp);
    EXPECT_EQ(FormatCalls()[0].code, 12029u);
    EXPECT_EQ(FormatCalls()[0].language, 0x400u);
    EXPECT_EQ(FormatCalls()[0].size, 1024u);
}

TEST(ThrowWinHttpError, WithoutATextWritesTheSystemCallLine) {
    // As under Wine, whose winhttp.dll has no texts at all.
    LogCapture log;
    try {
        ThrowWinHttpError("WinHttpConnect on localhost", 12029);
        FAIL() << "expected CINetException";
    } catch (const CINetException& e) {
        EXPECT_EQ(e.GetErrorCode(), 12029u);
    }
    EXPECT_EQ(log.Texts(),
              (std::vector<std::string>{"ERROR: Failure in system call 'WinHttpConnect on localhost' (12029)"}));
}

DWORD WINAPI AbortSoon(LPVOID client) {
    ::Sleep(300);
    static_cast<CHttpsClient*>(client)->Abort();
    return 0;
}

// Abort comes from another thread while the exchange waits for a handshake
// that never completes. Whatever the blocked call then reports (Windows: the
// cancel; Wine runs on to its time-out), the exchange fails as cancelled, and
// the next exchange is not touched by it.
TEST(HttpsClientAbort, AnAbortedExchangeFailsAsCancelledAndTheNextRunsNormally) {
    silent::NoTlsListener listener;
    ASSERT_NE(listener.Port(), 0);
    CHttpsClient client{"VynGina/1.1.8 (test)"};
    client.Open();
    HttpsRequest request;
    request.host = "localhost";
    request.port = listener.Port();
    request.method = "GET";
    request.objectName = "/rest/v1/ping.bson";
    request.timeoutSeconds = 2;
    request.scope = TimeoutScope::WholeExchange;
    const unique_handle aborter(::CreateThread(nullptr, 0, AbortSoon, &client, 0, nullptr));
    ASSERT_TRUE(aborter);
    std::string response;
    try {
        client.Send(request, response, TlsMode::SystemOnly);
        FAIL() << "a silent service must not answer";
    } catch (const CINetException& e) {
        EXPECT_EQ(e.GetErrorCode(), 12017u);
    }
    ASSERT_EQ(::WaitForSingleObject(aborter.get(), 5000), WAIT_OBJECT_0);

    client.Open();
    request.port = refservice::ClosedPort();
    try {
        client.Send(request, response, TlsMode::SystemOnly);
        FAIL() << "a closed port must not answer";
    } catch (const CINetException& e) {
        EXPECT_EQ(e.GetErrorCode(), 12029u);
    }
}

}  // namespace

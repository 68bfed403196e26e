// The request executor where no service is involved: a closed loopback port
// (real WinHTTP refusing the connection), and the cases Wine cannot produce
// (a cancelled call, a failing option or CryptoAPI step) through their tables.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>
#include <winhttp.h>

#include <string>
#include <vector>

#include "auth/session.h"
#include "config/config.h"
#include "diag/errors.h"
#include "net/crypt_api.h"
#include "tests/support/log_capture.h"
#include "tests/transport/event_recorder.h"
#include "tests/support/refservice.h"
#include "tests/transport/winhttp_seam.h"

namespace {

using Lines = std::vector<std::string>;

int gSendCalls = 0;

BOOL WINAPI CountingSend(HINTERNET request, LPCWSTR headers, DWORD headersLength, LPVOID body, DWORD bodyLength,
                         DWORD totalLength, DWORD_PTR context) {
    ++gSendCalls;
    return RealWinHttpApi().SendRequest(request, headers, headersLength, body, bodyLength, totalLength, context);
}

BOOL WINAPI CancelledSend(HINTERNET, LPCWSTR, DWORD, LPVOID, DWORD, DWORD, DWORD_PTR) {
    ++gSendCalls;
    ::SetLastError(12017);  // ERROR_WINHTTP_OPERATION_CANCELLED
    return FALSE;
}

class ExecutorLocal : public ::testing::Test {
protected:
    void SetUp() override {
        gSendCalls = 0;
        savedDebug_ = gDebugLogging;
        gDebugLogging = false;
        api->SendRequest = CountingSend;
        session.config.host = "localhost";
        session.config.port = refservice::ClosedPort();
        session.config.ikey = "DIXXXXXXXXXXXXXXXXXX";
        session.config.skey = "local-test-secret";
        session.OpenHttpSession();
    }
    void TearDown() override {
        gDebugLogging = savedDebug_;
        SetOptionRecorder::Reset();
    }

    ParamMap PreauthParams() const { return ParamMap{{"user", "corp\\alice"}}; }

    ScopedWinHttpApi api;
    CVynAuthSession session{"VynGina/1.1.8"};

private:
    bool savedDebug_ = false;
};

Lines RefusedAttempts(int count) {
    Lines lines;
    for (int i = 0; i < count; ++i) {
        // Wine's winhttp.dll carries no error texts: the system-call form is written.
        lines.push_back("ERROR: Failure in system call 'WinHttpSendRequest' (12029)");
        lines.push_back("Caught WinHttp exception");
        lines.push_back("Caught WinHttp exception; retrying up to limit");
    }
    return lines;
}

TEST_F(ExecutorLocal, RefusedOnEveryAttemptWithoutFailOpenThrowsTheLastFailure) {
    session.config.failOpen = false;
    EventRecorder events;
    LogCapture log;
    std::string response;
    try {
        session.MakeRequest(VynOperation::Preauth, PreauthParams(), response, 10);
        FAIL() << "expected CINetException";
    } catch (const CINetException& e) {
        EXPECT_EQ(e.GetErrorCode(), 12029u);
        EXPECT_EQ(e.GetKind(), CommunicationError);
        EXPECT_EQ(e.GetUserMessage(), DefaultUserMessage(CommunicationError) + L" (12029)");
    }
    EXPECT_EQ(gSendCalls, 3);
    EXPECT_EQ(log.Texts(), RefusedAttempts(3));
    EXPECT_TRUE(events.events().empty());
    EXPECT_TRUE(response.empty());
}

TEST_F(ExecutorLocal, RefusedOnEveryAttemptWithFailOpenLetsTheUserThrough) {
    session.config.failOpen = true;
    EventRecorder events;
    LogCapture log;
    std::string response;
    try {
        session.MakeRequest(VynOperation::Preauth, PreauthParams(), response, 10);
        FAIL() << "expected CVynException";
    } catch (const CINetException&) {
        FAIL() << "a failing-open call must not end in the transport failure";
    } catch (const CVynException& e) {
        EXPECT_EQ(e.GetKind(), NoError);
        EXPECT_TRUE(e.GetUserMessage().empty());
    }
    EXPECT_EQ(gSendCalls, 3);
    Lines expected = RefusedAttempts(3);
    expected.push_back("Timeout or network error on all attempts to connect to Vyn; failing open");
    expected.push_back("Failsafe Vyn login: timeout or other network error");
    EXPECT_EQ(log.Texts(), expected);
    EXPECT_EQ(events.events(),
              (EventRecorder::Events{{EVENTLOG_ERROR_TYPE, "Failsafe Vyn login: timeout or other network error"}}));
}

TEST_F(ExecutorLocal, DebugLinesOnlyWithTheDebugSetting) {
    session.config.failOpen = false;
    gDebugLogging = true;
    LogCapture log;
    std::string response;
    EXPECT_THROW(session.MakeRequest(VynOperation::Preauth, PreauthParams(), response, 10), CINetException);
    Lines expected = {"DEBUG: Entered CVynAuthSession::MakeRequest"};
    for (const auto& line : RefusedAttempts(3)) {
        if (line.rfind("ERROR: ", 0) == 0) expected.push_back("DEBUG: Entered CVynAuthSession::MakeHttpRequest");
        expected.push_back(line);
    }
    EXPECT_EQ(log.Texts(), expected);
}

TEST_F(ExecutorLocal, CancelledCallPropagatesAfterOneAttemptEvenWhenFailingOpen) {
    session.config.failOpen = true;
    api->SendRequest = CancelledSend;
    EventRecorder events;
    LogCapture log;
    std::string response;
    try {
        session.MakeRequest(VynOperation::Status, ParamMap{{"txid", "TX-1"}}, response, 0);
        FAIL() << "expected CINetException";
    } catch (const CINetException& e) {
        EXPECT_EQ(e.GetErrorCode(), 12017u);
    }
    EXPECT_EQ(gSendCalls, 1);
    EXPECT_EQ(log.Texts(), (Lines{"ERROR: Failure in system call 'WinHttpSendRequest' (12017)",
                                  "Caught WinHttp exception", "Operation cancelled"}));
    EXPECT_TRUE(events.events().empty());
}

TEST_F(ExecutorLocal, FailingTimeoutOptionPassesThroughWithoutRetryOrFailOpen) {
    session.config.failOpen = true;
    api->SetOption = SetOptionRecorder::SetOption;
    SetOptionRecorder::FailOption() = WINHTTP_OPTION_CONNECT_TIMEOUT;
    SetOptionRecorder::FailError() = 87;
    EventRecorder events;
    LogCapture log;
    std::string response;
    try {
        session.MakeRequest(VynOperation::Auth, ParamMap{{"async", "1"}, {"user", "bob"}}, response, 10);
        FAIL() << "expected CVynException";
    } catch (const CINetException&) {
        FAIL() << "an option failure is not retried as a transport failure";
    } catch (const CVynException& e) {
        EXPECT_EQ(e.GetKind(), UnexpectedError);
    }
    EXPECT_EQ(gSendCalls, 0);
    EXPECT_EQ(log.Texts(), (Lines{"ERROR: Failure in system call 'WinHttpSetOption' (87)"}));
    EXPECT_TRUE(events.events().empty());
}

BOOL WINAPI FailingAcquire(HCRYPTPROV*, LPCWSTR, LPCWSTR, DWORD, DWORD) {
    ::SetLastError(NTE_BAD_KEYSET);
    return FALSE;
}

TEST_F(ExecutorLocal, UnsignableRequestIsAnUnexpectedErrorAndNeverSent) {
    const CryptApi saved = gCryptApi;
    gCryptApi.acquireContext = FailingAcquire;
    LogCapture log;
    std::string response;
    try {
        session.MakeRequest(VynOperation::Preauth, PreauthParams(), response, 10);
        ADD_FAILURE() << "expected CVynException";
    } catch (const CVynException& e) {
        EXPECT_EQ(e.GetKind(), UnexpectedError);
        EXPECT_TRUE(e.GetUserMessage() == DefaultUserMessage(UnexpectedError));
    }
    gCryptApi = saved;
    EXPECT_EQ(gSendCalls, 0);
    ASSERT_FALSE(log.Texts().empty());
    EXPECT_EQ(log.Texts().back(), "ERROR: FormatAuthHeader failed");
    EXPECT_EQ(log.Texts().front(), "ERROR: Failure in system call 'CryptAcquireContext' (2148073494)");
}

TEST_F(ExecutorLocal, OperationOutsideTheTableIsAnUnexpectedErrorAndNeverSent) {
    LogCapture log;
    std::string response;
    try {
        session.MakeRequest(static_cast<VynOperation>(99), ParamMap{}, response, 0);
        FAIL() << "expected CVynException";
    } catch (const CVynException& e) {
        EXPECT_EQ(e.GetKind(), UnexpectedError);
    }
    EXPECT_EQ(gSendCalls, 0);
    EXPECT_EQ(log.Texts(), (Lines{"ERROR: Unhandled Vyn operation", "ERROR: Unhandled Vyn operation",
                                  "ERROR: FormatVynOp failed"}));
}

}  // namespace

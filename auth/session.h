#pragma once
// CVynAuthSession: the module's one client of the authentication service.
// It owns the HTTPS client (net/https_client.h, with Winsock, the TLS clients
// and the user agent), the configuration record and the cancel event, and
// builds the service's signed requests on the HTTPS client. Flows run on one
// thread at a time (Winlogon's, or the status dialog's worker while Winlogon's
// thread waits in the dialog).

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "auth/operations.h"
#include "common/handles.h"
#include "config/config.h"
#include "net/https_client.h"
#include "net/https_types.h"

#include "diag/errors.h"

// The product token the module's user agent is built from.
constexpr char kVynProductToken[] = "VynGina/1.1.8";

// What the service said to a pre-authentication, each empty when it sent none.
struct PreauthDecision {
    std::string result;
    std::string status;
    std::string defaultFactor;  // "default" of the "factors" document
};

enum class PreauthAction { SecondFactor, Allow, Refuse };

// What a decision means for the logon: a second factor, pass, or refuse with
// `kind` and the message the user reads.
struct PreauthVerdict {
    PreauthAction action;
    ErrorKind kind = NoError;
    std::string message;
};

// Decides on the result, compared exactly and case-sensitively. Logs "ERROR:
// result not understood" for a decision it does not know and that carries no
// status text.
PreauthVerdict JudgePreauth(const PreauthDecision& decision);

class CVynAuthSession {
public:
    explicit CVynAuthSession(const std::string& productToken);
    // A private session for another thread: the same settings and user agent,
    // its own HTTPS client and cancel event.
    CVynAuthSession(const SessionConfig& settings, const std::string& userAgent);
    CVynAuthSession(const CVynAuthSession&) = delete;
    CVynAuthSession& operator=(const CVynAuthSession&) = delete;

    // Requests on the HTTPS client with this session's host and user agent
    // (auth/session.cpp).
    void OpenHttpSession();
    int32_t MakeHttpRequest(const std::string& method, const std::string& objectName, const std::string& headers,
                            const std::string& body, int32_t timeout, std::string& response,
                            TimeoutScope scope = TimeoutScope::ConnectOnly, int32_t answerSeconds = 0);

    // Signing with this session's host and keys (auth/session.cpp).
    std::string FormatAuthHeader(const std::string& method, const std::string& path,
                                 const std::string& query) const;

    // Request executor (auth/executor.cpp). Returns the answer's status
    // (200-299). A `Status` request that times out waiting for its answer (the
    // service held the poll past statusAnswerSeconds) is neither an attempt
    // nor a failure: its CINetException goes straight to the polling loop,
    // which polls again. Any other failed `Status` request goes there too,
    // after one attempt and without failing open: a transport failure as its
    // CINetException, a server error as CHttpStatusException.
    int32_t MakeRequest(VynOperation operation, const ParamMap& params, std::string& response, int32_t timeout,
                        TimeoutScope scope = TimeoutScope::ConnectOnly);

    // Flows (auth/preauth.cpp, auth/authenticate.cpp).
    // `user`: the UTF-8 account name msgina accepted, as held (not normalised).
    void PreAuthorizeVynUser(const std::string& user);
    // The request and its reading, with the client address as at logon; no
    // decision is acted on and no factor is started. Failures throw as
    // PreAuthorizeVynUser's do (an answer without "result" included).
    PreauthDecision RequestPreauth(const std::string& user);
    bool AuthorizeVynUser(HWND owner, const std::string& user, const std::string& answer);
    void RunAuthTransaction(const std::string& user, const std::string& answer, HWND progressWindow,
                            HANDLE cancelEvent);
    void CheckTransactionStatus(const std::string& txid, std::string& result, std::string& status);
    void CancelAuthentication();

    // Reports an outcome of this session's requests to the event log (and the
    // diagnostic log), unless whoever waited for them has given up (see
    // `abandoned`): then the text is logged with a note and no event is raised.
    void ReportOutcome(WORD type, const std::string& message) const;

    // Members are destroyed in reverse order: the cancel event, keys and host,
    // then the HTTPS client, whose handles and sockets close before its
    // Winsock start-up is released.
    CHttpsClient http;
    SessionConfig config;
    unique_handle cancelEvent;
    // Null for the module's shared session. A private session that runs on the
    // status dialog's worker gets the dialog's abandoned flag: once the dialog
    // has abandoned the worker, the logon it served is over (cancelled), and a
    // late failure or fail-open of this session must not appear in the event
    // log as if it had decided that logon.
    std::shared_ptr<const std::atomic<bool>> abandoned;
    // The bound on the wait for a status poll's answer. The service holds a
    // poll open until something happens, so the bound must be the module's
    // own: Windows' default receive time-out (30 s) would otherwise end held
    // polls as failures, three of which fail open. Tests shorten it; the
    // status dialog's worker takes the shared session's value.
    int32_t statusAnswerSeconds = 30;
    // How long the polling loop goes on polling after failed polls (server
    // errors, transport failures, unreadable answers) before it refuses the
    // logon: no poll has reached the service for that long. Tests shorten it;
    // the status dialog's worker takes the shared session's value.
    int32_t statusFailureSeconds = 60;
    // The cancel event of the run of requests in progress (RunAuthTransaction's),
    // handed to every exchange of that run, so that a cancel that lands just
    // before an exchange starts still ends it; null outside such a run.
    HANDLE requestCancelEvent = nullptr;
};

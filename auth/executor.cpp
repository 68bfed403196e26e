// The request executor: every call of the authentication service goes through
// CVynAuthSession::MakeRequest, which signs it, sends it with up to three
// immediate attempts, and decides what an unusable answer means (including
// failing open, which every caller takes as permission to let the user in).
// A status poll is sent once, and its failures are the polling loop's to
// judge (auth/authenticate.cpp): it never fails open.
#include <winsock2.h>

#include <optional>

#include "auth/operations.h"
#include "auth/session.h"
#include "config/config.h"
#include "diag/errors.h"
#include "diag/eventlog.h"
#include "diag/log.h"
#include "net/signing.h"

namespace {
constexpr int kMaxAttempts = 3;
}  // namespace

void CVynAuthSession::ReportOutcome(WORD type, const std::string& message) const {
    if (abandoned && abandoned->load()) {
        LogMessage(message);
        LogMessage("Event not reported: the authentication was abandoned before this outcome");
        return;
    }
    ReportToEventLog(type, message);
}

int32_t CVynAuthSession::MakeRequest(VynOperation operation, const ParamMap& params, std::string& response,
                                     int32_t timeout, TimeoutScope scope) {
    if (gDebugLogging) LogMessage("DEBUG: Entered CVynAuthSession::MakeRequest");

    std::string query;
    if (!params.empty()) {
        query = FormatQueryString(params);
        if (query.empty()) {
            LogMessage("ERROR: FormatQueryString failed");
            throw CVynException(UnexpectedError, std::string());
        }
    }

    const std::string method = VynOpMethod(operation);
    const std::string path = FormatVynOp(operation);
    // An operation outside the table has already been logged by the lookups;
    // a request without a method or path cannot be formed.
    if (method.empty() || path.empty()) throw CVynException(UnexpectedError, std::string());

    const std::string target = (method == "GET" && !query.empty()) ? path + "?" + query : path;

    // Signed once per call: the header holds no time stamp, so every attempt reuses it.
    std::string header;
    if (operation != VynOperation::Ping) {
        header = FormatAuthHeader(method, path, query);
        if (header.empty()) {
            LogMessage("ERROR: FormatAuthHeader failed");
            throw CVynException(UnexpectedError, std::string());
        }
    }

    // The transport appends to `response` and a failed attempt may leave part
    // of a body behind; each attempt starts again from what the caller passed,
    // so a normal return leaves exactly one answer's body after it.
    const size_t callerLength = response.size();
    const bool isPoll = operation == VynOperation::Status;
    // Only these two requests fail open; their refusals in the same places are
    // marked as outages (see CVynException::MarkOutage).
    const bool failsOpen = operation == VynOperation::Preauth || operation == VynOperation::Auth;
    std::optional<CINetException> lastFailure;
    for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
        response.resize(callerLength);
        int32_t status = 0;
        try {
            status = MakeHttpRequest(method, target, header, query, timeout, response, scope,
                                     isPoll ? statusAnswerSeconds : 0);
        } catch (const CINetException& e) {
            LogMessage("Caught WinHttp exception");
            if (e.Cancelled()) {
                LogMessage("Operation cancelled");
                throw;
            }
            if (isPoll && e.TimedOutAwaitingAnswer()) {
                // The service had the poll and held it: nothing has failed,
                // and counting it would let three held polls fail open (a
                // push nobody answers would let the user in).
                LogMessage("Status poll held past its bound; polling again");
                response.resize(callerLength);
                throw;
            }
            if (isPoll) {
                // One poll is one attempt: the polling loop decides what a
                // failed poll means, and never fails open.
                response.resize(callerLength);
                throw;
            }
            LogMessage("Caught WinHttp exception; retrying up to limit");
            lastFailure.emplace(e);
            continue;
        }

        if (status >= 200 && status <= 299) {
            LogMessage("HTTP request completed successfully");
            return status;
        }
        // A status poll's server error goes back to the polling loop as a
        // failed poll: after a transaction id it never fails open.
        if (isPoll && status >= 500 && status <= 599) throw CHttpStatusException(status);
        if (status >= 500 && status <= 599 && config.failOpen) {
            LogMessage("HTTP response status is a permanent failure; failing open");
            ReportOutcome(EVENTLOG_ERROR_TYPE, "Failsafe Vyn login: Vyn response not understood");
            throw CVynException(NoError, std::string());
        }
        LogMessage("HTTP response status not understood; aborting");
        CHttpStatusException refusal(status);
        if (failsOpen && status >= 500 && status <= 599) refusal.MarkOutage();
        throw refusal;
    }

    response.resize(callerLength);
    if (config.failOpen) {
        LogMessage("Timeout or network error on all attempts to connect to Vyn; failing open");
        ReportOutcome(EVENTLOG_ERROR_TYPE, "Failsafe Vyn login: timeout or other network error");
        throw CVynException(NoError, std::string());
    }
    CINetException refusal(*lastFailure);
    if (failsOpen) refusal.MarkOutage();
    throw refusal;
}

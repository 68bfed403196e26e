// The session's construction and its requests on the HTTPS client. The
// module's shared session is built during static initialisation and destroyed
// at unload; the status dialog's worker gets a private one.
#include <winsock2.h>

#include "auth/session.h"

#include "diag/log.h"
#include "net/identity.h"
#include "net/signing.h"

CVynAuthSession::CVynAuthSession(const std::string& productToken)
    : CVynAuthSession(SessionConfig(), BuildUserAgent(productToken)) {}

CVynAuthSession::CVynAuthSession(const SessionConfig& settings, const std::string& userAgent)
    : http(userAgent),
      config(settings),
      // Auto-reset, not signalled: the worker's test that finds it set also clears it.
      cancelEvent(::CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}

void CVynAuthSession::OpenHttpSession() { http.Open(); }

int32_t CVynAuthSession::MakeHttpRequest(const std::string& method, const std::string& objectName,
                                         const std::string& headers, const std::string& body, int32_t timeout,
                                         std::string& response, TimeoutScope scope, int32_t answerSeconds) {
    if (gDebugLogging) LogMessage("DEBUG: Entered CVynAuthSession::MakeHttpRequest");
    HttpsRequest request;
    request.host = config.host;
    request.port = config.port;
    request.userAgent = http.UserAgent();
    request.method = method;
    request.objectName = objectName;
    request.headers = headers;
    request.body = body;
    request.timeoutSeconds = timeout;
    request.scope = scope;
    request.answerSeconds = answerSeconds;
    request.cancelEvent = requestCancelEvent;
    const int32_t status = http.Send(request, response, config.tls);
    if (gDebugLogging) LogMessage("DEBUG: Leaving CVynAuthSession::MakeHttpRequest");
    return status;
}

std::string CVynAuthSession::FormatAuthHeader(const std::string& method, const std::string& path,
                                              const std::string& query) const {
    return ::FormatAuthHeader(config.ikey, config.skey, config.host, method, path, query);
}

// Construction and destruction of the client object. The module's one instance
// is built during static initialisation and destroyed at unload.
#include <winsock2.h>

#include "auth/session.h"
#include "net/identity.h"

CVynAuthSession::CVynAuthSession(const std::string& productToken)
    : userAgent(BuildUserAgent(productToken)),
      // Auto-reset, not signalled: the worker's test that finds it set also clears it.
      cancelEvent(::CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}

CVynAuthSession::~CVynAuthSession() {
    if (winsockStarted) ::WSACleanup();
    cancelEvent.reset();
    // The members then go in reverse order of declaration: keys and host, the
    // user agent, then the request, connection and session handles.
}

// What both TLS clients share (see net/tls_client.h).
#include "net/tls_client.h"

#include <windows.h>

#include "diag/log.h"

bool ExchangeCancelled(const HttpsRequest& request) {
    if (request.cancelEvent == nullptr) return false;
    const DWORD result = ::WaitForSingleObject(static_cast<HANDLE>(request.cancelEvent), 0);
    if (result == WAIT_FAILED) LogSystemCallFailure("WaitForSingleObject", ::GetLastError());
    return result == WAIT_OBJECT_0;
}

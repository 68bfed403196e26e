#pragma once
// What CHttpsClient asks of a TLS client: the system's (WinHTTP, net/transport.h)
// or the module's own. Both carry the same request the same way and report a
// failure as CINetException with the WinHTTP code of that failure, so the
// executor's attempts, fail-open and log do not depend on which one served.

#include <cstdint>
#include <string>

#include "net/https_types.h"

class ITlsClient {
public:
    virtual ~ITlsClient() = default;

    // One exchange: the answer's body is appended to `response` and its
    // status returned. Throws CINetException for a transport failure and
    // CVynException(UnexpectedError) for a local one.
    virtual int32_t Send(const HttpsRequest& request, std::string& response) = 0;

    // Ends the exchange in progress from another thread; it fails as cancelled.
    virtual void Abort() = 0;
};

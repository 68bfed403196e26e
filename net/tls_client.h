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

    // The Content-Type of the last answer this client received ("" when it
    // named none), for the Send thread: vyn-check names it beside an answer
    // the module cannot read (an HTML page from a proxy, for instance).
    virtual const std::string& AnswerContentType() const noexcept = 0;
};

// Whether the caller cancelled before this exchange could be aborted: the
// request's cancel event, tested without waiting (a signalled auto-reset
// event is cleared by the test). A client's Abort only reaches an exchange
// once the client has taken it in hand, and a cancel action signals the event
// before it calls Abort; so a client that tests the event right after taking
// the exchange in hand either sees the event or will see the Abort. Found
// signalled, the exchange is not sent and fails as cancelled (12017).
bool ExchangeCancelled(const HttpsRequest& request);

#pragma once
// The exception family of the authentication client and transport. Thrown by
// value, caught by reference. Kind 0 (NoError) is not a failure: it ends the
// second-factor conversation with the logon allowed.

#include <windows.h>

#include <cstdint>
#include <string>

enum ErrorKind : int32_t {
    NoError = 0,
    UnexpectedError = 1,
    CommunicationError = 2,
    UnexpectedResponse = 3,
    AuthenticationDenied = 4,
};

// The fixed text the user reads for a kind; empty for 0 and unknown kinds.
std::wstring DefaultUserMessage(int32_t kind);

class CVynException {
public:
    // message: UTF-8, may be empty (the kind's default text is shown then).
    CVynException(int32_t kind, const std::string& message);
    CVynException(const CVynException&) = default;
    CVynException& operator=(const CVynException&) = default;
    virtual ~CVynException() = default;

    virtual int32_t GetKind() const;
    virtual std::wstring GetUserMessage() const;

    // Set by the request executor on the refusal it throws where, with
    // FailOpen set, it would have let the user in (a server error, or every
    // attempt failed, on pre-authentication or Auth): the service could not
    // be used, which is not the same as the service saying no. Callers that
    // offer a way in during an outage test it; everyone else sees the same
    // refusal as before.
    void MarkOutage() { outage_ = true; }
    bool Outage() const { return outage_; }

protected:
    int32_t kind_;
    std::wstring message_;
    bool outage_ = false;
};

// What a failed exchange was waiting for when it ended.
enum class NetWait {
    // Anything up to and including sending the request: name resolution,
    // connecting, the TLS handshake, the request itself.
    Sending,
    // The answer to a request the service has received: its headers or body.
    // A status poll that ends here was held by the service, not lost.
    Answer,
};

// The failure of one WinHTTP call, carrying its error number.
class CINetException : public CVynException {
public:
    explicit CINetException(DWORD errorCode, NetWait wait = NetWait::Sending);
    CINetException(const CINetException&) = default;
    CINetException& operator=(const CINetException&) = default;

    int32_t GetKind() const override;  // always CommunicationError
    std::wstring GetUserMessage() const override;
    DWORD GetErrorCode() const { return errorCode_; }
    // A time-out (12002) that ended the wait for the answer to a request that
    // was sent; the log line and the code are the same as for any 12002.
    bool TimedOutAwaitingAnswer() const { return errorCode_ == 12002 && wait_ == NetWait::Answer; }
    // What the exchange was waiting for when it failed (vyn-check names it).
    NetWait Wait() const { return wait_; }
    // The exchange was ended by the user's cancel (12017), not by a failure.
    bool Cancelled() const { return errorCode_ == 12017; }

private:
    DWORD errorCode_;
    NetWait wait_;
};

// A refusal by HTTP status: an answer outside 200-299 that does not fail open.
// To every catcher it is kind UnexpectedResponse with no message; the status
// is there for whoever must tell a refused key (401) from other refusals.
class CHttpStatusException : public CVynException {
public:
    explicit CHttpStatusException(int32_t httpStatus)
        : CVynException(UnexpectedResponse, std::string()), httpStatus_(httpStatus) {}
    int32_t GetHttpStatus() const { return httpStatus_; }

private:
    int32_t httpStatus_;
};

// Stand-in for ATL's CAtlException (MinGW has no ATL): one HRESULT, raised only
// by the encoders when a length computation would overflow.
class CAtlException {
public:
    explicit CAtlException(HRESULT hr) : m_hr(hr) {}
    operator HRESULT() const { return m_hr; }
    HRESULT m_hr;
};

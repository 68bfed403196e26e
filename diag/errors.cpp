#include "diag/errors.h"

#include "common/strings.h"

std::wstring DefaultUserMessage(int32_t kind) {
    switch (kind) {
    case UnexpectedError:
        return L"There was an unexpected error while performing authentication.  "
               L"Please contact your system administrator.";
    case CommunicationError:
        return L"There was an error communicating with the Vyn authentication server.  Please try again.";
    case UnexpectedResponse:
        return L"The Vyn authentication server returned an unexpected response.  "
               L"Please contact your system administrator.";
    case AuthenticationDenied:
        return L"Your Vyn authentication information was incorrect.  Please try again.";
    default:
        return std::wstring();
    }
}

CVynException::CVynException(int32_t kind, const std::string& message)
    : kind_(kind), message_(FromUtf8(message)) {}

int32_t CVynException::GetKind() const { return kind_; }

std::wstring CVynException::GetUserMessage() const {
    return message_.empty() ? DefaultUserMessage(kind_) : message_;
}

CINetException::CINetException(DWORD errorCode, NetWait wait)
    : CVynException(-1, std::string()), errorCode_(errorCode), wait_(wait) {}

int32_t CINetException::GetKind() const { return CommunicationError; }

std::wstring CINetException::GetUserMessage() const {
    if (errorCode_ == 0) return CVynException::GetUserMessage();
    return DefaultUserMessage(GetKind()) + L" (" + std::to_wstring(static_cast<unsigned long>(errorCode_)) + L")";
}

#include "tools/check/words.h"

const char kTlsLimitsNote[] =
    "Windows XP x64 and Server 2003 x64 speak TLS 1.0 at most (no TLS 1.1 or 1.2 was ever shipped for them) "
    "and validate SHA-2 certificate chains only with Microsoft's SHA-2 update (KB968730) installed; a service "
    "that accepts only TLS 1.2 cannot be reached from them at all, and with FailOpen on every logon would then "
    "pass unchallenged";

namespace {

// WinHTTP error numbers (winhttp.h), by name, and the Winsock time-out.
constexpr DWORD kTimeout = 12002;
constexpr DWORD kNameNotResolved = 12007;
constexpr DWORD kCannotConnect = 12029;
constexpr DWORD kConnectionError = 12030;
constexpr DWORD kCertDateInvalid = 12037;
constexpr DWORD kCertCommonNameInvalid = 12038;
constexpr DWORD kInvalidCa = 12045;
constexpr DWORD kInvalidServerResponse = 12152;
constexpr DWORD kSecureChannelError = 12157;
constexpr DWORD kSecureInvalidCert = 12169;
constexpr DWORD kSecureCertRevoked = 12170;
constexpr DWORD kSecureFailure = 12175;
constexpr DWORD kWsaTimedOut = 10060;

}  // namespace

bool RunningUnderWine() {
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

bool IsSecureChannelFailure(DWORD code) {
    switch (code) {
        case kConnectionError:
        case kCertDateInvalid:
        case kCertCommonNameInvalid:
        case kInvalidCa:
        case kSecureChannelError:
        case kSecureInvalidCert:
        case kSecureCertRevoked:
        case kSecureFailure: return true;
        default: return false;
    }
}

std::string TransportFailureWords(DWORD code, bool underWine) {
    const std::string number = " (error " + std::to_string(static_cast<unsigned long>(code)) + ")";
    switch (code) {
        case kNameNotResolved: return "name not resolved: the service's host name is unknown to this machine's DNS" + number;
        case kCannotConnect: return "connection refused: nothing accepts connections at the service's address and port, or a firewall blocks it" + number;
        case kTimeout:
        case kWsaTimedOut: return "timed out: the service did not answer in time" + number;
        case kInvalidCa: return "certificate not trusted: its issuer is not in this machine's trusted roots" + number;
        case kCertCommonNameInvalid: return "certificate for another name: the service's certificate does not name the configured host" + number;
        case kCertDateInvalid: return "certificate expired or not yet valid" + number;
        case kSecureCertRevoked: return "certificate revoked" + number;
        case kSecureInvalidCert: return "certificate invalid" + number;
        case kSecureChannelError:
            if (underWine) return "certificate not trusted: its issuer is not in this machine's trusted roots" + number;
            return "TLS failure: the handshake with the service failed (no protocol or cipher in common)" + number;
        case kSecureFailure:
            return "certificate not accepted: not trusted, for another name, expired or revoked" + number;
        case kConnectionError:
            return "connection broken: the connection or the answer broke off (the service, a proxy or a firewall "
                   "ended it during the handshake or before the whole answer arrived)" + number;
        case kInvalidServerResponse: return "the answer was not HTTP" + number;
        default: return "connection failed" + number;
    }
}

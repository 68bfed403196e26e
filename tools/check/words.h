#pragma once
// What a failed exchange with the service means, in words an administrator can
// act on.

#include <windows.h>

#include <string>

// True when this process runs under Wine, whose WinHTTP reports some failures
// with other numbers than Windows does.
bool RunningUnderWine();

// The words for a WinHTTP (or Winsock) error number of the transport.
// `underWine` selects the meaning of the numbers the two platforms use differently.
std::string TransportFailureWords(DWORD code, bool underWine);

// True for the numbers that stand for a failed TLS handshake or a refused
// certificate: which of the two it was takes a look at the certificate.
bool IsSecureChannelFailure(DWORD code);

// What XP x64 and Server 2003 x64 lack for TLS: said only where it is the
// cause, when the system's TLS alone ("Tls" = 1) cannot complete a handshake.
extern const char kTlsLimitsNote[];

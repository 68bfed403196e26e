#pragma once
// Who is calling the service: the user agent (product token and Windows
// version) and the client address sent as "ipaddr".

#include <windows.h>

#include <cstdint>
#include <string>

// "Windows NT maj.min.build" plus " x64", " IA64", " WOW64" or " x86"; empty on failure.
std::string GetOsDescription();
// productToken + " (" + OS description + ")"; "VynAuth/Unknown (...)" for an empty token.
std::string BuildUserAgent(const std::string& productToken);

// In a remote session the remote client's address, else the machine's own
// address when localIpFallback is set, else empty.
std::string GetClientIpAddress(bool localIpFallback);
std::string GetRemoteClientAddress();
std::string GetLocalIpAddress();
// Numeric text of an IPv4 (family 2) or IPv6 (family 23) address; empty otherwise.
std::string FormatNumericAddress(uint16_t family, const void* addressBytes);

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

// The platform calls behind the client-address selection, replaceable by
// tests: a test platform cannot be a remote session, and the remote-session
// functions of "winsta.dll" are reached by name at run time.
using WinStationOpenServerWFn = HANDLE(WINAPI*)(LPWSTR serverName);
using WinStationQueryInformationWFn = BOOLEAN(WINAPI*)(HANDLE server, ULONG sessionId, int infoClass, PVOID buffer,
                                                       ULONG length, PULONG returnedLength);
using WinStationCloseServerFn = BOOLEAN(WINAPI*)(HANDLE server);

struct ClientIdentityPlatform {
    int(WINAPI* getSystemMetrics)(int index);
    HMODULE(WINAPI* loadLibrary)(LPCWSTR name);
    FARPROC(WINAPI* getProcAddress)(HMODULE module, LPCSTR name);
    BOOL(WINAPI* freeLibrary)(HMODULE module);
};

// The platform's functions unless a test has replaced them.
extern ClientIdentityPlatform gIdentityPlatform;

// The host-name lookup behind GetLocalIpAddress (gethostbyname), replaceable
// by tests: no resolver of a test platform can be made to hang on demand.
struct hostent;
using HostLookupFn = hostent*(WINAPI*)(const char* name);
extern HostLookupFn gHostLookup;

// How long GetLocalIpAddress waits for that lookup: the bound of a name
// resolution, after which the request goes without an address.
constexpr DWORD kHostLookupMs = 10000;

// Client identity: user agent under Wine, the address selection rule and the
// remote-address record through a fake "winsta.dll" (no remote session can be
// had here, and Wine's WinStationOpenServerW aborts the process), and the
// machine's own address through Wine's real Winsock.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "auth/session.h"
#include "common/handles.h"
#include "net/identity.h"
#include "tests/support/log_capture.h"

namespace {

using Lines = std::vector<std::string>;

// --- A scriptable stand-in for the platform -------------------------------

struct FakeWinsta {
    int remoteSession = 0;
    bool loads = true;
    const char* missing = nullptr;  // name GetProcAddress does not find
    HANDLE server = reinterpret_cast<HANDLE>(0x5150);
    BOOLEAN queryResult = TRUE;
    BYTE record[32] = {};

    // What the module did.
    int loadCalls = 0, freeCalls = 0, openCalls = 0, queryCalls = 0, closeCalls = 0;
    std::wstring loadedName;
    LPWSTR openedName = reinterpret_cast<LPWSTR>(1);
    ULONG sessionId = 0, length = 0;
    int infoClass = 0;
    HANDLE closed = nullptr;
};

FakeWinsta* gFake = nullptr;
const HMODULE kFakeModule = reinterpret_cast<HMODULE>(0x7E570000);

int WINAPI FakeGetSystemMetrics(int index) { return index == SM_REMOTESESSION ? gFake->remoteSession : 0; }
HMODULE WINAPI FakeLoadLibrary(LPCWSTR name) {
    ++gFake->loadCalls;
    gFake->loadedName = name;
    return gFake->loads ? kFakeModule : nullptr;
}
BOOL WINAPI FakeFreeLibrary(HMODULE module) {
    EXPECT_EQ(module, kFakeModule);
    ++gFake->freeCalls;
    return TRUE;
}
HANDLE WINAPI FakeOpenServer(LPWSTR name) {
    ++gFake->openCalls;
    gFake->openedName = name;
    return gFake->server;
}
BOOLEAN WINAPI FakeQuery(HANDLE server, ULONG sessionId, int infoClass, PVOID buffer, ULONG length, PULONG returned) {
    ++gFake->queryCalls;
    EXPECT_EQ(server, gFake->server);
    gFake->sessionId = sessionId;
    gFake->infoClass = infoClass;
    gFake->length = length;
    const BYTE zero[32] = {};
    EXPECT_EQ(std::memcmp(buffer, zero, 32), 0);  // handed over zeroed
    if (gFake->queryResult) {
        std::memcpy(buffer, gFake->record, 32);
        *returned = 32;
    }
    return gFake->queryResult;
}
BOOLEAN WINAPI FakeCloseServer(HANDLE server) {
    ++gFake->closeCalls;
    gFake->closed = server;
    return TRUE;
}
FARPROC WINAPI FakeGetProcAddress(HMODULE module, LPCSTR name) {
    EXPECT_EQ(module, kFakeModule);
    if (gFake->missing && std::strcmp(name, gFake->missing) == 0) return nullptr;
    if (std::strcmp(name, "WinStationOpenServerW") == 0) return reinterpret_cast<FARPROC>(FakeOpenServer);
    if (std::strcmp(name, "WinStationQueryInformationW") == 0) return reinterpret_cast<FARPROC>(FakeQuery);
    if (std::strcmp(name, "WinStationCloseServer") == 0) return reinterpret_cast<FARPROC>(FakeCloseServer);
    return nullptr;
}

class ClientAddress : public ::testing::Test {
protected:
    void SetUp() override {
        WSADATA data;
        ASSERT_EQ(::WSAStartup(MAKEWORD(2, 2), &data), 0);
        saved_ = gIdentityPlatform;
        gFake = &fake_;
        gIdentityPlatform = {FakeGetSystemMetrics, FakeLoadLibrary, FakeGetProcAddress, FakeFreeLibrary};
    }
    void TearDown() override {
        gIdentityPlatform = saved_;
        gFake = nullptr;
        ::WSACleanup();
    }
    void RemoteIpv4(BYTE a, BYTE b, BYTE c, BYTE d) {
        fake_.record[0] = 2;
        const BYTE bytes[4] = {a, b, c, d};
        std::memcpy(fake_.record + 8, bytes, 4);
        fake_.record[4] = 0x0D;  // a port, which is not part of the text
        fake_.record[5] = 0x3D;
    }
    // The machine's first address by Wine's own resolver, formatted here.
    static std::string ExpectedLocalAddress() {
        char name[1024] = {};
        if (::gethostname(name, sizeof name) != 0) return "gethostname failed";
        const hostent* entry = ::gethostbyname(name);
        if (!entry || !entry->h_addr_list[0]) return "gethostbyname failed";
        in_addr a;
        std::memcpy(&a, entry->h_addr_list[0], 4);
        return ::inet_ntoa(a);
    }

    FakeWinsta fake_;
    ClientIdentityPlatform saved_{};
};

TEST_F(ClientAddress, ConsoleWithoutFallbackHasNone) {
    LogCapture capture;
    EXPECT_EQ(GetClientIpAddress(false), "");
    EXPECT_EQ(fake_.loadCalls, 0);
    EXPECT_TRUE(capture.Texts().empty());
}

TEST_F(ClientAddress, ConsoleWithFallbackUsesTheMachinesFirstAddress) {
    LogCapture capture;
    const std::string address = GetClientIpAddress(true);
    EXPECT_EQ(address, ExpectedLocalAddress());
    EXPECT_NE(::inet_addr(address.c_str()), INADDR_NONE) << address;
    EXPECT_EQ(fake_.loadCalls, 0);
    EXPECT_TRUE(capture.Texts().empty());
}

TEST_F(ClientAddress, RemoteSessionUsesTheRemoteClient) {
    fake_.remoteSession = 1;
    RemoteIpv4(203, 0, 113, 5);
    LogCapture capture;
    EXPECT_EQ(GetClientIpAddress(false), "203.0.113.5");
    EXPECT_EQ(GetClientIpAddress(true), "203.0.113.5");
    EXPECT_EQ(fake_.loadedName, L"winsta.dll");
    EXPECT_EQ(fake_.openedName, nullptr);
    EXPECT_EQ(fake_.sessionId, 0xFFFFFFFFu);
    EXPECT_EQ(fake_.infoClass, 29);
    EXPECT_EQ(fake_.length, 32u);
    EXPECT_EQ(fake_.closed, fake_.server);
    EXPECT_EQ(fake_.loadCalls, 2);
    EXPECT_EQ(fake_.freeCalls, 2);
    EXPECT_EQ(fake_.closeCalls, 2);
    EXPECT_TRUE(capture.Texts().empty());
}

TEST_F(ClientAddress, FailedRemoteLookupIsNotReplacedByTheLocalAddress) {
    fake_.remoteSession = 1;
    RemoteIpv4(203, 0, 113, 5);
    fake_.queryResult = FALSE;
    LogCapture capture;
    EXPECT_EQ(GetClientIpAddress(true), "");
    EXPECT_EQ(fake_.closeCalls, 1);
    EXPECT_EQ(fake_.freeCalls, 1);
    EXPECT_TRUE(capture.Texts().empty());
}

TEST_F(ClientAddress, RemoteIpv6Record) {
    fake_.record[0] = 23;
    const BYTE v6[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x12, 0x34};
    std::memcpy(fake_.record + 12, v6, 16);
    fake_.record[8] = 0x77;  // flow information, not part of the address
    EXPECT_EQ(GetRemoteClientAddress(), "2001:db8::1234");
}

TEST_F(ClientAddress, OtherFamiliesGiveNothingAndNoLine) {
    for (const BYTE family : {0, 1, 3, 17, 22, 24, 0xFF}) {
        RemoteIpv4(10, 0, 0, 1);
        fake_.record[0] = family;
        LogCapture capture;
        EXPECT_EQ(GetRemoteClientAddress(), "") << int(family);
        EXPECT_TRUE(capture.Texts().empty());
    }
    // The family is a 16-bit word: 2 in its low byte with a high byte set is not IPv4.
    RemoteIpv4(10, 0, 0, 1);
    fake_.record[1] = 1;
    EXPECT_EQ(GetRemoteClientAddress(), "");
    EXPECT_EQ(fake_.closeCalls, 8);
    EXPECT_EQ(fake_.freeCalls, 8);
}

TEST_F(ClientAddress, LibraryOrFunctionMissing) {
    RemoteIpv4(10, 0, 0, 1);
    fake_.loads = false;
    EXPECT_EQ(GetRemoteClientAddress(), "");
    EXPECT_EQ(fake_.freeCalls, 0);
    fake_.loads = true;
    int frees = 0;
    for (const char* name : {"WinStationOpenServerW", "WinStationQueryInformationW", "WinStationCloseServer"}) {
        fake_.missing = name;
        LogCapture capture;
        EXPECT_EQ(GetRemoteClientAddress(), "") << name;
        EXPECT_EQ(fake_.freeCalls, ++frees) << name;
        EXPECT_TRUE(capture.Texts().empty());
    }
    EXPECT_EQ(fake_.openCalls, 0);
}

TEST_F(ClientAddress, ServerNotOpened) {
    RemoteIpv4(10, 0, 0, 1);
    fake_.server = nullptr;
    EXPECT_EQ(GetRemoteClientAddress(), "");
    EXPECT_EQ(fake_.queryCalls, 0);
    EXPECT_EQ(fake_.closeCalls, 0);
    EXPECT_EQ(fake_.freeCalls, 1);
}

// A lookup that does not answer (a silent DNS server), until the test lets it.
HANDLE gLookupRelease = nullptr;
HANDLE gLookupEnded = nullptr;
hostent* WINAPI SilentLookup(const char*) {
    ::WaitForSingleObject(gLookupRelease, 60000);
    ::WSASetLastError(WSAHOST_NOT_FOUND);
    ::SetEvent(gLookupEnded);
    return nullptr;
}

// Winlogon's thread waits for the lookup no longer than a name resolution's
// bound; the request then goes without an address, and the log says why.
TEST_F(ClientAddress, SilentLookupIsGivenUpAfterItsBound) {
    const unique_handle release(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const unique_handle ended(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    gLookupRelease = release.get();
    gLookupEnded = ended.get();
    const HostLookupFn saved = gHostLookup;
    gHostLookup = SilentLookup;
    LogCapture capture;
    const DWORD start = ::GetTickCount();
    EXPECT_EQ(GetClientIpAddress(true), "");
    const DWORD elapsed = ::GetTickCount() - start;
    gHostLookup = saved;
    ::SetEvent(release.get());
    EXPECT_EQ(::WaitForSingleObject(ended.get(), 5000), WAIT_OBJECT_0);
    // The documented figure, not the product's constant: a changed constant
    // must fail here.
    EXPECT_GE(elapsed, 10000u - 50);
    EXPECT_LE(elapsed, 10000u + 2000);
    EXPECT_EQ(capture.Texts(), Lines{"ERROR: Failure in socket operation 'gethostbyname' (10060)"});
}

TEST_F(ClientAddress, LocalAddressThroughWinsock) {
    gIdentityPlatform = saved_;
    EXPECT_EQ(GetLocalIpAddress(), ExpectedLocalAddress());
}

// Winsock not started: Windows fails gethostname, Wine only gethostbyname;
// either way one socket failure line with the real error and no address.
TEST(LocalAddress, WinsockNotStartedLogsTheFailingCall) {
    LogCapture capture;
    EXPECT_EQ(GetLocalIpAddress(), "");
    const Lines lines = capture.Texts();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(lines[0] == "ERROR: Failure in socket operation 'gethostname' (10093)" ||
                lines[0] == "ERROR: Failure in socket operation 'gethostbyname' (10093)")
        << lines[0];
}

TEST(FormatNumericAddress, Families) {
    WSADATA data;
    ASSERT_EQ(::WSAStartup(MAKEWORD(2, 2), &data), 0);
    const BYTE v4[4] = {192, 0, 2, 10};
    const BYTE loopback6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    const BYTE full6[16] = {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0x02, 0x11, 0x22, 0xff, 0xfe, 0x33, 0x44, 0x55};
    LogCapture capture;
    EXPECT_EQ(FormatNumericAddress(2, v4), "192.0.2.10");
    EXPECT_EQ(FormatNumericAddress(23, loopback6), "::1");
    EXPECT_EQ(FormatNumericAddress(23, full6), "fe80::211:22ff:fe33:4455");
    EXPECT_EQ(FormatNumericAddress(0, v4), "");
    EXPECT_EQ(FormatNumericAddress(6, v4), "");
    EXPECT_EQ(FormatNumericAddress(2, nullptr), "");
    EXPECT_TRUE(capture.Texts().empty());
    ::WSACleanup();
}

TEST(UserAgent, FromProductTokenAndWineVersion) {
    EXPECT_EQ(GetOsDescription(), "Windows NT 6.1.7601 x64");
    EXPECT_EQ(BuildUserAgent("VynGina/1.1.8"), "VynGina/1.1.8 (Windows NT 6.1.7601 x64)");
    EXPECT_EQ(BuildUserAgent(""), "VynAuth/Unknown (Windows NT 6.1.7601 x64)");
    const CVynAuthSession session("VynGina/1.1.8");
    EXPECT_EQ(session.http.UserAgent(), "VynGina/1.1.8 (Windows NT 6.1.7601 x64)");
}

}  // namespace

// The machine's trust stores kept open by the module's own TLS client: what an
// administrator changes in them counts from the next connection on, and a
// store that reports its changes is re-read only when it has reported one.
// Each test runs in a process of its own, so its first connection opens the
// stores this process keeps.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>
#include <wincrypt.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "config/config.h"
#include "diag/errors.h"
#include "net/builtin_tls.h"
#include "net/crypt_handles.h"
#include "net/tls/machine_stores.h"
#include "net/tls/root_update.h"
#include "tests/support/log_capture.h"
#include "tests/tls/tls_test_support.h"

namespace {

// tests/tls/tls_servers.sh.in: a leaf of the trusted test CA, and a leaf under
// a root ("fetch-ca") that only the test puts into the ROOT store.
constexpr int kDisallowedLeafServer = 8;
constexpr int kFetchRootServer = 17;
constexpr char kInDisallowed[] =
    "ERROR: A certificate of the server's chain (depth 0) is in the machine's Disallowed store";

// Puts a certificate into one of the local machine's system stores, or takes
// it out, as another process would: the client's kept stores learn of it only
// as the platform reports changes.
void SetInMachineStore(const wchar_t* store, const char* derName, bool present) {
    if (present) {
        tls_test::AddToMachineStore(store, tls_test::Pki(derName));
    } else {
        tls_test::RemoveFromMachineStore(store, tls_test::Pki(derName));
    }
}

// A new connection to a test server: 0 when it connects, else the WinHTTP code.
DWORD Connect(int portOffset) {
    HttpsRequest request;
    request.host = "localhost";
    request.port = static_cast<uint16_t>(VYN_TLS_PORT_BASE + portOffset);
    request.userAgent = "VynGina/1.1.8";
    request.method = "GET";
    request.objectName = "/answer.txt";
    request.timeoutSeconds = 10;
    CBuiltinTlsClient client;
    std::string body;
    try {
        EXPECT_EQ(client.Send(request, body), 200);
    } catch (const CINetException& e) {
        return e.GetErrorCode();
    }
    return 0;
}

// Windows' chain engine would fetch nothing for the test's own root either;
// standing in for it keeps the refused rows from waiting on Wine's.
BOOL WINAPI NoChain(HCERTCHAINENGINE, PCCERT_CONTEXT, LPFILETIME, HCERTSTORE, PCERT_CHAIN_PARA, DWORD, LPVOID,
                    PCCERT_CHAIN_CONTEXT*) {
    ::SetLastError(static_cast<DWORD>(CRYPT_E_NOT_FOUND));
    return FALSE;
}

class MachineStores : public ::testing::Test {
protected:
    void SetUp() override {
        WSADATA data;
        ::WSAStartup(MAKEWORD(2, 2), &data);
        savedChain_ = gRootUpdateApi;
        gRootUpdateApi.getChain = NoChain;
        SetInMachineStore(L"Disallowed", "disallowed.der", true);
        SetInMachineStore(L"ROOT", "fetch-ca.der", false);
    }
    void TearDown() override {
        gRootUpdateApi = savedChain_;
        SetInMachineStore(L"Disallowed", "disallowed.der", true);
        SetInMachineStore(L"ROOT", "fetch-ca.der", false);
    }

private:
    RootUpdateApi savedChain_{};
};

// One change of a store by another process, then a new connection.
struct StoreStep {
    const char* what;
    const wchar_t* store;
    const char* der;
    bool present;
    int server;
    DWORD code;              // 0: connects
    const char* reason;      // the refusal's line, when it names the store
};

const StoreStep kSteps[] = {
    {"a distrusted leaf is refused", L"Disallowed", "disallowed.der", true, kDisallowedLeafServer, 12175,
     kInDisallowed},
    {"trusted again once out of Disallowed", L"Disallowed", "disallowed.der", false, kDisallowedLeafServer, 0,
     nullptr},
    {"distrusted again at the next connection", L"Disallowed", "disallowed.der", true, kDisallowedLeafServer, 12175,
     kInDisallowed},
    {"a root nobody trusts", L"ROOT", "fetch-ca.der", false, kFetchRootServer, 12175, nullptr},
    {"a root just added is an anchor", L"ROOT", "fetch-ca.der", true, kFetchRootServer, 0, nullptr},
    {"a root just removed is none", L"ROOT", "fetch-ca.der", false, kFetchRootServer, 12175, nullptr},
};

TEST_F(MachineStores, ChangesCountFromTheNextConnection) {
    for (const StoreStep& step : kSteps) {
        SetInMachineStore(step.store, step.der, step.present);
        LogCapture log;
        EXPECT_EQ(Connect(step.server), step.code) << step.what;
        if (step.reason) {
            const auto lines = log.Texts();
            EXPECT_EQ(std::count(lines.begin(), lines.end(), step.reason), 1) << step.what;
        }
    }
}

// Stands in for Windows' stores, which report their changes (Wine's accept
// the notification and never give it): records the event armed on each store
// by the store's name, and counts the opens, each still made by Wine.
struct ReportingStores {
    static std::wstring refused;  // a store whose reports cannot be armed
    static std::wstring opening;
    static std::map<std::wstring, HANDLE> events;
    static std::map<std::wstring, int> opens;
    static HCERTSTORE WINAPI Open(LPCSTR provider, DWORD encoding, HCRYPTPROV_LEGACY crypt, DWORD flags,
                                  const void* name) {
        opening = static_cast<const wchar_t*>(name);
        ++opens[opening];
        return ::CertOpenStore(provider, encoding, crypt, flags, name);
    }
    static BOOL WINAPI Control(HCERTSTORE store, DWORD flags, DWORD type, const void* parameter) {
        if (type != CERT_STORE_CTRL_NOTIFY_CHANGE) return ::CertControlStore(store, flags, type, parameter);
        if (opening == refused) {
            ::SetLastError(ERROR_NOT_SUPPORTED);
            return FALSE;
        }
        events[opening] = *static_cast<const HANDLE*>(parameter);
        return TRUE;
    }
};
std::wstring ReportingStores::refused;
std::wstring ReportingStores::opening;
std::map<std::wstring, HANDLE> ReportingStores::events;
std::map<std::wstring, int> ReportingStores::opens;

TEST_F(MachineStores, ReadsAStoreAgainOnlyWhenItReportsAChange) {
    const MachineStoreApi saved = gMachineStoreApi;
    gMachineStoreApi.openStore = ReportingStores::Open;
    gMachineStoreApi.controlStore = ReportingStores::Control;
    gDebugLogging = true;
    LogCapture log;
    auto& opens = ReportingStores::opens;

    EXPECT_EQ(Connect(kDisallowedLeafServer), 12175u);
    EXPECT_EQ(Connect(kDisallowedLeafServer), 12175u);
    EXPECT_EQ(Connect(0), 0u);
    EXPECT_EQ(opens[L"ROOT"], 1) << "nothing changed, nothing read again";
    EXPECT_EQ(opens[L"Disallowed"], 1);

    // Only the Disallowed store reports a change, as Windows does for a part
    // of it that is kept outside the watched key (Group Policy's).
    ASSERT_EQ(ReportingStores::events.count(L"Disallowed"), 1u);
    ::SetEvent(ReportingStores::events[L"Disallowed"]);
    EXPECT_EQ(Connect(kDisallowedLeafServer), 12175u);
    EXPECT_EQ(opens[L"Disallowed"], 2);
    EXPECT_EQ(Connect(kDisallowedLeafServer), 12175u);
    EXPECT_EQ(opens[L"Disallowed"], 2);
    // The new store is armed again: its next report is seen too.
    ::SetEvent(ReportingStores::events[L"Disallowed"]);
    EXPECT_EQ(Connect(0), 0u);
    EXPECT_EQ(opens[L"Disallowed"], 3);
    EXPECT_EQ(opens[L"ROOT"], 1);

    const auto lines = log.Texts();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "DEBUG: Read the machine's Disallowed store again"), 2);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "DEBUG: Read the machine's ROOT store again"), 0);
    gMachineStoreApi = saved;
}

// A store whose change reports cannot be armed would learn of a distrust set
// through Group Policy (kept outside the watched key) from nothing: it is read
// again for every connection, the other store still only when it changes.
TEST_F(MachineStores, ReadsAStoreThatCannotReportChangesForEveryConnection) {
    const MachineStoreApi saved = gMachineStoreApi;
    gMachineStoreApi.openStore = ReportingStores::Open;
    gMachineStoreApi.controlStore = ReportingStores::Control;
    ReportingStores::refused = L"Disallowed";
    auto& opens = ReportingStores::opens;

    EXPECT_EQ(Connect(kDisallowedLeafServer), 12175u);
    EXPECT_EQ(Connect(0), 0u);
    EXPECT_EQ(Connect(kDisallowedLeafServer), 12175u);
    EXPECT_EQ(opens[L"Disallowed"], 3);
    EXPECT_EQ(opens[L"ROOT"], 1);
    gMachineStoreApi = saved;
}

}  // namespace

#pragma once
// Client of the reference authentication service's control listener, for test
// programs that need the service (ctest fixture "refservice"). It speaks plain
// HTTP over Winsock, so controlling the service never depends on the module's
// own transport.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// One request as the service received it.
struct RecordedRequest {
    std::string listener;  // "main", "wrong-name", "untrusted" or "chain"
    std::string method, target;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;

    // Value of the first header of that name (case-insensitive), "" if absent.
    std::string Header(const std::string& name) const;
};

namespace refservice {

uint16_t Port();           // trusted https://localhost:<port>
uint16_t WrongNamePort();  // certificate for another host name
uint16_t UntrustedPort();  // certificate from an untrusted issuer
// An ECDSA certificate for localhost sent with the ECDSA intermediate that
// issued it, under a root of its own (pki/chain-root.der, trusted by no one
// until a test adds it).
uint16_t ChainPort();
uint16_t ClosedPort();     // a loopback port nothing listens on
uint16_t ControlPort();    // the plain-HTTP control listener

// The fixture runs three instances of the service, each with its own tenants
// and records: the main one (the ports above), one that speaks TLS 1.2 only and
// one that speaks TLS 1.3 only.
enum class Instance { Main, Tls12Only, Tls13Only };
uint16_t PortOf(Instance instance);  // its trusted https://localhost:<port>

// While it lives, the helpers below talk to `instance`'s control listener.
class ScopedInstance {
public:
    explicit ScopedInstance(Instance instance);
    ~ScopedInstance();
    ScopedInstance(const ScopedInstance&) = delete;
    ScopedInstance& operator=(const ScopedInstance&) = delete;

private:
    Instance previous_;
};

// Loads a scenario (JSON text, format in tools/refservice/README.md) for tenant
// ikey/skey, replacing an earlier one and its records; false with a message on failure.
bool LoadScenario(const std::string& ikey, const std::string& skey, const std::string& scenarioJson,
                  std::string* error = nullptr);
// The tenant's requests, oldest first; "" gives the requests that matched no tenant.
std::vector<RecordedRequest> Requests(const std::string& ikey);
bool ClearRequests(const std::string& ikey);
// Lets the tenant's held answers go; the number that were waiting, or -1 on failure.
int Release(const std::string& ikey);
// Unique per test: current test name + pid, upper-case letters and digits only.
std::string UniqueIkey();

// One raw exchange with the control listener (for uses the helpers above do not
// cover); returns the HTTP status (0 when the listener cannot be reached).
int ControlRequest(const std::string& method, const std::string& target, const std::string& body,
                   std::string* responseBody);

}  // namespace refservice

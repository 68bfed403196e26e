#pragma once
// The TLS of XP x64 / Server 2003 x64 (TLS 1.0 at most) emulated in the test
// prefix, for tests of which TLS client reaches the service.

#include <string>

#include "tests/config/registry_helpers.h"

// While it lives, Wine's schannel in every new process of the prefix offers
// TLS 1.0 only, as XP x64 / Server 2003 x64 do: the standard client switches
// of TLS 1.1, 1.2 and 1.3 are off. Their keys are removed after; the Protocols
// key itself stays, since the prefix keeps its own "SSL 2.0" switch there.
class TargetsSystemTls {
public:
    TargetsSystemTls() {
        for (const char* version : kVersions) testreg::SetDword(Client(version).c_str(), "Enabled", 0);
    }
    ~TargetsSystemTls() {
        for (const char* version : kVersions) {
            testreg::DeleteKey(Client(version).c_str());
            testreg::DeleteKey((std::string(kProtocols) + "\\" + version).c_str());
        }
    }
    TargetsSystemTls(const TargetsSystemTls&) = delete;
    TargetsSystemTls& operator=(const TargetsSystemTls&) = delete;

private:
    static constexpr const char* kProtocols = "System\\CurrentControlSet\\Control\\SecurityProviders\\SCHANNEL\\Protocols";
    static constexpr const char* kVersions[] = {"TLS 1.1", "TLS 1.2", "TLS 1.3"};
    static std::string Client(const char* version) { return std::string(kProtocols) + "\\" + version + "\\Client"; }
};

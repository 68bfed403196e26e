#pragma once
// The reference authentication service: tenants (one scenario each, found by
// integration key), the REST operations, scripted misbehaviour, and the record
// of every request as received.

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bson_build.h"
#include "wire.h"

namespace vynref {

class Service {
public:
    // Loads (replaces) a tenant from scenario JSON text. An empty ikey or skey is
    // taken from the scenario's own "ikey"/"skey". False with a message on error.
    bool LoadTenant(const std::string& ikey, const std::string& skey, const std::string& scenarioText, bool makeDefault,
                    std::string* error);
    bool RemoveTenant(const std::string& ikey);
    // The recorded requests of a tenant ("" = requests that matched no tenant) as JSON.
    Json RequestsJson(const std::string& ikey);
    void ClearRequests(const std::string& ikey);
    // Releases every held answer of the tenant; returns how many were waiting.
    int Release(const std::string& ikey);
    // Ends every hold so that the process can stop.
    void Shutdown();

    // Answers one request of an HTTPS listener.
    RawResponse Handle(const RawRequest& req);

    void SetLogging(bool on) { logging_ = on; }

    struct Action;
    struct Tenant;

private:
    struct Normal;
    std::shared_ptr<Tenant> Find(const std::string& ikey);
    void Record(const std::string& bucket, const RawRequest& req);
    void Hold(const std::shared_ptr<Tenant>& tenant, int ms);
    Normal NormalAnswer(const std::shared_ptr<Tenant>& tenant, const std::string& op, const RawRequest& req);
    void Log(const RawRequest& req, int status);

    std::mutex mu_;
    std::condition_variable cv_;
    std::map<std::string, std::shared_ptr<Tenant>> tenants_;
    std::map<std::string, std::vector<RawRequest>> records_;
    std::string defaultIkey_;
    bool hasDefault_ = false;
    bool stopping_ = false;
    bool logging_ = false;
    uint64_t txCounter_ = 0;
};

}  // namespace vynref

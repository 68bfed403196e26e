#include "service.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <set>
#include <thread>

#include "auth_check.h"

namespace vynref {

namespace {

constexpr int kDefaultHoldMs = 60000;
constexpr int kMaxWaitMs = 10 * 60 * 1000;

const std::set<std::string> kOperations = {"preauth", "auth", "status", "ping", "check"};

bool IsPost(const std::string& op) { return op == "preauth" || op == "auth"; }

// A scenario mistake must be reported when it is loaded, not when a test is
// already half-way through a logon.
struct ScenarioError {
    std::string message;
};

void Require(bool ok, const std::string& message) {
    if (!ok) throw ScenarioError{message};
}

int IntField(const Json& obj, const char* key, int fallback, int min, int max, const std::string& where) {
    if (!obj.contains(key)) return fallback;
    const Json& v = obj.at(key);
    Require(v.is_number_integer(), where + ": '" + key + "' must be an integer");
    long long n = v.get<long long>();
    Require(n >= min && n <= max, where + ": '" + key + "' out of range");
    return static_cast<int>(n);
}

std::string ToBson(const Json& object, const std::string& where) {
    std::string bson, error;
    bool ok = JsonToBson(object, &bson, &error);
    Require(ok, where + ": " + error);
    return bson;
}

// Keys of a status step or an answer that steer the service rather than the payload.
Json WithoutKeys(const Json& obj, std::initializer_list<const char*> keys) {
    Json copy = obj;
    for (const char* k : keys) copy.erase(k);
    return copy;
}

void ValidateAnswer(const Json& answer, const std::string& where) {
    Require(answer.is_object(), where + " must be an object");
    for (auto it = answer.begin(); it != answer.end(); ++it) {
        const std::string& k = it.key();
        Require(k == "txid" || k == "statuses" || k == "response" || k == "delay_ms",
                where + ": unknown key '" + k + "'");
    }
    if (answer.contains("txid")) {
        Json probe = {{"txid", answer["txid"]}};
        ToBson(probe, where + ".txid");
    }
    if (answer.contains("response")) {
        Require(answer["response"].is_object(), where + ".response must be an object");
        ToBson(answer["response"], where + ".response");
    }
    IntField(answer, "delay_ms", 0, 0, kMaxWaitMs, where);
    if (answer.contains("statuses")) {
        const Json& steps = answer["statuses"];
        Require(steps.is_array() && !steps.empty(), where + ".statuses must be a non-empty array");
        for (size_t i = 0; i < steps.size(); ++i) {
            std::string w = where + ".statuses[" + std::to_string(i) + "]";
            Require(steps[i].is_object(), w + " must be an object");
            IntField(steps[i], "delay_ms", 0, 0, kMaxWaitMs, w);
            IntField(steps[i], "hold_ms", kDefaultHoldMs, 0, kMaxWaitMs, w);
            Require(!steps[i].contains("hold") || steps[i]["hold"].is_boolean(), w + ": 'hold' must be a boolean");
            ToBson(WithoutKeys(steps[i], {"delay_ms", "hold", "hold_ms"}), w);
        }
    }
}

}  // namespace

struct Service::Action {
    enum class Body { Normal, Fault, Response, Document, Raw, Empty, Malformed };
    int repeat = 1;  // -1: every request from then on
    int httpStatus = 200;
    HeaderList headers;
    int delayMs = 0;
    bool hold = false;
    int holdMs = kDefaultHoldMs;
    Body body = Body::Normal;
    std::string bytes;      // Fault, Response, Document, Raw
    std::string malformed;  // Malformed
    long dropAfter = -1;
    bool stall = false;  // dropAfter comes from stall_after_bytes: hold before the close
    bool close = false;
    int trickleMs = 0;
    bool trickleHead = false;
};

struct Service::Tenant {
    struct OpState {
        std::vector<Action> actions;
        size_t index = 0;
        int used = 0;
    };
    struct Transaction {
        Json answer;
        size_t polls = 0;
    };
    std::string ikey, skey;
    Json scenario;
    std::map<std::string, OpState> ops;
    std::map<std::string, Transaction> transactions;
    uint64_t releaseGeneration = 0;
    int holding = 0;

    // The action for the next request of an operation, or null when the list is used up.
    const Action* Next(const std::string& op) {
        auto it = ops.find(op);
        if (it == ops.end()) return nullptr;
        OpState& s = it->second;
        if (s.index >= s.actions.size()) return nullptr;
        const Action* a = &s.actions[s.index];
        if (a->repeat >= 0 && ++s.used >= a->repeat) {
            ++s.index;
            s.used = 0;
        }
        return a;
    }
};

struct Service::Normal {
    int status = 200;
    std::string payload;  // BSON payload of an OK envelope
    std::string body;     // complete body when the answer is a fault
    bool fault = false;
};

namespace {

Service::Action ParseAction(const Json& j, const std::string& where) {
    Service::Action a;
    Require(j.is_object(), where + " must be an object");
    static const std::set<std::string> kKeys = {
        "repeat",   "http_status", "headers",     "delay_ms",   "hold",      "hold_ms",          "fault",
        "response", "document",    "body_base64", "empty_body", "malformed", "drop_after_bytes", "close",
        "stall_after_bytes", "trickle_ms", "trickle_headers"};
    int bodies = 0;
    for (auto it = j.begin(); it != j.end(); ++it) {
        Require(kKeys.count(it.key()) == 1, where + ": unknown key '" + it.key() + "'");
        if (it.key() == "fault" || it.key() == "response" || it.key() == "document" || it.key() == "body_base64" ||
            it.key() == "empty_body" || it.key() == "malformed")
            ++bodies;
    }
    Require(bodies <= 1, where + ": at most one body choice");
    if (j.contains("repeat")) {
        Require(j["repeat"].is_number_integer(), where + ": 'repeat' must be an integer");
        long long r = j["repeat"].get<long long>();
        Require(r == -1 || (r >= 1 && r <= 1000000), where + ": 'repeat' must be -1 or positive");
        a.repeat = static_cast<int>(r);
    }
    a.httpStatus = IntField(j, "http_status", 200, 100, 999, where);
    a.delayMs = IntField(j, "delay_ms", 0, 0, kMaxWaitMs, where);
    a.holdMs = IntField(j, "hold_ms", kDefaultHoldMs, 0, kMaxWaitMs, where);
    if (j.contains("hold")) {
        Require(j["hold"].is_boolean(), where + ": 'hold' must be a boolean");
        a.hold = j["hold"].get<bool>();
    }
    if (j.contains("close")) {
        Require(j["close"].is_boolean(), where + ": 'close' must be a boolean");
        a.close = j["close"].get<bool>();
    }
    a.trickleMs = IntField(j, "trickle_ms", 0, 0, kMaxWaitMs, where);
    if (j.contains("trickle_headers")) {
        Require(j["trickle_headers"].is_boolean(), where + ": 'trickle_headers' must be a boolean");
        a.trickleHead = j["trickle_headers"].get<bool>();
    }
    a.dropAfter = IntField(j, "drop_after_bytes", -1, 0, 1 << 24, where);
    const long stallAfter = IntField(j, "stall_after_bytes", -1, 0, 1 << 24, where);
    if (stallAfter >= 0) {
        Require(a.dropAfter < 0, where + ": 'drop_after_bytes' and 'stall_after_bytes' exclude each other");
        a.dropAfter = stallAfter;
        a.stall = true;
    }
    if (j.contains("headers")) {
        Require(j["headers"].is_object(), where + ": 'headers' must be an object");
        for (auto it = j["headers"].begin(); it != j["headers"].end(); ++it) {
            Require(it.value().is_string(), where + ": header values must be strings");
            a.headers.emplace_back(it.key(), it.value().get<std::string>());
        }
    }
    if (j.contains("fault")) {
        const Json& f = j["fault"];
        Require(f.is_object(), where + ": 'fault' must be an object");
        Json doc = Json::object();
        doc["stat"] = f.contains("stat") ? f["stat"] : Json("FAIL");
        if (f.contains("code")) doc["code"] = f["code"];
        if (f.contains("message")) doc["message"] = f["message"];
        for (auto it = f.begin(); it != f.end(); ++it)
            Require(it.key() == "stat" || it.key() == "code" || it.key() == "message",
                    where + ".fault: unknown key '" + it.key() + "'");
        a.body = Service::Action::Body::Fault;
        a.bytes = ToBson(doc, where + ".fault");
    } else if (j.contains("response")) {
        Require(j["response"].is_object(), where + ": 'response' must be an object");
        a.body = Service::Action::Body::Response;
        a.bytes = OkEnvelope(ToBson(j["response"], where + ".response"));
    } else if (j.contains("document")) {
        a.body = Service::Action::Body::Document;
        a.bytes = ToBson(j["document"], where + ".document");
    } else if (j.contains("body_base64")) {
        Require(j["body_base64"].is_string() && Base64Decode(j["body_base64"].get<std::string>(), &a.bytes),
                where + ": 'body_base64' must be base64 text");
        a.body = Service::Action::Body::Raw;
    } else if (j.contains("empty_body")) {
        Require(j["empty_body"].is_boolean(), where + ": 'empty_body' must be a boolean");
        if (j["empty_body"].get<bool>()) a.body = Service::Action::Body::Empty;
    } else if (j.contains("malformed")) {
        Require(j["malformed"].is_string() && IsMalformedMode(j["malformed"].get<std::string>()),
                where + ": unknown 'malformed' mode");
        a.body = Service::Action::Body::Malformed;
        a.malformed = j["malformed"].get<std::string>();
    }
    return a;
}

}  // namespace

bool Service::LoadTenant(const std::string& ikeyArg, const std::string& skeyArg, const std::string& scenarioText,
                         bool makeDefault, std::string* error) {
    auto tenant = std::make_shared<Tenant>();
    try {
        Json s = scenarioText.empty() ? Json::object() : Json::parse(scenarioText);
        Require(s.is_object(), "the scenario must be a JSON object");
        static const std::set<std::string> kTop = {"ikey",    "skey",           "users",      "unknown_user",
                                                   "answers", "unknown_answer", "operations", "description"};
        for (auto it = s.begin(); it != s.end(); ++it)
            Require(kTop.count(it.key()) == 1, "unknown top-level key '" + it.key() + "'");
        tenant->ikey = ikeyArg;
        tenant->skey = skeyArg;
        if (tenant->ikey.empty() && s.contains("ikey")) {
            Require(s["ikey"].is_string(), "'ikey' must be a string");
            tenant->ikey = s["ikey"].get<std::string>();
        }
        if (tenant->skey.empty() && s.contains("skey")) {
            Require(s["skey"].is_string(), "'skey' must be a string");
            tenant->skey = s["skey"].get<std::string>();
        }
        Require(!tenant->ikey.empty(), "no ikey given");
        Require(!tenant->skey.empty(), "no skey given");
        if (s.contains("users")) {
            Require(s["users"].is_object(), "'users' must be an object");
            for (auto it = s["users"].begin(); it != s["users"].end(); ++it) {
                Require(it.value().is_object(), "users." + it.key() + " must be an object");
                ToBson(it.value(), "users." + it.key());
            }
        }
        if (s.contains("unknown_user")) {
            Require(s["unknown_user"].is_object(), "'unknown_user' must be an object");
            ToBson(s["unknown_user"], "unknown_user");
        }
        if (s.contains("answers")) {
            Require(s["answers"].is_object(), "'answers' must be an object");
            for (auto it = s["answers"].begin(); it != s["answers"].end(); ++it)
                ValidateAnswer(it.value(), "answers." + it.key());
        }
        if (s.contains("unknown_answer")) ValidateAnswer(s["unknown_answer"], "unknown_answer");
        if (s.contains("operations")) {
            Require(s["operations"].is_object(), "'operations' must be an object");
            for (auto it = s["operations"].begin(); it != s["operations"].end(); ++it) {
                Require(kOperations.count(it.key()) == 1, "unknown operation '" + it.key() + "'");
                Require(it.value().is_array(), "operations." + it.key() + " must be an array");
                Tenant::OpState& state = tenant->ops[it.key()];
                for (size_t i = 0; i < it.value().size(); ++i)
                    state.actions.push_back(
                        ParseAction(it.value()[i], "operations." + it.key() + "[" + std::to_string(i) + "]"));
            }
        }
        tenant->scenario = std::move(s);
    } catch (const ScenarioError& e) {
        *error = e.message;
        return false;
    } catch (const Json::exception& e) {
        *error = std::string("invalid JSON: ") + e.what();
        return false;
    }
    std::lock_guard<std::mutex> lock(mu_);
    auto old = tenants_.find(tenant->ikey);
    if (old != tenants_.end()) {
        // Answers still held for the replaced scenario are let go.
        ++old->second->releaseGeneration;
        cv_.notify_all();
    }
    records_.erase(tenant->ikey);
    if (makeDefault) {
        defaultIkey_ = tenant->ikey;
        hasDefault_ = true;
    }
    tenants_[tenant->ikey] = tenant;
    return true;
}

bool Service::RemoveTenant(const std::string& ikey) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = tenants_.find(ikey);
    if (it == tenants_.end()) return false;
    ++it->second->releaseGeneration;
    cv_.notify_all();
    tenants_.erase(it);
    records_.erase(ikey);
    if (hasDefault_ && defaultIkey_ == ikey) hasDefault_ = false;
    return true;
}

Json Service::RequestsJson(const std::string& ikey) {
    std::lock_guard<std::mutex> lock(mu_);
    Json out = Json::array();
    auto it = records_.find(ikey);
    if (it == records_.end()) return out;
    for (const RawRequest& r : it->second) {
        Json headers = Json::array();
        for (const auto& [n, v] : r.headers) headers.push_back(Json::array({n, v}));
        // Names, targets and header values can hold any byte; JSON strings must be
        // UTF-8, so those are passed through the replacement-tolerant dump below.
        out.push_back({{"listener", r.listener},
                       {"method", r.method},
                       {"target", r.target},
                       {"headers", headers},
                       {"body_base64", Base64Encode(r.body)}});
    }
    return out;
}

void Service::ClearRequests(const std::string& ikey) {
    std::lock_guard<std::mutex> lock(mu_);
    records_.erase(ikey);
}

int Service::Release(const std::string& ikey) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = tenants_.find(ikey);
    if (it == tenants_.end()) return -1;
    ++it->second->releaseGeneration;
    cv_.notify_all();
    return it->second->holding;
}

void Service::Shutdown() {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
    cv_.notify_all();
}

std::shared_ptr<Service::Tenant> Service::Find(const std::string& ikey) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = tenants_.find(ikey);
    return it == tenants_.end() ? nullptr : it->second;
}

void Service::Record(const std::string& bucket, const RawRequest& req) {
    std::lock_guard<std::mutex> lock(mu_);
    records_[bucket].push_back(req);
}

void Service::Hold(const std::shared_ptr<Tenant>& tenant, int ms) {
    std::unique_lock<std::mutex> lock(mu_);
    uint64_t generation = tenant->releaseGeneration;
    ++tenant->holding;
    cv_.wait_for(lock, std::chrono::milliseconds(ms),
                 [&] { return stopping_ || tenant->releaseGeneration != generation; });
    --tenant->holding;
}

void Service::Log(const RawRequest& req, int status) {
    if (!logging_) return;
    std::lock_guard<std::mutex> lock(mu_);
    std::printf("[%s] %s %s -> %d\n", req.listener.c_str(), req.method.c_str(), req.target.c_str(), status);
    std::fflush(stdout);
}

Service::Normal Service::NormalAnswer(const std::shared_ptr<Tenant>& tenant, const std::string& op,
                                      const RawRequest& req) {
    Normal n;
    auto pingPayload = [] {
        Json p = {{"time", static_cast<int32_t>(std::time(nullptr))}};
        std::string bson, error;
        JsonToBson(p, &bson, &error);
        return bson;
    };
    if (op == "ping" || op == "check") {
        n.payload = pingPayload();
        return n;
    }
    const Json& s = tenant->scenario;
    int delayMs = 0, holdMs = 0;
    bool hold = false;
    Json payload;
    if (op == "preauth") {
        std::string user = FormValue(ParseForm(req.body), "user");
        if (s.contains("users") && s["users"].contains(user)) {
            payload = s["users"][user];
        } else if (s.contains("unknown_user")) {
            payload = s["unknown_user"];
        } else {
            payload = {{"result", "deny"}, {"status", "Unknown user"}};
        }
    } else if (op == "auth") {
        std::string answerText = FormValue(ParseForm(req.body), "auto");
        Json answer;
        if (s.contains("answers") && s["answers"].contains(answerText)) {
            answer = s["answers"][answerText];
        } else if (s.contains("unknown_answer")) {
            answer = s["unknown_answer"];
        } else {
            answer = {{"statuses", Json::array({{{"result", "deny"}, {"status", "Incorrect passcode"}}})}};
        }
        delayMs = answer.value("delay_ms", 0);
        std::lock_guard<std::mutex> lock(mu_);
        Json txid;
        if (!answer.contains("txid")) {
            txid = "TX-" + std::to_string(++txCounter_);
        } else {
            txid = answer["txid"];
        }
        if (txid.is_string()) tenant->transactions[txid.get<std::string>()] = Tenant::Transaction{answer, 0};
        if (answer.contains("response")) {
            payload = answer["response"];
        } else {
            payload = Json::object();
            if (!txid.is_null()) payload["txid"] = txid;
        }
    } else if (op == "status") {
        size_t q = req.target.find('?');
        std::string txid = FormValue(ParseForm(q == std::string::npos ? "" : req.target.substr(q + 1)), "txid");
        std::unique_lock<std::mutex> lock(mu_);
        auto it = tenant->transactions.find(txid);
        if (it == tenant->transactions.end()) {
            n.status = 400;
            n.fault = true;
            n.body = FaultEnvelope(40002, "Invalid txid");
            return n;
        }
        Tenant::Transaction& t = it->second;
        Json steps = t.answer.contains("statuses") ? t.answer["statuses"]
                                                   : Json::array({{{"result", "allow"}, {"status", "Success"}}});
        Json step = steps[std::min(t.polls, steps.size() - 1)];
        ++t.polls;
        lock.unlock();
        delayMs = step.value("delay_ms", 0);
        hold = step.value("hold", false);
        holdMs = step.value("hold_ms", kDefaultHoldMs);
        payload = WithoutKeys(step, {"delay_ms", "hold", "hold_ms"});
    }
    if (delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    if (hold) Hold(tenant, holdMs);
    std::string error;
    if (!JsonToBson(payload, &n.payload, &error)) {  // validated at load; cannot fail here
        n.status = 500;
        n.fault = true;
        n.body = FaultEnvelope(50000, error);
    }
    return n;
}

RawResponse Service::Handle(const RawRequest& req) {
    RawResponse resp;
    resp.headers.emplace_back("Content-Type", "application/bson");
    auto fault = [&](int status, int code, const std::string& message) {
        resp.status = status;
        resp.body = FaultEnvelope(code, message);
        Log(req, status);
        return resp;
    };

    std::string path = PathOf(req.target);
    std::string op;
    const std::string prefix = "/rest/v1/", suffix = ".bson";
    if (path.size() > prefix.size() + suffix.size() && path.compare(0, prefix.size(), prefix) == 0 &&
        path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0) {
        op = path.substr(prefix.size(), path.size() - prefix.size() - suffix.size());
    }

    BasicCredentials creds = ParseBasic(req);
    std::shared_ptr<Tenant> tenant = creds.present ? Find(creds.ikey) : nullptr;
    if (!tenant && op == "ping") {
        std::lock_guard<std::mutex> lock(mu_);
        if (hasDefault_ && tenants_.count(defaultIkey_)) tenant = tenants_[defaultIkey_];
    }
    Record(tenant ? tenant->ikey : "", req);

    if (kOperations.count(op) == 0) return fault(404, 40401, "Not found");
    if (op != "ping") {
        if (!creds.present) return fault(401, 40101, "Missing or malformed Authorization header");
        if (!tenant) return fault(401, 40102, "Invalid integration key");
        if (!SignatureMatches(tenant->skey, req, creds.signature)) return fault(401, 40103, "Invalid signature");
    }
    if (req.method != (IsPost(op) ? "POST" : "GET")) return fault(405, 40501, "Method not allowed");

    Action action;  // the plain normal answer unless the scenario scripted one
    if (tenant) {
        std::lock_guard<std::mutex> lock(mu_);
        if (const Action* a = tenant->Next(op)) action = *a;
    }
    if (action.delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(action.delayMs));
    // A stalled body holds after its first bytes instead of before the answer.
    if (action.hold && tenant && !action.stall) Hold(tenant, action.holdMs);

    resp.status = action.httpStatus;
    for (const auto& h : action.headers) {
        // An action's Content-Type replaces the service's own (an HTML page
        // from a proxy, for instance); other headers are added.
        if (EqualsNoCase(h.first, "Content-Type"))
            resp.headers.erase(std::remove_if(resp.headers.begin(), resp.headers.end(),
                                              [](const auto& d) { return EqualsNoCase(d.first, "Content-Type"); }),
                               resp.headers.end());
        resp.headers.push_back(h);
    }
    resp.dropAfterBytes = action.dropAfter;
    if (action.stall && tenant) {
        const int holdMs = action.holdMs;
        resp.stall = [this, tenant, holdMs] { Hold(tenant, holdMs); };
    }
    resp.close = action.close;
    resp.trickleMs = action.trickleMs;
    resp.trickleHead = action.trickleHead;
    bool success = action.httpStatus >= 200 && action.httpStatus <= 299;
    using Body = Action::Body;
    if ((action.body == Body::Normal && success) || action.body == Body::Malformed) {
        // Only answers built from the scenario advance its transactions.
        Normal n = tenant ? NormalAnswer(tenant, op, req) : Normal{};
        if (!tenant) {
            Json p = {{"time", static_cast<int32_t>(std::time(nullptr))}};
            std::string error;
            JsonToBson(p, &n.payload, &error);
        }
        if (n.fault) {
            if (action.httpStatus == 200) resp.status = n.status;
            resp.body = n.body;
        } else if (action.body == Body::Malformed) {
            resp.body = MalformedBody(action.malformed, n.payload);
        } else {
            resp.body = OkEnvelope(n.payload);
        }
    } else if (action.body == Body::Normal) {
        resp.body = FaultEnvelope(action.httpStatus * 100, ReasonPhrase(action.httpStatus));
    } else if (action.body == Body::Empty) {
        resp.body.clear();
    } else {
        resp.body = action.bytes;
    }
    if (resp.status == 204 || resp.status == 304 || (resp.status >= 100 && resp.status < 200)) {
        resp.sendBody = false;
        resp.body.clear();
    }
    Log(req, resp.status);
    return resp;
}

}  // namespace vynref

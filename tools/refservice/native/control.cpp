#include "control.h"

#include <httplib.h>

#include <atomic>

#include "auth_check.h"

namespace vynref {
namespace {

std::atomic<httplib::Server*> gControlServer{nullptr};

std::string Dump(const Json& j) { return j.dump(-1, ' ', false, Json::error_handler_t::replace); }

void JsonReply(httplib::Response& res, int status, const Json& j) {
    res.status = status;
    res.set_content(Dump(j), "application/json");
}

// One line per request, every field base64 ("-" when empty), for clients with
// no JSON parser at hand: R listener method target n (name value)*n body
std::string TextFormat(const Json& requests) {
    auto field = [](const std::string& bytes) { return bytes.empty() ? std::string("-") : Base64Encode(bytes); };
    std::string out;
    for (const Json& r : requests) {
        out += "R " + field(r["listener"].get<std::string>()) + " " + field(r["method"].get<std::string>()) + " " +
               field(r["target"].get<std::string>()) + " " + std::to_string(r["headers"].size());
        for (const Json& h : r["headers"])
            out += " " + field(h[0].get<std::string>()) + " " + field(h[1].get<std::string>());
        std::string body_b64 = r["body_base64"].get<std::string>();
        out += " " + (body_b64.empty() ? std::string("-") : body_b64) + "\n";
    }
    return out;
}

}  // namespace

bool RunControl(Service& service, uint16_t port, const std::function<void()>& onShutdown, std::string* error) {
    httplib::Server server;
    server.Get("/control/health",
               [](const httplib::Request&, httplib::Response& res) { res.set_content("ok", "text/plain"); });
    server.Post("/control/tenants", [&](const httplib::Request& req, httplib::Response& res) {
        std::string message;
        bool makeDefault = req.get_param_value("default") == "1";
        if (service.LoadTenant(req.get_param_value("ikey"), req.get_param_value("skey"), req.body, makeDefault,
                               &message)) {
            JsonReply(res, 200, {{"ok", true}});
        } else {
            JsonReply(res, 400, {{"error", message}});
        }
    });
    server.Delete("/control/tenants", [&](const httplib::Request& req, httplib::Response& res) {
        bool removed = service.RemoveTenant(req.get_param_value("ikey"));
        JsonReply(res, removed ? 200 : 404, {{"ok", removed}});
    });
    server.Get("/control/requests", [&](const httplib::Request& req, httplib::Response& res) {
        Json requests = service.RequestsJson(req.get_param_value("ikey"));
        if (req.get_param_value("format") == "text") {
            res.set_content(TextFormat(requests), "text/plain");
        } else {
            JsonReply(res, 200, requests);
        }
    });
    server.Post("/control/clear", [&](const httplib::Request& req, httplib::Response& res) {
        service.ClearRequests(req.get_param_value("ikey"));
        JsonReply(res, 200, {{"ok", true}});
    });
    server.Post("/control/release", [&](const httplib::Request& req, httplib::Response& res) {
        int n = service.Release(req.get_param_value("ikey"));
        if (n < 0) {
            JsonReply(res, 404, {{"error", "unknown ikey"}});
        } else {
            JsonReply(res, 200, {{"released", n}});
        }
    });
    server.Post("/control/shutdown", [&](const httplib::Request&, httplib::Response& res) {
        JsonReply(res, 200, {{"ok", true}});
        server.stop();
    });
    if (!server.bind_to_port("127.0.0.1", port)) {
        *error = "cannot listen on control port 127.0.0.1:" + std::to_string(port);
        return false;
    }
    gControlServer = &server;
    server.listen_after_bind();
    gControlServer = nullptr;
    onShutdown();
    return true;
}

void StopControl() {
    if (httplib::Server* s = gControlServer.load()) s->stop();
}

}  // namespace vynref

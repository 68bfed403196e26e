// The reference service's own tests: a client of the running fixture instance
// (ports and certificates from the environment) shared by the test files.
#pragma once

#include <bson/bson.h>
#include <httplib.h>

#include <chrono>
#include <cstdint>
#include <string>

#include "auth_check.h"
#include "bson_build.h"
#include "wire.h"

namespace refservice_test {

using vynref::Json;
using Clock = std::chrono::steady_clock;

inline constexpr char kSkey[] = "refservice-test-secret";

uint16_t MainPort();
uint16_t ControlPort();
std::string PkiDir();

// An integration key of the running test alone (its name and this process).
std::string UniqueIkey();

struct Reply {
    bool ok = false;  // a status line arrived
    int status = 0;
    std::string head, body;
    std::string Header(const std::string& name) const {
        size_t pos = 0;
        while ((pos = head.find("\r\n", pos)) != std::string::npos) {
            pos += 2;
            size_t colon = head.find(':', pos);
            size_t end = head.find("\r\n", pos);
            if (colon != std::string::npos && colon < end && vynref::EqualsNoCase(head.substr(pos, colon - pos), name))
                return head.substr(colon + 2, end - colon - 2);
        }
        return "";
    }
};

bool ConnectLoopback(int fd, uint16_t port);

// Sends raw request bytes over TLS (verifying the server against the test CA
// and the name localhost) and reads until the server closes.
Reply SendRaw(const std::string& request, uint16_t port = MainPort());

std::string Request(const std::string& method, const std::string& target, const std::string& body,
                    const std::string& extraHeaders);
std::string AuthHeader(const std::string& ikey, const std::string& signature);

// A request signed the way the module signs: the query string is the POST body
// and the GET URL query (and the GET body, too).
Reply SendSigned(const std::string& ikey, const std::string& skey, const std::string& method, const std::string& path,
                 const std::string& query);

httplib::Client Control();
void Load(const std::string& ikey, const std::string& skey, const std::string& scenario);
Json Records(const std::string& ikey);

// Reads a string element of the payload (or of the envelope when payload is false).
struct Doc {
    std::string bytes;  // owned: the view below points into it
    bson_t doc;
    bool valid;
    explicit Doc(std::string body)
        : bytes(std::move(body)),
          valid(bson_init_static(&doc, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size())) {}
    Doc(const Doc&) = delete;
    bson_type_t Type(const char* dotted) const {
        bson_iter_t it, child;
        if (!valid || !bson_iter_init(&it, &doc) || !bson_iter_find_descendant(&it, dotted, &child))
            return BSON_TYPE_EOD;
        return bson_iter_type(&child);
    }
    std::string Str(const char* dotted) const {
        bson_iter_t it, child;
        if (!valid || !bson_iter_init(&it, &doc) || !bson_iter_find_descendant(&it, dotted, &child) ||
            !BSON_ITER_HOLDS_UTF8(&child))
            return "<absent>";
        uint32_t len = 0;
        const char* s = bson_iter_utf8(&child, &len);
        return std::string(s, len);
    }
    int32_t Int(const char* dotted) const {
        bson_iter_t it, child;
        if (!valid || !bson_iter_init(&it, &doc) || !bson_iter_find_descendant(&it, dotted, &child) ||
            !BSON_ITER_HOLDS_INT32(&child))
            return INT32_MIN;
        return bson_iter_int32(&child);
    }
};

int32_t DeclaredLength(const std::string& body);

}  // namespace refservice_test

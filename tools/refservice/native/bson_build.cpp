#include "bson_build.h"

#include <bson/bson.h>

#include <cstring>
#include <limits>
#include <memory>

#include "auth_check.h"

namespace vynref {
namespace {

// Owner of a heap document from bson_new.
class BsonPtr {
public:
    BsonPtr() : doc_(bson_new()) {}
    ~BsonPtr() { bson_destroy(doc_); }
    BsonPtr(const BsonPtr&) = delete;
    BsonPtr& operator=(const BsonPtr&) = delete;
    bson_t* get() const { return doc_; }

private:
    bson_t* doc_;
};

std::string Bytes(const bson_t* doc) {
    return std::string(reinterpret_cast<const char*>(bson_get_data(doc)), doc->len);
}

bool AppendValue(bson_t* doc, const std::string& key, const Json& v, std::string* error);

bool AppendObject(bson_t* doc, const Json& object, std::string* error) {
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (!AppendValue(doc, it.key(), it.value(), error)) return false;
    }
    return true;
}

bool AppendArray(bson_t* parent, const std::string& key, const Json& array, std::string* error) {
    bson_t child;
    bson_append_array_begin(parent, key.c_str(), static_cast<int>(key.size()), &child);
    size_t i = 0;
    for (const Json& item : array) {
        if (!AppendValue(&child, std::to_string(i++), item, error)) {
            bson_append_array_end(parent, &child);
            return false;
        }
    }
    bson_append_array_end(parent, &child);
    return true;
}

bool AppendTyped(bson_t* doc, const std::string& key, const std::string& type, const Json& v, std::string* error) {
    const char* k = key.c_str();
    int kl = static_cast<int>(key.size());
    if (type == "$int32" && v.is_number_integer()) {
        long long n = v.get<long long>();
        if (n < std::numeric_limits<int32_t>::min() || n > std::numeric_limits<int32_t>::max()) {
            *error = "$int32 out of range for key '" + key + "'";
            return false;
        }
        return bson_append_int32(doc, k, kl, static_cast<int32_t>(n));
    }
    if (type == "$int64" && v.is_number_integer()) return bson_append_int64(doc, k, kl, v.get<int64_t>());
    if (type == "$double" && v.is_number()) return bson_append_double(doc, k, kl, v.get<double>());
    if (type == "$array" && v.is_array()) return AppendArray(doc, key, v, error);
    if (type == "$binary_base64" && v.is_string()) {
        std::string raw;
        if (!Base64Decode(v.get<std::string>(), &raw)) {
            *error = "bad base64 for key '" + key + "'";
            return false;
        }
        return bson_append_binary(doc, k, kl, BSON_SUBTYPE_BINARY, reinterpret_cast<const uint8_t*>(raw.data()),
                                  static_cast<uint32_t>(raw.size()));
    }
    *error = "bad typed value " + type + " for key '" + key + "'";
    return false;
}

bool AppendValue(bson_t* doc, const std::string& key, const Json& v, std::string* error) {
    if (key.find('\0') != std::string::npos) {
        *error = "key with a zero byte";
        return false;
    }
    const char* k = key.c_str();
    int kl = static_cast<int>(key.size());
    switch (v.type()) {
        case Json::value_t::string: {
            const std::string& s = v.get_ref<const std::string&>();
            return bson_append_utf8(doc, k, kl, s.data(), static_cast<int>(s.size()));
        }
        case Json::value_t::number_integer:
        case Json::value_t::number_unsigned: {
            if (v.is_number_unsigned() && v.get<unsigned long long>() > static_cast<unsigned long long>(INT64_MAX)) {
                *error = "integer too large for key '" + key + "'";
                return false;
            }
            long long n = v.get<long long>();
            if (n >= std::numeric_limits<int32_t>::min() && n <= std::numeric_limits<int32_t>::max())
                return bson_append_int32(doc, k, kl, static_cast<int32_t>(n));
            return bson_append_int64(doc, k, kl, n);
        }
        case Json::value_t::number_float:
            return bson_append_double(doc, k, kl, v.get<double>());
        case Json::value_t::boolean:
            return bson_append_bool(doc, k, kl, v.get<bool>());
        case Json::value_t::null:
            return bson_append_null(doc, k, kl);
        case Json::value_t::array:
            return AppendArray(doc, key, v, error);
        case Json::value_t::object: {
            if (v.size() == 1 && v.begin().key().size() > 1 && v.begin().key()[0] == '$')
                return AppendTyped(doc, key, v.begin().key(), v.begin().value(), error);
            bson_t child;
            bson_append_document_begin(doc, k, kl, &child);
            bool ok = AppendObject(&child, v, error);
            bson_append_document_end(doc, &child);
            return ok;
        }
        default:
            *error = "unsupported JSON value for key '" + key + "'";
            return false;
    }
}

void PutLength(std::string& body, int32_t length) {
    uint32_t u = static_cast<uint32_t>(length);
    for (int i = 0; i < 4 && static_cast<size_t>(i) < body.size(); ++i)
        body[i] = static_cast<char>((u >> (8 * i)) & 0xFF);
}

// Copies a document, replacing each string value (at any depth) with int32 1.
void CopyWithStringsAsInt32(const bson_t* src, bson_t* dst) {
    bson_iter_t it;
    if (!bson_iter_init(&it, src)) return;
    while (bson_iter_next(&it)) {
        const char* key = bson_iter_key(&it);
        if (BSON_ITER_HOLDS_UTF8(&it)) {
            bson_append_int32(dst, key, -1, 1);
        } else if (BSON_ITER_HOLDS_DOCUMENT(&it) || BSON_ITER_HOLDS_ARRAY(&it)) {
            uint32_t len = 0;
            const uint8_t* data = nullptr;
            bool isArray = BSON_ITER_HOLDS_ARRAY(&it);
            if (isArray) {
                bson_iter_array(&it, &len, &data);
            } else {
                bson_iter_document(&it, &len, &data);
            }
            bson_t inner;
            bson_init_static(&inner, data, len);
            bson_t child;
            if (isArray) {
                bson_append_array_begin(dst, key, -1, &child);
                CopyWithStringsAsInt32(&inner, &child);
                bson_append_array_end(dst, &child);
            } else {
                bson_append_document_begin(dst, key, -1, &child);
                CopyWithStringsAsInt32(&inner, &child);
                bson_append_document_end(dst, &child);
            }
        } else {
            bson_append_iter(dst, key, -1, &it);
        }
    }
}

}  // namespace

bool JsonToBson(const Json& object, std::string* bson, std::string* error) {
    if (!object.is_object()) {
        *error = "a document must be a JSON object";
        return false;
    }
    BsonPtr doc;
    if (!AppendObject(doc.get(), object, error)) return false;
    *bson = Bytes(doc.get());
    return true;
}

std::string OkEnvelope(const std::string& payloadBson) {
    BsonPtr doc;
    bson_t payload;
    bson_init_static(&payload, reinterpret_cast<const uint8_t*>(payloadBson.data()), payloadBson.size());
    BSON_APPEND_UTF8(doc.get(), "stat", "OK");
    BSON_APPEND_DOCUMENT(doc.get(), "response", &payload);
    return Bytes(doc.get());
}

std::string FaultEnvelope(int code, const std::string& message) {
    BsonPtr doc;
    BSON_APPEND_UTF8(doc.get(), "stat", "FAIL");
    BSON_APPEND_INT32(doc.get(), "code", code);
    bson_append_utf8(doc.get(), "message", -1, message.data(), static_cast<int>(message.size()));
    return Bytes(doc.get());
}

static const char* const kMalformedModes[] = {"truncated",
                                              "declared_length_large",
                                              "declared_length_negative",
                                              "declared_length_small",
                                              "element_overrun",
                                              "short",
                                              "not_bson",
                                              "stat_int32",
                                              "stat_lowercase_ok",
                                              "response_array",
                                              "response_missing",
                                              "wrong_types"};

bool IsMalformedMode(const std::string& mode) {
    for (const char* m : kMalformedModes)
        if (mode == m) return true;
    return false;
}

std::string MalformedBody(const std::string& mode, const std::string& payloadBson) {
    std::string normal = OkEnvelope(payloadBson);
    bson_t payload;
    bson_init_static(&payload, reinterpret_cast<const uint8_t*>(payloadBson.data()), payloadBson.size());
    if (mode == "truncated") return normal.substr(0, normal.size() / 2);
    if (mode == "declared_length_large") {
        PutLength(normal, static_cast<int32_t>(normal.size() + 100));
        return normal;
    }
    if (mode == "declared_length_negative") {
        PutLength(normal, -1);
        return normal;
    }
    if (mode == "declared_length_small") {
        PutLength(normal, 4);
        return normal;
    }
    if (mode == "element_overrun") {
        // Layout: int32 length, 0x02, "stat\0", int32 string length, ... : the
        // string length sits at offset 10. A huge value runs past the body's end.
        std::string body = normal;
        const uint32_t huge = 0x7FFFFFF0u;
        for (int i = 0; i < 4; ++i) body[10 + i] = static_cast<char>((huge >> (8 * i)) & 0xFF);
        return body;
    }
    if (mode == "short") return std::string("\x05\x00\x00", 3);
    if (mode == "not_bson") return "<html><body>Service Unavailable</body></html>";
    BsonPtr doc;
    if (mode == "stat_int32") {
        BSON_APPEND_INT32(doc.get(), "stat", 1);
        BSON_APPEND_DOCUMENT(doc.get(), "response", &payload);
    } else if (mode == "stat_lowercase_ok") {
        BSON_APPEND_UTF8(doc.get(), "stat", "ok");
        BSON_APPEND_INT32(doc.get(), "code", 40000);
        BSON_APPEND_UTF8(doc.get(), "message", "Lower-case status");
        BSON_APPEND_DOCUMENT(doc.get(), "response", &payload);
    } else if (mode == "response_array") {
        BSON_APPEND_UTF8(doc.get(), "stat", "OK");
        bson_t array;
        bson_append_array_begin(doc.get(), "response", -1, &array);
        bson_iter_t it;
        int i = 0;
        if (bson_iter_init(&it, &payload)) {
            while (bson_iter_next(&it)) bson_append_iter(&array, std::to_string(i++).c_str(), -1, &it);
        }
        bson_append_array_end(doc.get(), &array);
    } else if (mode == "response_missing") {
        BSON_APPEND_UTF8(doc.get(), "stat", "OK");
    } else if (mode == "wrong_types") {
        BSON_APPEND_UTF8(doc.get(), "stat", "OK");
        bson_t child;
        bson_append_document_begin(doc.get(), "response", -1, &child);
        CopyWithStringsAsInt32(&payload, &child);
        bson_append_document_end(doc.get(), &child);
    } else {
        return normal;
    }
    return Bytes(doc.get());
}

}  // namespace vynref

#pragma once
// Writes BSON bytes by hand for envelope tests, so that tests can also build
// what no BSON library would write: wrong types, bad lengths, inner zeros.
#include <cstdint>
#include <cstring>
#include <string>

class BsonBuilder {
public:
    BsonBuilder& Str(const std::string& key, const std::string& value) {
        return Raw(0x02, key, Le32(static_cast<int32_t>(value.size() + 1)) + value + std::string(1, '\0'));
    }
    BsonBuilder& Int32(const std::string& key, int32_t value) { return Raw(0x10, key, Le32(value)); }
    BsonBuilder& Int64(const std::string& key, int64_t value) {
        std::string v(8, '\0');
        std::memcpy(&v[0], &value, 8);
        return Raw(0x12, key, v);
    }
    BsonBuilder& Double(const std::string& key, double value) {
        std::string v(8, '\0');
        std::memcpy(&v[0], &value, 8);
        return Raw(0x01, key, v);
    }
    BsonBuilder& Doc(const std::string& key, const BsonBuilder& doc) { return Raw(0x03, key, doc.Bytes()); }
    BsonBuilder& Array(const std::string& key, const BsonBuilder& doc) { return Raw(0x04, key, doc.Bytes()); }
    BsonBuilder& Raw(uint8_t type, const std::string& key, const std::string& value) {
        elements_ += static_cast<char>(type);
        elements_ += key;
        elements_ += '\0';
        elements_ += value;
        return *this;
    }
    // The document: length word, elements, terminating zero.
    std::string Bytes() const { return Le32(static_cast<int32_t>(elements_.size() + 5)) + elements_ + std::string(1, '\0'); }

    static std::string Le32(int32_t v) {
        std::string s(4, '\0');
        std::memcpy(&s[0], &v, 4);
        return s;
    }

private:
    std::string elements_;
};

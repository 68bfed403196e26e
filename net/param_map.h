#pragma once
// The ordered parameter container: the parameters of a request in the order
// in which they are encoded, sent and signed.

#include <cstring>
#include <map>
#include <string>

// Orders names by their raw bytes, compared as unsigned; a prefix sorts first.
struct ByteOrder {
    bool operator()(const std::string& a, const std::string& b) const noexcept {
        const size_t n = a.size() < b.size() ? a.size() : b.size();
        const int c = std::memcmp(a.data(), b.data(), n);  // memcmp compares unsigned bytes
        return c != 0 ? c < 0 : a.size() < b.size();
    }
};

// name -> value, both UTF-8; assignment inserts or replaces.
using ParamMap = std::map<std::string, std::string, ByteOrder>;

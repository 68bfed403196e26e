#pragma once
// The closed set of service operations and the ordered parameter container.

#include <cstring>
#include <map>
#include <string>

enum class VynOperation { Ping, Check, Preauth, Auth, Status };

// Orders names by their raw bytes, compared as unsigned; a prefix sorts first.
// This order is the order of the encoded, sent and signed parameters.
struct ByteOrder {
    bool operator()(const std::string& a, const std::string& b) const noexcept {
        const size_t n = a.size() < b.size() ? a.size() : b.size();
        const int c = std::memcmp(a.data(), b.data(), n);  // memcmp compares unsigned bytes
        return c != 0 ? c < 0 : a.size() < b.size();
    }
};

// name -> value, both UTF-8; assignment inserts or replaces.
using ParamMap = std::map<std::string, std::string, ByteOrder>;

std::string VynOpName(VynOperation op);
std::string VynOpMethod(VynOperation op);
std::string FormatVynOp(VynOperation op);
std::string NormalizeUsername(const std::string& user);

#pragma once
// Checks the signed Basic credentials of a request the way the hosted service
// does, from the request as received. Deliberately independent of the module's
// own signing code, so that a fault there cannot hide itself.

#include <string>
#include <utility>
#include <vector>

#include "wire.h"

namespace vynref {

struct BasicCredentials {
    bool present = false;  // an Authorization header with the Basic scheme and decodable credentials
    std::string ikey, signature;
};

// Strict RFC 4648 decoding (standard alphabet, padding required); false on any other byte.
bool Base64Decode(const std::string& text, std::string* out);
std::string Base64Encode(const std::string& bytes);

// Form decoding of one name or value: %XX (either case) and "+" as space.
std::string FormDecode(const std::string& text);
// "a=1&b=2" into ordered (name, value) pairs, decoded.
std::vector<std::pair<std::string, std::string>> ParseForm(const std::string& text);
// Value of the first pair with that name, or empty.
std::string FormValue(const std::vector<std::pair<std::string, std::string>>& form, const std::string& name);

BasicCredentials ParseBasic(const RawRequest& req);

// Host header without the port, lower-cased.
std::string CanonicalHost(const std::string& hostHeader);
// The query string that was signed: the body for POST, the URL query for anything else.
std::string SignedQuery(const RawRequest& req);
std::string PathOf(const std::string& target);
std::string CanonicalRequest(const RawRequest& req);

// HMAC-SHA1(key, data) as 40 upper-case hex digits.
std::string HmacSha1Hex(const std::string& key, const std::string& data);
// Constant-time comparison of the expected and the presented signature.
bool SignatureMatches(const std::string& skey, const RawRequest& req, const std::string& presented);

}  // namespace vynref

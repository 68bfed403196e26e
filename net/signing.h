#pragma once
// Request signing: the form-encoded query string, the canonical request and its
// HMAC-SHA1 signature, and the Basic Authorization header line.
// Failures log their lines and return an empty string; only the encoders'
// length limits throw (CAtlException with E_FAIL).

#include <cstddef>
#include <string>

#include "net/param_map.h"

std::string UrlEncode(const std::string& bytes);
std::string FormatQueryString(const ParamMap& params);
// The 20 raw bytes of HMAC-SHA1(key, data) through CryptoAPI, or empty.
std::string CalculateHmac(const std::string& key, const std::string& data);
std::string HexEncode(const std::string& bytes);
std::string Base64Encode(const std::string& bytes);
// "METHOD\nhost\npath\nquery" signed with skey: 40 upper-case hex digits, or empty.
std::string CalculateVynHash(const std::string& skey, const std::string& method, const std::string& host,
                             const std::string& path, const std::string& query);
// "Authorization: Basic base64(ikey:signature)\r\n", or empty.
std::string FormatAuthHeader(const std::string& ikey, const std::string& skey, const std::string& host,
                             const std::string& method, const std::string& path, const std::string& query);

// Output sizes of the two encoders, counted the way the encoders count them (in
// signed 32-bit integers). Both raise CAtlException(E_FAIL) when the input is
// too long for that count: Base64 above 536,870,911 bytes, hex when twice the
// input plus one exceeds INT_MAX.
int Base64EncodedLength(size_t inputBytes);
int HexEncodedLength(size_t inputBytes);

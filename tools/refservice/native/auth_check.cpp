#include "auth_check.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cctype>

namespace vynref {
namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

int Base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

}  // namespace

bool Base64Decode(const std::string& text, std::string* out) {
    out->clear();
    if (text.size() % 4 != 0) return false;
    for (size_t i = 0; i < text.size(); i += 4) {
        int v[4];
        int pad = 0;
        for (int k = 0; k < 4; ++k) {
            char c = text[i + k];
            if (c == '=' && i + 4 == text.size() && k >= 2) {
                v[k] = 0;
                ++pad;
            } else {
                if (pad > 0) return false;
                v[k] = Base64Value(c);
                if (v[k] < 0) return false;
            }
        }
        unsigned triple = (v[0] << 18) | (v[1] << 12) | (v[2] << 6) | v[3];
        out->push_back(static_cast<char>((triple >> 16) & 0xFF));
        if (pad < 2) out->push_back(static_cast<char>((triple >> 8) & 0xFF));
        if (pad < 1) out->push_back(static_cast<char>(triple & 0xFF));
    }
    return true;
}

std::string Base64Encode(const std::string& bytes) {
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        unsigned t = (static_cast<unsigned char>(bytes[i]) << 16) | (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                     static_cast<unsigned char>(bytes[i + 2]);
        out += kAlphabet[(t >> 18) & 63];
        out += kAlphabet[(t >> 12) & 63];
        out += kAlphabet[(t >> 6) & 63];
        out += kAlphabet[t & 63];
    }
    size_t rest = bytes.size() - i;
    if (rest > 0) {
        unsigned t = static_cast<unsigned char>(bytes[i]) << 16;
        if (rest == 2) t |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        out += kAlphabet[(t >> 18) & 63];
        out += kAlphabet[(t >> 12) & 63];
        out += rest == 2 ? kAlphabet[(t >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::string FormDecode(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '+') {
            out += ' ';
        } else if (c == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 && HexValue(text[i + 2]) >= 0) {
            out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

std::vector<std::pair<std::string, std::string>> ParseForm(const std::string& text) {
    std::vector<std::pair<std::string, std::string>> out;
    size_t pos = 0;
    while (pos <= text.size() && !text.empty()) {
        size_t amp = text.find('&', pos);
        if (amp == std::string::npos) amp = text.size();
        std::string pair = text.substr(pos, amp - pos);
        if (!pair.empty()) {
            size_t eq = pair.find('=');
            if (eq == std::string::npos) {
                out.emplace_back(FormDecode(pair), "");
            } else {
                out.emplace_back(FormDecode(pair.substr(0, eq)), FormDecode(pair.substr(eq + 1)));
            }
        }
        pos = amp + 1;
    }
    return out;
}

std::string FormValue(const std::vector<std::pair<std::string, std::string>>& form, const std::string& name) {
    for (const auto& [n, v] : form)
        if (n == name) return v;
    return "";
}

BasicCredentials ParseBasic(const RawRequest& req) {
    BasicCredentials creds;
    if (!req.HasHeader("Authorization")) return creds;
    std::string value = req.Header("Authorization");
    if (value.size() < 6 || !EqualsNoCase(value.substr(0, 6), "Basic ")) return creds;
    std::string decoded;
    if (!Base64Decode(value.substr(6), &decoded)) return creds;
    // The signature is 40 hex digits and never holds a colon; an ikey might.
    size_t colon = decoded.rfind(':');
    if (colon == std::string::npos) return creds;
    creds.present = true;
    creds.ikey = decoded.substr(0, colon);
    creds.signature = decoded.substr(colon + 1);
    return creds;
}

std::string CanonicalHost(const std::string& hostHeader) {
    std::string host = hostHeader;
    if (!host.empty() && host[0] == '[') {
        size_t close = host.find(']');
        if (close != std::string::npos) host = host.substr(0, close + 1);
    } else {
        size_t colon = host.rfind(':');
        if (colon != std::string::npos) host = host.substr(0, colon);
    }
    for (char& c : host) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return host;
}

std::string PathOf(const std::string& target) { return target.substr(0, target.find('?')); }

std::string SignedQuery(const RawRequest& req) {
    if (req.method == "POST") return req.body;
    size_t q = req.target.find('?');
    return q == std::string::npos ? "" : req.target.substr(q + 1);
}

std::string CanonicalRequest(const RawRequest& req) {
    return req.method + "\n" + CanonicalHost(req.Header("Host")) + "\n" + PathOf(req.target) + "\n" + SignedQuery(req);
}

std::string HmacSha1Hex(const std::string& key, const std::string& data) {
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int macLen = 0;
    HMAC(EVP_sha1(), key.data(), static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(data.data()),
         data.size(), mac, &macLen);
    static const char kDigits[] = "0123456789ABCDEF";
    std::string hex;
    for (unsigned i = 0; i < macLen; ++i) {
        hex += kDigits[mac[i] >> 4];
        hex += kDigits[mac[i] & 15];
    }
    return hex;
}

bool SignatureMatches(const std::string& skey, const RawRequest& req, const std::string& presented) {
    std::string expected = HmacSha1Hex(skey, CanonicalRequest(req));
    if (presented.size() != expected.size()) return false;
    return CRYPTO_memcmp(expected.data(), presented.data(), expected.size()) == 0;
}

}  // namespace vynref

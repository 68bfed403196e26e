// Request signing. The executor calls FormatQueryString and then
// FormatAuthHeader once per service call; the header has no time stamp or
// nonce, so the same line serves every retry of that call.
#include "net/signing.h"

#include <windows.h>
#include <wincrypt.h>

#include <climits>
#include <cstring>
#include <cstdint>
#include <vector>

#include "diag/errors.h"
#include "diag/log.h"
#include "net/crypt_api.h"
#include "net/crypt_handles.h"

CryptApi gCryptApi = {::CryptAcquireContextW, ::CryptImportKey, ::CryptCreateHash,
                      ::CryptSetHashParam,   ::CryptHashData,  ::CryptGetHashParam};

namespace {

// The 66 unreserved bytes, indexed by the byte's unsigned value.
struct UnreservedTable {
    bool bytes[256] = {};
    constexpr UnreservedTable() {
        for (int c = 'A'; c <= 'Z'; ++c) bytes[c] = true;
        for (int c = 'a'; c <= 'z'; ++c) bytes[c] = true;
        for (int c = '0'; c <= '9'; ++c) bytes[c] = true;
        bytes[static_cast<unsigned char>('-')] = true;
        bytes[static_cast<unsigned char>('.')] = true;
        bytes[static_cast<unsigned char>('_')] = true;
        bytes[static_cast<unsigned char>('~')] = true;
    }
};
constexpr UnreservedTable kUnreserved;

constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Clears the plain-text key blob before its memory goes back to the heap: it
// holds the secret key.
struct WipedBuffer {
    std::vector<BYTE> bytes;
    explicit WipedBuffer(size_t n) : bytes(n) {}
    ~WipedBuffer() {
        if (!bytes.empty()) ::SecureZeroMemory(bytes.data(), bytes.size());
    }
    WipedBuffer(const WipedBuffer&) = delete;
    WipedBuffer& operator=(const WipedBuffer&) = delete;
};

std::string HmacFailure(const char* label) {
    LogSystemCallFailure(label, ::GetLastError());
    return std::string();
}

}  // namespace

std::string UrlEncode(const std::string& bytes) {
    std::string out;
    out.reserve(bytes.size() * 3);
    for (const char ch : bytes) {
        const auto b = static_cast<unsigned char>(ch);
        if (kUnreserved.bytes[b]) {
            out += ch;
        } else {
            out += '%';
            out += kHexDigits[b >> 4];
            out += kHexDigits[b & 0x0F];
        }
    }
    return out;
}

std::string FormatQueryString(const ParamMap& params) {
    std::string query;
    for (const auto& [name, value] : params) {
        const std::string encodedName = UrlEncode(name);
        const std::string encodedValue = UrlEncode(value);
        if (!query.empty()) query += '&';
        query += encodedName;
        query += '=';
        query += encodedValue;
    }
    return query;
}

std::string CalculateHmac(const std::string& key, const std::string& data) {
    // CryptoAPI counts in DWORDs; nothing the module signs comes near that.
    if (key.size() > MAXDWORD - sizeof(BLOBHEADER) - sizeof(DWORD) || data.size() > MAXDWORD) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return HmacFailure("CryptImportKey");
    }

    unique_hcryptprov provider;
    if (!gCryptApi.acquireContext(provider.put(), nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT))
        return HmacFailure("CryptAcquireContext");

    // PLAINTEXTKEYBLOB: header, key length, key bytes. RC2 is only the blob's
    // nominal algorithm; CRYPT_IPSEC_HMAC_KEY lifts RC2's 16-byte key limit so
    // any configured secret key can key the HMAC.
    WipedBuffer blob(sizeof(BLOBHEADER) + sizeof(DWORD) + key.size());
    BLOBHEADER header = {};
    header.bType = PLAINTEXTKEYBLOB;
    header.bVersion = CUR_BLOB_VERSION;
    header.reserved = 0;
    header.aiKeyAlg = CALG_RC2;
    const DWORD keyLength = static_cast<DWORD>(key.size());
    std::memcpy(blob.bytes.data(), &header, sizeof header);
    std::memcpy(blob.bytes.data() + sizeof header, &keyLength, sizeof keyLength);
    if (!key.empty()) std::memcpy(blob.bytes.data() + sizeof header + sizeof keyLength, key.data(), key.size());

    unique_hcryptkey hmacKey;
    if (!gCryptApi.importKey(provider.get(), blob.bytes.data(), static_cast<DWORD>(blob.bytes.size()), 0,
                             CRYPT_IPSEC_HMAC_KEY, hmacKey.put()))
        return HmacFailure("CryptImportKey");

    unique_hcrypthash hash;
    if (!gCryptApi.createHash(provider.get(), CALG_HMAC, hmacKey.get(), 0, hash.put()))
        return HmacFailure("CryptCreateHash (2)");

    HMAC_INFO info = {};
    info.HashAlgid = CALG_SHA1;  // empty inner and outer strings: the standard pads
    if (!gCryptApi.setHashParam(hash.get(), HP_HMAC_INFO, reinterpret_cast<const BYTE*>(&info), 0))
        return HmacFailure("CryptSetHashParam (1)");

    if (!gCryptApi.hashData(hash.get(), reinterpret_cast<const BYTE*>(data.data()), static_cast<DWORD>(data.size()),
                            0))
        return HmacFailure("CryptHashData");

    DWORD length = 0;
    if (!gCryptApi.getHashParam(hash.get(), HP_HASHVAL, nullptr, &length, 0)) return HmacFailure("CryptGetHashParam");
    std::string value(length, '\0');
    if (!gCryptApi.getHashParam(hash.get(), HP_HASHVAL, reinterpret_cast<BYTE*>(&value[0]), &length, 0))
        return HmacFailure("CryptGetHashParam (1)");
    value.resize(length);
    return value;
}

int HexEncodedLength(size_t inputBytes) {
    if (inputBytes > static_cast<size_t>((INT_MAX - 1) / 2)) throw CAtlException(E_FAIL);
    return static_cast<int>(inputBytes * 2);
}

std::string HexEncode(const std::string& bytes) {
    const int length = HexEncodedLength(bytes.size());
    if (bytes.empty()) {
        LogMessage("ERROR: AtlHexEncode failed");
        return std::string();
    }
    std::string out(static_cast<size_t>(length), '\0');
    size_t i = 0;
    for (const char ch : bytes) {
        const auto b = static_cast<unsigned char>(ch);
        out[i++] = kHexDigits[b >> 4];
        out[i++] = kHexDigits[b & 0x0F];
    }
    return out;
}

int Base64EncodedLength(size_t inputBytes) {
    if (inputBytes > 536870911u) throw CAtlException(E_FAIL);
    const int n = static_cast<int>(inputBytes);
    const int raw = 4 * n / 3 + n % 3;
    return (raw + 3) / 4 * 4;
}

std::string Base64Encode(const std::string& bytes) {
    const int length = Base64EncodedLength(bytes.size());
    if (length == 0 || bytes.empty()) {
        LogMessage("ERROR: Base64Encode failed");
        return std::string();
    }
    std::string out;
    out.reserve(static_cast<size_t>(length) + 1);
    const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
    const size_t n = bytes.size();
    size_t i = 0;
    for (; i + 3 <= n; i += 3) {
        const uint32_t v = (uint32_t{in[i]} << 16) | (uint32_t{in[i + 1]} << 8) | in[i + 2];
        out += kBase64Alphabet[(v >> 18) & 0x3F];
        out += kBase64Alphabet[(v >> 12) & 0x3F];
        out += kBase64Alphabet[(v >> 6) & 0x3F];
        out += kBase64Alphabet[v & 0x3F];
    }
    if (n - i == 1) {
        const uint32_t v = uint32_t{in[i]} << 16;
        out += kBase64Alphabet[(v >> 18) & 0x3F];
        out += kBase64Alphabet[(v >> 12) & 0x3F];
        out += "==";
    } else if (n - i == 2) {
        const uint32_t v = (uint32_t{in[i]} << 16) | (uint32_t{in[i + 1]} << 8);
        out += kBase64Alphabet[(v >> 18) & 0x3F];
        out += kBase64Alphabet[(v >> 12) & 0x3F];
        out += kBase64Alphabet[(v >> 6) & 0x3F];
        out += '=';
    }
    if (out.size() != static_cast<size_t>(length)) {
        LogMessage("ERROR: Base64Encode failed");
        return std::string();
    }
    return out;
}

std::string CalculateVynHash(const std::string& skey, const std::string& method, const std::string& host,
                             const std::string& path, const std::string& query) {
    const std::string canonical = method + "\n" + host + "\n" + path + "\n" + query;
    const std::string hmac = CalculateHmac(skey, canonical);
    if (hmac.empty()) {
        LogMessage("ERROR: CalculateHmac failed");
        return std::string();
    }
    std::string signature = HexEncode(hmac);
    if (signature.empty()) LogMessage("ERROR: HexEncode failed");
    return signature;
}

std::string FormatAuthHeader(const std::string& ikey, const std::string& skey, const std::string& host,
                             const std::string& method, const std::string& path, const std::string& query) {
    const std::string signature = CalculateVynHash(skey, method, host, path, query);
    if (signature.empty()) {
        LogMessage("ERROR: CalculateVynHash failed");
        return std::string();
    }
    // The integration key goes in as configured: a ":" inside it is not escaped.
    const std::string credentials = Base64Encode(ikey + ":" + signature);
    if (credentials.empty()) {
        LogMessage("ERROR: Base64Encode failed");
        return std::string();
    }
    return "Authorization: Basic " + credentials + "\r\n";
}

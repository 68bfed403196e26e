// Request signing against known answers computed outside the module
// (make_signing_vectors.py: OpenSSL HMAC-SHA1, coreutils base64, Python's
// percent-encoding), plus the encoders' tables, limits and failure lines.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "auth/session.h"
#include "diag/errors.h"
#include "net/crypt_api.h"
#include "net/signing.h"
#include "tests/support/log_capture.h"

namespace {

std::string FromHex(const std::string& hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

struct SigningVector {
    std::string name, ikey, skey, method, host, path, query, canonical, signature, header;
    std::vector<std::pair<std::string, std::string>> params;  // in assignment order
};

std::vector<SigningVector> LoadVectors() {
    std::ifstream in(VYN_SIGNING_VECTORS, std::ios::binary);
    std::vector<SigningVector> vectors;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        const size_t space = line.find(' ');
        const std::string key = line.substr(0, space);
        const std::string value = space == std::string::npos ? std::string() : line.substr(space + 1);
        if (key == "vector") {
            vectors.emplace_back();
            vectors.back().name = value;
            continue;
        }
        if (vectors.empty()) continue;
        SigningVector& v = vectors.back();
        if (key == "ikey") v.ikey = value;
        else if (key == "skey-hex") v.skey = FromHex(value);
        else if (key == "method") v.method = value;
        else if (key == "host") v.host = value;
        else if (key == "path") v.path = value;
        else if (key == "query") v.query = value;
        else if (key == "canonical-hex") v.canonical = FromHex(value);
        else if (key == "signature") v.signature = value;
        else if (key == "header") v.header = value + "\r\n";
        else if (key == "param-hex") {
            const size_t sep = value.find(' ');
            v.params.emplace_back(FromHex(value.substr(0, sep)),
                                  sep == std::string::npos ? std::string() : FromHex(value.substr(sep + 1)));
        }
    }
    return vectors;
}

TEST(SigningVectors, FileHoldsEveryCase) {
    const auto vectors = LoadVectors();
    std::vector<std::string> names;
    for (const auto& v : vectors) names.push_back(v.name);
    EXPECT_EQ(names, (std::vector<std::string>{"short-key", "key-17-bytes", "key-40-bytes", "key-64-bytes",
                                               "key-65-bytes", "key-100-bytes", "empty-query", "worked-example",
                                               "non-ascii-values", "byte-ordered-names", "empty-value",
                                               "long-ikey-with-colon"}));
}

TEST(SigningVectors, QueryStringSignatureAndHeaderMatchKnownAnswers) {
    LogCapture capture;
    for (const auto& v : LoadVectors()) {
        SCOPED_TRACE(v.name);
        ParamMap params;
        for (const auto& [name, value] : v.params) params[name] = value;
        const std::string query = FormatQueryString(params);
        EXPECT_EQ(query, v.query);
        EXPECT_EQ(v.canonical, v.method + "\n" + v.host + "\n" + v.path + "\n" + query);
        EXPECT_EQ(HexEncode(CalculateHmac(v.skey, v.canonical)), v.signature);
        EXPECT_EQ(CalculateVynHash(v.skey, v.method, v.host, v.path, query), v.signature);
        EXPECT_EQ(FormatAuthHeader(v.ikey, v.skey, v.host, v.method, v.path, query), v.header);
    }
    EXPECT_TRUE(capture.Texts().empty());
}

TEST(SigningVectors, SessionSignsWithItsOwnHostAndKeys) {
    const auto vectors = LoadVectors();
    CVynAuthSession session("VynGina/1.1.8");
    for (const auto& v : vectors) {
        SCOPED_TRACE(v.name);
        session.config.host = v.host;
        session.config.ikey = v.ikey;
        session.config.skey = v.skey;
        EXPECT_EQ(session.FormatAuthHeader(v.method, v.path, v.query), v.header);
    }
}

TEST(SigningVectors, WorkedExampleQueryString) {
    ParamMap params;
    params["user"] = "j doe";
    params["factor"] = "auto";
    params["ipaddr"] = "192.0.2.10";
    EXPECT_EQ(FormatQueryString(params), "factor=auto&ipaddr=192.0.2.10&user=j%20doe");
}

TEST(CalculateHmac, IsTwentyRawBytes) {
    // RFC 2202 test case 2.
    EXPECT_EQ(HexEncode(CalculateHmac("Jefe", "what do ya want for nothing?")),
              "EFFCDF6AE5EB2FA2D27416D5F184DF9C259A7C79");
    EXPECT_EQ(CalculateHmac("Jefe", "").size(), 20u);
}

TEST(FormatQueryString, EmptyMapGivesEmptyString) {
    EXPECT_EQ(FormatQueryString(ParamMap()), "");
}

TEST(FormatQueryString, EmptyValueStillFormsAPair) {
    ParamMap params;
    params["x"] = "";
    EXPECT_EQ(FormatQueryString(params), "x=");
    params["y"] = "";
    EXPECT_EQ(FormatQueryString(params), "x=&y=");
}

TEST(FormatQueryString, NamesAreEncodedToo) {
    ParamMap params;
    params["a b"] = "c&d";
    params["\xC3\xA9"] = "=";
    EXPECT_EQ(FormatQueryString(params), "a%20b=c%26d&%C3%A9=%3D");
}

TEST(UrlEncode, EveryByteValue) {
    std::string all;
    for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
    // Python's urllib.parse.quote(bytes(range(256)), safe='').
    EXPECT_EQ(UrlEncode(all),
              "%00%01%02%03%04%05%06%07%08%09%0A%0B%0C%0D%0E%0F%10%11%12%13%14%15%16%17%18%19%1A%1B%1C%1D%1E%1F"
              "%20%21%22%23%24%25%26%27%28%29%2A%2B%2C-.%2F0123456789%3A%3B%3C%3D%3E%3F%40ABCDEFGHIJKLMNOPQRSTU"
              "VWXYZ%5B%5C%5D%5E_%60abcdefghijklmnopqrstuvwxyz%7B%7C%7D~%7F%80%81%82%83%84%85%86%87%88%89%8A%8B"
              "%8C%8D%8E%8F%90%91%92%93%94%95%96%97%98%99%9A%9B%9C%9D%9E%9F%A0%A1%A2%A3%A4%A5%A6%A7%A8%A9%AA%AB"
              "%AC%AD%AE%AF%B0%B1%B2%B3%B4%B5%B6%B7%B8%B9%BA%BB%BC%BD%BE%BF%C0%C1%C2%C3%C4%C5%C6%C7%C8%C9%CA%CB"
              "%CC%CD%CE%CF%D0%D1%D2%D3%D4%D5%D6%D7%D8%D9%DA%DB%DC%DD%DE%DF%E0%E1%E2%E3%E4%E5%E6%E7%E8%E9%EA%EB"
              "%EC%ED%EE%EF%F0%F1%F2%F3%F4%F5%F6%F7%F8%F9%FA%FB%FC%FD%FE%FF");
    int unreserved = 0;
    for (int b = 0; b < 256; ++b) unreserved += UrlEncode(std::string(1, static_cast<char>(b))).size() == 1;
    EXPECT_EQ(unreserved, 66);
}

TEST(UrlEncode, Examples) {
    const std::map<std::string, std::string> cases = {
        {"j doe", "j%20doe"}, {"a+b", "a%2Bb"}, {"a&b=c/d%e", "a%26b%3Dc%2Fd%25e"},
        {"~-._", "~-._"},     {"\xC3\xA9", "%C3%A9"}, {std::string("\0z", 2), "%00z"},
        {"", ""},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(UrlEncode(in), out) << in;
}

TEST(HexEncode, UpperCaseHighNibbleFirst) {
    EXPECT_EQ(HexEncode(std::string("\x00\x01\x7F\x80\xAB\xCD\xEF\xFF", 8)), "00017F80ABCDEFFF");
}

TEST(HexEncode, EmptyInputLogsAndYieldsEmpty) {
    LogCapture capture;
    EXPECT_EQ(HexEncode(""), "");
    EXPECT_EQ(capture.Texts(), std::vector<std::string>{"ERROR: AtlHexEncode failed"});
}

TEST(Base64Encode, Rfc4648Vectors) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}, {std::string("\xFB\xFF", 2), "+/8="},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(Base64Encode(in), out) << in;
}

TEST(Base64Encode, LongInputHasNoLineBreaks) {
    std::string bytes;
    for (int i = 0; i < 100; ++i) bytes += static_cast<char>(i);
    // base64 -w 0 of bytes 0..99.
    EXPECT_EQ(Base64Encode(bytes),
              "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4vMDEyMzQ1Njc4OTo7PD0+P0BBQkNERUZHSElKS0xN"
              "Tk9QUVJTVFVWV1hZWltcXV5fYGFiYw==");
    const std::string big(100000, 'x');
    const std::string encoded = Base64Encode(big);
    EXPECT_EQ(encoded.size(), 133336u);
    EXPECT_EQ(encoded.find_first_of("\r\n"), std::string::npos);
}

TEST(Base64Encode, EmptyInputLogsAndYieldsEmpty) {
    LogCapture capture;
    EXPECT_EQ(Base64Encode(""), "");
    EXPECT_EQ(capture.Texts(), std::vector<std::string>{"ERROR: Base64Encode failed"});
}

TEST(EncoderLengths, Base64SizesAndLimit) {
    const std::vector<std::pair<size_t, int>> cases = {
        {0, 0}, {1, 4}, {2, 4}, {3, 4}, {4, 8}, {5, 8}, {6, 8}, {7, 12}, {536870910, 715827880}, {536870911, 715827884},
    };
    for (const auto& [n, len] : cases) EXPECT_EQ(Base64EncodedLength(n), len) << n;
    for (const size_t n : {size_t{536870912}, size_t{0xFFFFFFFF}, SIZE_MAX}) {
        try {
            Base64EncodedLength(n);
            ADD_FAILURE() << n;
        } catch (const CAtlException& e) {
            EXPECT_EQ(static_cast<HRESULT>(e), E_FAIL);
        }
    }
}

TEST(EncoderLengths, HexSizesAndLimit) {
    EXPECT_EQ(HexEncodedLength(0), 0);
    EXPECT_EQ(HexEncodedLength(20), 40);
    EXPECT_EQ(HexEncodedLength(1073741823), 2147483646);  // doubled plus one is exactly INT_MAX
    for (const size_t n : {size_t{1073741824}, size_t{0x80000000}, SIZE_MAX}) {
        try {
            HexEncodedLength(n);
            ADD_FAILURE() << n;
        } catch (const CAtlException& e) {
            EXPECT_EQ(static_cast<HRESULT>(e), E_FAIL);
        }
    }
}

TEST(FormatAuthHeader, SignatureIsFortyUpperHexDigits) {
    for (const char* key : {"a", "0123456789abcdef0123456789abcdef0123456789"}) {
        const std::string signature = CalculateVynHash(key, "GET", "h", "/rest/v1/check.bson", "");
        ASSERT_EQ(signature.size(), 40u);
        EXPECT_EQ(signature.find_first_not_of("0123456789ABCDEF"), std::string::npos);
    }
}

}  // namespace

// Each CryptoAPI step failing in turn: its system-call line, then the chain of
// lines up to the header, and an empty header.
namespace {

int gCallsBeforeFailure = -1;  // calls to let through before one fails; -1 never
const DWORD kInjectedError = 0x80090008;  // NTE_BAD_ALGID

bool FailNow() {
    if (gCallsBeforeFailure < 0) return false;
    if (gCallsBeforeFailure-- > 0) return false;
    ::SetLastError(kInjectedError);
    return true;
}

BOOL WINAPI AcquireContext(HCRYPTPROV* p, LPCWSTR c, LPCWSTR n, DWORD t, DWORD f) {
    return FailNow() ? FALSE : ::CryptAcquireContextW(p, c, n, t, f);
}
BOOL WINAPI ImportKey(HCRYPTPROV p, const BYTE* d, DWORD l, HCRYPTKEY k, DWORD f, HCRYPTKEY* out) {
    return FailNow() ? FALSE : ::CryptImportKey(p, d, l, k, f, out);
}
BOOL WINAPI CreateHash(HCRYPTPROV p, ALG_ID a, HCRYPTKEY k, DWORD f, HCRYPTHASH* out) {
    return FailNow() ? FALSE : ::CryptCreateHash(p, a, k, f, out);
}
BOOL WINAPI SetHashParam(HCRYPTHASH h, DWORD p, const BYTE* d, DWORD f) {
    return FailNow() ? FALSE : ::CryptSetHashParam(h, p, d, f);
}
BOOL WINAPI HashData(HCRYPTHASH h, const BYTE* d, DWORD l, DWORD f) {
    return FailNow() ? FALSE : ::CryptHashData(h, d, l, f);
}
BOOL WINAPI GetHashParam(HCRYPTHASH h, DWORD p, BYTE* d, DWORD* l, DWORD f) {
    return FailNow() ? FALSE : ::CryptGetHashParam(h, p, d, l, f);
}

class FailingCryptStep : public ::testing::TestWithParam<std::pair<int, const char*>> {
protected:
    void SetUp() override {
        saved_ = gCryptApi;
        gCryptApi = {AcquireContext, ImportKey, CreateHash, SetHashParam, HashData, GetHashParam};
    }
    void TearDown() override {
        gCryptApi = saved_;
        gCallsBeforeFailure = -1;
    }
    CryptApi saved_{};
};

TEST_P(FailingCryptStep, LogsItsLabelAndTheChain) {
    const auto [step, label] = GetParam();
    LogCapture capture;
    gCallsBeforeFailure = step;
    EXPECT_EQ(FormatAuthHeader("DIKEY", "secret", "h", "GET", "/rest/v1/check.bson", ""), "");
    EXPECT_EQ(capture.Texts(),
              (std::vector<std::string>{"ERROR: Failure in system call '" + std::string(label) + "' (2148073480)",
                                        "ERROR: CalculateHmac failed", "ERROR: CalculateVynHash failed"}));
    // The wrappers pass through again: nothing was left half-done.
    gCallsBeforeFailure = -1;
    EXPECT_EQ(CalculateVynHash("Jefe", "GET", "h", "/p", "").size(), 40u);
}

INSTANTIATE_TEST_SUITE_P(Steps, FailingCryptStep,
                         ::testing::Values(std::make_pair(0, "CryptAcquireContext"),
                                           std::make_pair(1, "CryptImportKey"),
                                           std::make_pair(2, "CryptCreateHash (2)"),
                                           std::make_pair(3, "CryptSetHashParam (1)"),
                                           std::make_pair(4, "CryptHashData"),
                                           std::make_pair(5, "CryptGetHashParam"),
                                           std::make_pair(6, "CryptGetHashParam (1)")));

TEST(FailingCryptStep, CalculateHmacAloneLogsOnlyItsStep) {
    const CryptApi saved = gCryptApi;
    gCryptApi.hashData = HashData;
    gCallsBeforeFailure = 0;
    LogCapture capture;
    EXPECT_EQ(CalculateHmac("k", "data"), "");
    gCryptApi = saved;
    gCallsBeforeFailure = -1;
    EXPECT_EQ(capture.Texts(),
              std::vector<std::string>{"ERROR: Failure in system call 'CryptHashData' (2148073480)"});
}

}  // namespace

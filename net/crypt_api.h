#pragma once
// The CryptoAPI calls of the HMAC, reached through one table so that tests can
// make a single step fail: no platform here makes them fail on demand, and each
// failure must leave its own log line and release what was created before it.
#include <windows.h>
#include <wincrypt.h>

struct CryptApi {
    decltype(&::CryptAcquireContextW) acquireContext;
    decltype(&::CryptImportKey) importKey;
    decltype(&::CryptCreateHash) createHash;
    decltype(&::CryptSetHashParam) setHashParam;
    decltype(&::CryptHashData) hashData;
    decltype(&::CryptGetHashParam) getHashParam;
};

// The platform's functions unless a test has replaced them.
extern CryptApi gCryptApi;

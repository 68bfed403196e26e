/* The TLS library's build configuration for the module's own TLS client
 * (net/builtin_tls.cpp). It is given to the library's build (scripts/setup.sh)
 * and to every file of ours that includes the library's headers, so both see
 * the same structures.
 *
 * What is in: a client of TLS 1.2 and 1.3 with ECDHE key exchange (RSA and
 * ECDSA certificates), AES-GCM and ChaCha20-Poly1305, SNI, and X.509 chain
 * verification (RSA PKCS#1 v1.5 and PSS, ECDSA; SHA-256/384, SHA-1 only so
 * that older roots of the machine's store still parse; the library's default
 * profile refuses SHA-1 signatures). What is out: servers, renegotiation,
 * static RSA key exchange, CBC suites, PEM, the library's sockets, its
 * entropy sources and its error texts (the module's log carries the numeric
 * code).
 *
 * The target is Windows XP x64 / Server 2003 x64, so nothing here may make
 * the library import a newer function:
 * - randomness comes from the module (RtlGenRandom) through the PSA external
 *   RNG hook, never from the library's BCryptGenRandom source;
 * - snprintf/vsnprintf are the C runtime's plain ones, not vsnprintf_s;
 * - gmtime is the module's own (Win32 calendar conversion), not gmtime_s;
 * - the library's global state (PSA key slots, its RNG) is guarded by
 *   CRITICAL_SECTIONs (net/tls/threading_alt.h), set up once by the module.
 */
#ifndef VYN_MBEDTLS_CONFIG_H
#define VYN_MBEDTLS_CONFIG_H

/* System support */
#define MBEDTLS_HAVE_ASM
#define MBEDTLS_HAVE_TIME
#define MBEDTLS_HAVE_TIME_DATE
#define MBEDTLS_PLATFORM_C
#define MBEDTLS_PLATFORM_GMTIME_R_ALT
#define MBEDTLS_PLATFORM_STD_SNPRINTF snprintf
#define MBEDTLS_PLATFORM_STD_VSNPRINTF vsnprintf
#define MBEDTLS_THREADING_C
#define MBEDTLS_THREADING_ALT
#define MBEDTLS_NO_PLATFORM_ENTROPY
#define MBEDTLS_PSA_CRYPTO_EXTERNAL_RNG

/* Symmetric ciphers and hashes */
#define MBEDTLS_AES_C
#define MBEDTLS_AES_ROM_TABLES
#define MBEDTLS_AESNI_C
#define MBEDTLS_GCM_C
#define MBEDTLS_CHACHA20_C
#define MBEDTLS_POLY1305_C
#define MBEDTLS_CHACHAPOLY_C
#define MBEDTLS_CIPHER_C
#define MBEDTLS_MD_C
#define MBEDTLS_SHA1_C
#define MBEDTLS_SHA224_C
#define MBEDTLS_SHA256_C
#define MBEDTLS_SHA384_C
#define MBEDTLS_SHA512_C
#define MBEDTLS_HKDF_C
/* PBKDF2-HMAC-SHA256 for the recovery codes (mbedtls_pkcs5_pbkdf2_hmac_ext) */
#define MBEDTLS_PKCS5_C

/* Public keys */
#define MBEDTLS_BIGNUM_C
#define MBEDTLS_ECP_C
#define MBEDTLS_ECP_DP_SECP256R1_ENABLED
#define MBEDTLS_ECP_DP_SECP384R1_ENABLED
#define MBEDTLS_ECP_DP_SECP521R1_ENABLED
#define MBEDTLS_ECP_DP_CURVE25519_ENABLED
#define MBEDTLS_ECP_NIST_OPTIM
#define MBEDTLS_ECDH_C
#define MBEDTLS_ECDSA_C
#define MBEDTLS_RSA_C
#define MBEDTLS_PKCS1_V15
#define MBEDTLS_PKCS1_V21
#define MBEDTLS_PK_C
#define MBEDTLS_PK_PARSE_C
#define MBEDTLS_ASN1_PARSE_C
#define MBEDTLS_ASN1_WRITE_C
#define MBEDTLS_OID_C

/* PSA crypto: the TLS 1.3 key schedule and key exchange run on it. */
#define MBEDTLS_PSA_CRYPTO_C
#define MBEDTLS_USE_PSA_CRYPTO

/* Certificates */
#define MBEDTLS_X509_USE_C
#define MBEDTLS_X509_CRT_PARSE_C
#define MBEDTLS_X509_RSASSA_PSS_SUPPORT
#define MBEDTLS_X509_TRUSTED_CERTIFICATE_CALLBACK

/* TLS client */
#define MBEDTLS_SSL_TLS_C
#define MBEDTLS_SSL_CLI_C
#define MBEDTLS_SSL_PROTO_TLS1_2
#define MBEDTLS_SSL_PROTO_TLS1_3
#define MBEDTLS_SSL_TLS1_3_KEY_EXCHANGE_MODE_EPHEMERAL_ENABLED
#define MBEDTLS_SSL_TLS1_3_COMPATIBILITY_MODE
#define MBEDTLS_KEY_EXCHANGE_ECDHE_RSA_ENABLED
#define MBEDTLS_KEY_EXCHANGE_ECDHE_ECDSA_ENABLED
#define MBEDTLS_SSL_SERVER_NAME_INDICATION
#define MBEDTLS_SSL_EXTENDED_MASTER_SECRET
#define MBEDTLS_SSL_SESSION_TICKETS
#define MBEDTLS_SSL_ALL_ALERT_MESSAGES
#define MBEDTLS_SSL_KEEP_PEER_CERTIFICATE

#endif /* VYN_MBEDTLS_CONFIG_H */

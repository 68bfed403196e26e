/* The mutex type the TLS library's global state is guarded with (see
 * net/tls/mbedtls_config.h); net/tls/tls_platform.cpp installs the functions
 * that work on it. */
#ifndef VYN_MBEDTLS_THREADING_ALT_H
#define VYN_MBEDTLS_THREADING_ALT_H

#include <windows.h>

typedef struct mbedtls_threading_mutex_t {
    CRITICAL_SECTION section;
    char initialised;
} mbedtls_threading_mutex_t;

#endif

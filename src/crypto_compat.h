// The one place that knows how the libcrypto generations differ, as far as
// the module's own code is concerned.
//
// The module is written against the 1.0 interface, and 1.1 and 3.0 keep
// every call it makes. 3.0 marks the error-string calls deprecated, and
// from 1.1 on RAND_cleanup() is a no-op (the library erases its own state).
// The entropy-daemon exchange is the module's own on every generation.
#ifndef KORVANE_CRYPTO_COMPAT_H
#define KORVANE_CRYPTO_COMPAT_H

// ERR_load_RAND_strings and ERR_func_error_string still do their job on 3.0
// (the latter answers null there); only the compiler warning goes away.
#ifndef OPENSSL_SUPPRESS_DEPRECATED
#define OPENSSL_SUPPRESS_DEPRECATED
#endif

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/rand.h>

#endif // KORVANE_CRYPTO_COMPAT_H

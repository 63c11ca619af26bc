// The one place that knows how the libcrypto generations differ.
//
// The module is written against the 1.0 interface; 1.1 and 3.0 keep every
// call it makes, with two exceptions handled here: the entropy-daemon
// client is gone from builds that define OPENSSL_NO_EGD (both 1.1 and 3.0
// as Debian ships them), and 3.0 marks the error-string calls deprecated.
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

#ifdef OPENSSL_NO_EGD
#include "egd_client.h"
#endif

namespace korvane {

// RAND_egd_bytes as libcrypto 1.0 defines it: the number of bytes the daemon
// supplied, or 0 when it supplied none or the PRNG is still not seeded.
inline int egd_bytes(const char *path, int bytes) {
#ifdef OPENSSL_NO_EGD
    const int supplied = egd_query(path, bytes, &RAND_seed);
    if (supplied < 1) {
        return 0;
    }
    return RAND_status() == 1 ? supplied : 0;
#else
    return RAND_egd_bytes(path, bytes);
#endif
}

} // namespace korvane

#endif // KORVANE_CRYPTO_COMPAT_H

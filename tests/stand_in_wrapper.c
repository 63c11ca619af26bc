/* A library that defines a few of libcrypto's names and lacks the others,
 * RAND_add among them: an OpenSSL-compatible wrapper of another library
 * (GnuTLS's libgnutls-openssl), or an interposer put before libcrypto
 * (LD_PRELOAD). Its generator is its own; test_package counts the draws
 * that reach it. */
#include <string.h>

static int draws;

int RAND_bytes(unsigned char *buffer, int count) {
    ++draws;
    memset(buffer, 0x77, (size_t)count);
    return 1;
}

int RAND_status(void) {
    return 1;
}

int stand_in_draws(void) {
    return draws;
}

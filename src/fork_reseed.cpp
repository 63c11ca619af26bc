#include "fork_reseed.h"

#include "libcrypto.h"
#include "os_entropy.h"

// Where the C library takes a fork handler. glibc's pthread_atfork is a
// static stub (in libpthread_nonshared.a before glibc 2.34, libc_nonshared.a
// since) that only adds the caller's __dso_handle and calls
// __register_atfork, which every glibc exports; Debian's armhf stubs are
// ARMv7 code that the ARMv6 module must not link. That handle serves to
// unregister the handler when a library is unloaded; the interpreter never
// unloads an extension module. musl has no __register_atfork, and exports
// pthread_atfork from its one libc.so. Both are weak, so that one module
// loads under either C library and neither pulls in glibc's stub.
extern "C" {
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
int __register_atfork(void (*prepare)(), void (*parent)(), void (*child)(), void *dso_handle)
    __attribute__((weak));
// Declared again to make it weak; <pthread.h> may have come with libcrypto's.
// NOLINTNEXTLINE(readability-redundant-declaration)
int pthread_atfork(void (*prepare)(), void (*parent)(), void (*child)()) __attribute__((weak));
}

namespace korvane {

volatile bool reseed_pending = true;

namespace {

bool watching = false;

// As much as libcrypto 1.0 gathers from the system when it seeds itself.
constexpr int reseed_bytes = 32;

// Runs in the child inside fork(). Another thread may have held one of
// libcrypto's locks at that moment, and in the child nobody will ever
// release it: a reseed here could hang for good. So it only marks the
// reseed as due, which is also all that is async-signal-safe.
void mark_child() {
    reseed_pending = true;
}

} // namespace

bool watch_forks() {
    if (watching) {
        return true;
    }
    if (__register_atfork != nullptr) {
        watching = __register_atfork(nullptr, nullptr, &mark_child, nullptr) == 0;
    } else if (pthread_atfork != nullptr) {
        watching = pthread_atfork(nullptr, nullptr, &mark_child) == 0;
    }
    return watching;
}

bool reseed_from_os() {
    // Cleared before anything is read: a signal handler may fork at any
    // point from here on, and the child's mark must outlive this call, or
    // the child would keep its parent's state and these very bytes for good.
    reseed_pending = false;
    unsigned char entropy[reseed_bytes];
    const bool read = read_os_entropy(entropy, sizeof entropy);
    if (read) {
        // Through libcrypto's own entry, so that whatever PRNG method is
        // installed takes it in its usual way.
        libcrypto.RAND_seed(entropy, reseed_bytes);
    } else {
        reseed_pending = true;
    }
    libcrypto.OPENSSL_cleanse(entropy, sizeof entropy);
    return read;
}

} // namespace korvane

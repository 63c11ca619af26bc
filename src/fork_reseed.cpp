#include "fork_reseed.h"

#include "crypto_compat.h"

// The C library's registration behind pthread_atfork, exported by every
// glibc. pthread_atfork itself is a static stub (in libpthread_nonshared.a
// before glibc 2.34, libc_nonshared.a since) that only adds the caller's
// __dso_handle, and Debian's armhf stubs are ARMv7 code that the ARMv6
// module must not link. That handle serves to unregister the handler when
// a library is unloaded; the interpreter never unloads an extension module.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
extern "C" int __register_atfork(void (*prepare)(), void (*parent)(), void (*child)(),
                                 void *dso_handle);

namespace korvane {

unsigned forks_counted = 0;
unsigned forks_reseeded = 0;

namespace {

bool counting = false;

// Runs in the child inside fork(). Another thread may have held one of
// libcrypto's locks at that moment, and in the child nobody will ever
// release it: a reseed here could hang for good. So it only counts, which
// is also all that is async-signal-safe.
void count_fork() {
    ++forks_counted;
}

} // namespace

bool count_forks() {
    if (counting) {
        return true;
    }
    counting = __register_atfork(nullptr, nullptr, &count_fork, nullptr) == 0;
    return counting;
}

void reseed_after_fork() {
    forks_reseeded = forks_counted;
    // The operating system's entropy, through libcrypto's own gathering, so
    // that whatever PRNG method is installed takes it in its usual way.
    RAND_poll();
}

} // namespace korvane

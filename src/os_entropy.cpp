#include "os_entropy.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace korvane {
namespace {

// glibc has no getrandom() before 2.25, and the headers of older systems
// (glibc 2.17 on RHEL 7) do not number the call either.
#if defined(SYS_getrandom) || defined(__x86_64__) || defined(__arm__)
#if defined(SYS_getrandom)
constexpr long getrandom_call = SYS_getrandom;
#elif defined(__x86_64__)
constexpr long getrandom_call = 318;
#else // ARM EABI
constexpr long getrandom_call = 384;
#endif
// GRND_NONBLOCK: at boot, before the pool is initialised, fall back to
// /dev/urandom (as libcrypto does) instead of holding the interpreter.
constexpr unsigned getrandom_nonblocking = 0x0001;

bool from_getrandom(unsigned char *buffer, size_t length) {
    size_t done = 0;
    while (done < length) {
        const long got =
            syscall(getrandom_call, buffer + done, length - done, getrandom_nonblocking);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;
        }
        done += static_cast<size_t>(got);
    }
    return true;
}
#else
// Older headers on another architecture (i386 on Debian 8 and Ubuntu 14.04,
// aarch64 and ppc64le on RHEL 7): a number written here for a guess would be
// another call there. /dev/urandom serves alone, as on kernels before 3.17.
bool from_getrandom(unsigned char * /*buffer*/, size_t /*length*/) {
    return false;
}
#endif

// Only the kernel's random device answers how much entropy it holds. A
// plain file at its path (a chroot or container image made by hand) would
// hand every process the same bytes, and so would another device put
// there. (fstat would tell a plain file too, but before glibc 2.33 it is a
// stub in libc_nonshared.a wherever the compiler does not inline it, and
// Debian's armhf stubs are ARMv7 code that the ARMv6 module must not link.)
bool is_kernel_random_device(int fd) {
    // RNDGETENTCNT, numbered here: musl systems (Alpine) lack the kernel's
    // headers unless they are installed by hand.
    constexpr unsigned long get_entropy_count = _IOR('R', 0x00, int);
    int entropy_count = 0;
    return ioctl(fd, get_entropy_count, &entropy_count) == 0;
}

bool from_device(unsigned char *buffer, size_t length) {
    int fd = -1;
    do {
        fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return false;
    }
    if (!is_kernel_random_device(fd)) {
        close(fd);
        return false;
    }
    size_t done = 0;
    while (done < length) {
        const ssize_t got = read(fd, buffer + done, length - done);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        done += static_cast<size_t>(got);
    }
    close(fd);
    return done == length;
}

} // namespace

bool read_os_entropy(unsigned char *buffer, size_t length) {
    return from_getrandom(buffer, length) || from_device(buffer, length);
}

} // namespace korvane

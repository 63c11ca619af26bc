// Fresh entropy from the kernel, in plain POSIX and Linux calls.
#ifndef KORVANE_OS_ENTROPY_H
#define KORVANE_OS_ENTROPY_H

#include <cstddef>

namespace korvane {

// Fills `buffer` with `length` bytes from the kernel's random number
// generator: through getrandom(2), which needs no file descriptor, or, on
// a kernel that lacks or refuses it (before 3.17, or a pool that is not yet
// initialised at boot), from /dev/urandom if that is the kernel's device.
// Never waits on anybody else, as libcrypto 1.0's own gathering does on an
// entropy daemon's socket. False when neither source gave the whole length.
bool read_os_entropy(unsigned char *buffer, size_t length);

} // namespace korvane

#endif // KORVANE_OS_ENTROPY_H

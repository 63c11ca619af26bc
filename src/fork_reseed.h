// Reseeding the PRNG in every process that uses the module.
//
// A child starts with a copy of its parent's PRNG state. libcrypto 1.0 and
// 1.1.0 (and 1.1.1 before 1.1.1d, by default) set a child's output apart
// from its parent's only by the pid mixed into each draw, and pids come
// round again: two children of one parent that get the same pid would
// draw the same bytes. So every method that reads or changes the PRNG
// first mixes in fresh entropy from the kernel, once in each process: after
// each fork, and at the first use in a process that imported the module
// after its parent (or another library in it) had already drawn.
#ifndef KORVANE_FORK_RESEED_H
#define KORVANE_FORK_RESEED_H

namespace korvane {

// True until this process has mixed in entropy of its own; the fork
// handler sets it again in each child. Only that handler changes it
// outside the interpreter lock, in a child that has a single thread, and
// it may run there inside a signal handler that interrupted the reseed:
// volatile, so that the reseed's accesses stay where they are written. It
// is constant-initialised where it is defined; clang-tidy takes this
// declaration for a definition.
extern volatile bool reseed_pending; // NOLINT(bugprone-dynamic-static-initializers)

// Has the C library mark every child from now on; once per process. False
// when it has no memory for that.
bool watch_forks();

// Mixes 32 bytes of the kernel's entropy into the PRNG; false, leaving the
// reseed pending for the next call, when the kernel gave none.
bool reseed_from_os();

// The methods' one check on their way to libcrypto: false when this
// process's PRNG state may still be another process's, so that nothing
// may be drawn from it.
inline bool reseed_if_due() {
    return !reseed_pending || reseed_from_os();
}

} // namespace korvane

#endif // KORVANE_FORK_RESEED_H

// Reseeding the PRNG in a child process.
//
// A child starts with a copy of its parent's PRNG state. libcrypto 1.0 and
// 1.1.0 (and 1.1.1 before 1.1.1d, by default) set a child's output apart
// from its parent's only by the pid mixed into each draw, and pids come
// round again: two children of one parent that get the same pid would
// draw the same bytes. So every method that reads or changes the PRNG first
// mixes in fresh entropy once after each fork.
#ifndef KORVANE_FORK_RESEED_H
#define KORVANE_FORK_RESEED_H

namespace korvane {

// Forks counted in this process's line of descent, and the count at the
// last reseed. Only the fork handler changes the first, in a child that
// has a single thread; the rest runs with the interpreter lock held. Both
// are constant-initialised to zero where they are defined; clang-tidy takes
// these declarations for definitions.
extern unsigned forks_counted;  // NOLINT(bugprone-dynamic-static-initializers)
extern unsigned forks_reseeded; // NOLINT(bugprone-dynamic-static-initializers)

// Has the C library count every fork from now on; once per process. False
// when it has no memory for that.
bool count_forks();

void reseed_after_fork();

// The methods' one check on their way to libcrypto.
inline void reseed_if_forked() {
    if (forks_counted != forks_reseeded) {
        reseed_after_fork();
    }
}

} // namespace korvane

#endif // KORVANE_FORK_RESEED_H

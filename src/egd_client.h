// Client side of the entropy gathering daemon's protocol, in plain POSIX
// (and libcrypto's wipe for the bytes it read).
#ifndef KORVANE_EGD_CLIENT_H
#define KORVANE_EGD_CLIENT_H

namespace korvane {

// Receives each complete reply of the daemon; RAND_seed has this shape.
using EntropySink = void (*)(const void *data, int length);

// Asked before each blocking call of the exchange, and again after each one
// that a signal interrupted: true to go on (or retry the call), false to
// abandon the exchange.
using InterruptionPolicy = bool (*)();

// cppcheck reads this header alone, without the code that uses the members.
struct EgdResult {
    // cppcheck-suppress unusedStructMember
    int supplied; // bytes handed over, also when the exchange ended early
    // cppcheck-suppress unusedStructMember
    bool interrupted; // abandoned because the interruption policy said so
};

// Connects to the daemon's Unix socket at `path` and asks it for `bytes`
// bytes in requests of at most 255, handing each complete reply to `mix_in`.
// The exchange ends early, keeping what was handed over so far, when the
// daemon has nothing more (a zero count), hangs up, fails, answers with
// more than it was asked for, or has not finished within the stall limit
// (ten seconds for the whole exchange, after which only what has already
// arrived is read); the bytes of an incomplete or oversized reply are never
// handed over. A path that does not fit a socket address gives nothing
// without connecting. The socket is closed on every path.
EgdResult egd_query(const char *path, int bytes, EntropySink mix_in, InterruptionPolicy go_on);

} // namespace korvane

#endif // KORVANE_EGD_CLIENT_H

// Client side of the entropy gathering daemon's protocol, in plain POSIX.
#ifndef KORVANE_EGD_CLIENT_H
#define KORVANE_EGD_CLIENT_H

namespace korvane {

// Receives each complete reply of the daemon; RAND_seed has this shape.
using EntropySink = void (*)(const void *data, int length);

// Connects to the daemon's Unix socket at `path` and asks it for `bytes`
// bytes in requests of at most 255, handing each complete reply to `mix_in`.
// Returns the number of bytes handed over. The exchange ends early, keeping
// what was handed over so far, when the daemon has nothing more (a zero
// count), hangs up, fails, or answers with more than it was asked for; the
// bytes of an incomplete or oversized reply are never handed over. A path
// that does not fit a socket address gives 0 without connecting.
int egd_query(const char *path, int bytes, EntropySink mix_in);

} // namespace korvane

#endif // KORVANE_EGD_CLIENT_H

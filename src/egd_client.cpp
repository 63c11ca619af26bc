#include "egd_client.h"

#include "libcrypto.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <ctime>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/types.h>
#include <sys/un.h>
#include <unistd.h>

// x86-64 glibc's default memcpy is GLIBC_2.14, newer than the x86-64
// wheel's glibc 2.5; the older one does the same for a copy that cannot
// overlap. (musl, which loads the same module, has no symbol versions.)
#if defined(__x86_64__) && defined(__GLIBC__)
__asm__(".symver memcpy, memcpy@GLIBC_2.2.5");
#endif

namespace korvane {
namespace {

// A request is this command byte and the number of bytes wanted; the daemon
// answers with a count byte and that many bytes.
constexpr unsigned char read_nonblocking_command = 0x01;
constexpr int largest_request = 255;

// One exchange waits on the daemon for this long in all, however it
// dribbles its answers; what it completed by then counts. A working daemon
// answers a request at once: the command asks it not to wait for entropy.
// A signal handler cannot end the wait on every thread, since the
// interpreter runs handlers only on its main thread.
constexpr int stall_limit_seconds = 10;

// Asked of the kernel itself: glibc has clock_gettime only from 2.17 on
// (librt before), and the x86-64 wheel is for glibc 2.5 and later.
timespec now() {
    timespec time{};
    syscall(SYS_clock_gettime, CLOCK_MONOTONIC, &time);
    return time;
}

// One connection to the daemon, closed with it. Every blocking call goes
// through retried(), so that a signal can always end the exchange, and so
// can the stall limit.
class Connection {
  public:
    explicit Connection(InterruptionPolicy go_on)
        : fd_(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)), go_on_(go_on), deadline_(now()) {
        deadline_.tv_sec += stall_limit_seconds;
    }
    ~Connection() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;
    Connection(Connection &&) = delete;
    Connection &operator=(Connection &&) = delete;

    bool interrupted() const { return interrupted_; }

    bool connect_to(const char *path) {
        sockaddr_un address{};
        const size_t length = strlen(path);
        // A truncated path would name some other socket.
        if (fd_ < 0 || length >= sizeof(address.sun_path)) {
            return false;
        }
        address.sun_family = AF_UNIX;
        // Copied as bytes, not by the C library's memcpy, which a fortified
        // build (Python 3's flags: -O2 -D_FORTIFY_SOURCE=2) would check
        // again through __memcpy_chk, which musl's C library lacks.
        std::copy(path, path + length, address.sun_path);
        const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
        const int status = retried(After::deadline_gives_up, [&](int) {
            return connect(fd_, reinterpret_cast<const sockaddr *>(&address), size);
        });
        // EISCONN: a call that a signal cut short had connected after all.
        return status == 0 || errno == EISCONN;
    }

    // No new request goes out once the time is up.
    bool send_all(const unsigned char *data, size_t length) {
        // A daemon that hangs up must not kill the process with SIGPIPE.
        return transfer_all(After::deadline_gives_up, length, [=](size_t done, int flags) {
            return send(fd_, data + done, length - done, MSG_NOSIGNAL | flags);
        });
    }

    // Past the deadline, takes what has already arrived, without waiting:
    // time that a signal handler or another thread took must not turn a
    // complete answer into a stall.
    bool receive_all(unsigned char *data, size_t length) {
        return transfer_all(
            After::deadline_takes_what_is_there, length,
            [=](size_t done, int flags) { return recv(fd_, data + done, length - done, flags); });
    }

  private:
    enum class After { deadline_gives_up, deadline_takes_what_is_there };

    // Has the socket's blocking calls give up at the deadline; false once
    // it has passed. (No 64-bit division: the ARMv6 module links no libgcc.)
    bool wait_no_longer_than_the_deadline() {
        const timespec time = now();
        time_t seconds = deadline_.tv_sec - time.tv_sec;
        long nanoseconds = deadline_.tv_nsec - time.tv_nsec;
        if (nanoseconds < 0) {
            nanoseconds += 1000000000L;
            --seconds;
        }
        if (seconds < 0 || (seconds == 0 && nanoseconds == 0)) {
            return false;
        }
        // Never zero, which would mean no limit at all.
        const auto microseconds = static_cast<suseconds_t>(nanoseconds / 1000);
        const timeval limit{seconds, seconds == 0 && microseconds == 0 ? 1 : microseconds};
        return setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) == 0 &&
               setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) == 0;
    }

    // Runs call(flags) until it is neither interrupted nor timed out, or
    // until the policy abandons the exchange or the stall limit is reached;
    // its last result, with errno as it left it. Past the deadline, a call
    // that may still take what is there runs once more with MSG_DONTWAIT.
    // The policy is asked before each call too: a signal that came while
    // the exchange was busy elsewhere (mixing in a reply) interrupted no
    // call, and must not wait for the daemon's next answer to be seen.
    template <typename Call> auto retried(After after, Call call) -> decltype(call(0)) {
        for (;;) {
            if (!go_on_()) {
                interrupted_ = true;
                errno = EINTR;
                return -1;
            }
            const bool may_wait = wait_no_longer_than_the_deadline();
            if (!may_wait && after == After::deadline_gives_up) {
                errno = ETIMEDOUT;
                return -1;
            }
            const auto result = call(may_wait ? 0 : MSG_DONTWAIT);
            if (result >= 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) {
                return result;
            }
            if (!may_wait) {
                errno = ETIMEDOUT;
                return -1;
            }
        }
    }

    // Moves `length` bytes in as many calls of transfer(bytes done so far,
    // flags) as it takes. False on an error, an interruption or a stall or,
    // for a receive, when the daemon hangs up first.
    template <typename Transfer> bool transfer_all(After after, size_t length, Transfer transfer) {
        size_t done = 0;
        while (done < length) {
            const ssize_t moved = retried(after, [&](int flags) { return transfer(done, flags); });
            if (moved <= 0) {
                return false;
            }
            done += static_cast<size_t>(moved);
        }
        return true;
    }

    int fd_;
    InterruptionPolicy go_on_;
    timespec deadline_;
    bool interrupted_ = false;
};

} // namespace

EgdResult egd_query(const char *path, int bytes, EntropySink mix_in, InterruptionPolicy go_on) {
    Connection daemon(go_on);
    if (!daemon.connect_to(path)) {
        return {0, daemon.interrupted()};
    }

    int supplied = 0;
    int remaining = bytes;
    unsigned char reply[largest_request];
    while (remaining > 0) {
        const auto asked =
            static_cast<unsigned char>(remaining < largest_request ? remaining : largest_request);
        const unsigned char request[2] = {read_nonblocking_command, asked};
        unsigned char count = 0;
        if (!daemon.send_all(request, sizeof request) ||
            !daemon.receive_all(&count, sizeof count)) {
            break;
        }
        // Zero: the daemon has no more. More than was asked: it is not
        // speaking the protocol, and none of its reply can be trusted.
        if (count == 0 || count > asked || !daemon.receive_all(reply, count)) {
            break;
        }
        mix_in(reply, count);
        supplied += count;
        remaining -= count;
    }
    // The daemon's bytes are now part of the PRNG's secret state. The wipe
    // is libcrypto's, which no compiler drops and every C library can load.
    libcrypto.OPENSSL_cleanse(reply, sizeof reply);
    return {supplied, daemon.interrupted()};
}

} // namespace korvane

#include "egd_client.h"

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>
#include <unistd.h>

namespace korvane {
namespace {

// A request is this command byte and the number of bytes wanted; the daemon
// answers with a count byte and that many bytes.
constexpr unsigned char read_nonblocking_command = 0x01;
constexpr int largest_request = 255;

bool is_transient(int error) {
    return error == EINTR || error == EAGAIN;
}

class Descriptor {
  public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    Descriptor(Descriptor &&) = delete;
    Descriptor &operator=(Descriptor &&) = delete;

    int get() const { return fd_; }

  private:
    int fd_;
};

bool connect_to(int fd, const char *path) {
    sockaddr_un address{};
    const size_t length = strlen(path);
    // A truncated path would name some other socket.
    if (length >= sizeof(address.sun_path)) {
        return false;
    }
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path, path, length);
    const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
    for (;;) {
        if (connect(fd, reinterpret_cast<const sockaddr *>(&address), size) == 0 ||
            errno == EISCONN) {
            return true;
        }
        // After an interruption the connection may still be on its way.
        if (errno != EINTR && errno != EAGAIN && errno != EINPROGRESS && errno != EALREADY) {
            return false;
        }
    }
}

// Moves `length` bytes in as many calls of transfer(bytes done so far) as it
// takes, retrying interrupted ones. False on an error or, for a receive, when
// the daemon hangs up first.
template <typename Transfer> bool transfer_all(size_t length, Transfer transfer) {
    size_t done = 0;
    while (done < length) {
        const ssize_t moved = transfer(done);
        if (moved < 0 && is_transient(errno)) {
            continue;
        }
        if (moved <= 0) {
            return false;
        }
        done += static_cast<size_t>(moved);
    }
    return true;
}

bool send_all(int fd, const unsigned char *data, size_t length) {
    // A daemon that hangs up must not kill the process with SIGPIPE.
    return transfer_all(
        length, [=](size_t done) { return send(fd, data + done, length - done, MSG_NOSIGNAL); });
}

bool receive_all(int fd, unsigned char *data, size_t length) {
    return transfer_all(length,
                        [=](size_t done) { return recv(fd, data + done, length - done, 0); });
}

} // namespace

int egd_query(const char *path, int bytes, EntropySink mix_in) {
    const Descriptor daemon(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (daemon.get() < 0 || !connect_to(daemon.get(), path)) {
        return 0;
    }

    int supplied = 0;
    int remaining = bytes;
    unsigned char reply[largest_request];
    while (remaining > 0) {
        const auto asked =
            static_cast<unsigned char>(remaining < largest_request ? remaining : largest_request);
        const unsigned char request[2] = {read_nonblocking_command, asked};
        unsigned char count = 0;
        if (!send_all(daemon.get(), request, sizeof request) ||
            !receive_all(daemon.get(), &count, sizeof count)) {
            break;
        }
        // Zero: the daemon has no more. More than was asked: it is not
        // speaking the protocol, and none of its reply can be trusted.
        if (count == 0 || count > asked || !receive_all(daemon.get(), reply, count)) {
            break;
        }
        mix_in(reply, count);
        supplied += count;
        remaining -= count;
    }
    // The daemon's bytes are now part of the PRNG's secret state.
    explicit_bzero(reply, sizeof reply);
    return supplied;
}

} // namespace korvane

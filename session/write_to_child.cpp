// Writing to the pty master without the risk of sleeping forever.
#include "session/write_to_child.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "os/eintr.hpp"
#include "os/sigpipe_quiet.hpp"
#include "session/session_state.hpp"

namespace ptypilot::detail {

namespace {

// Without a child to watch: every byte, waiting for room when the
// descriptor is non-blocking (a caller's socket may be).
ssize_t write_plain(int fd, std::string_view data) {
    // A socket, asked to, reports a reader gone as EPIPE by itself: no
    // signal mask to juggle. Anything else fails with ENOTSOCK here.
    std::size_t written = 0;
    if (!data.empty()) {
        const ssize_t n = retry_eintr([&] { return ::send(fd, data.data(), data.size(), MSG_NOSIGNAL); });
        if (n == -1 && errno == EPIPE) return -1;
        if (n > 0) written = static_cast<std::size_t>(n);
        if (written == data.size()) return n;
    }
    sigpipe_quiet quiet;
    while (written < data.size()) {
        const ssize_t n =
            retry_eintr([&] { return ::write(fd, data.data() + written, data.size() - written); });
        if (n > 0) {
            written += static_cast<std::size_t>(n);
            continue;
        }
        if (n == -1 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p{fd, POLLOUT, 0};
            if (retry_eintr([&] { return ::poll(&p, 1, -1); }) != -1) continue;
        }
        if (n == 0) errno = EIO;  // takes nothing, and would say so for ever
        quiet.broke = errno == EPIPE;
        const int err = errno;
        if (written > 0) break;
        errno = err;
        return -1;
    }
    return static_cast<ssize_t>(written);
}

}  // namespace

ssize_t write_to_child(int fd, int pidfd, std::string_view data, const std::function<bool()>& ended) {
    if (pidfd < 0 && !ended) return write_plain(fd, data);
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags == -1) return -1;
    // Non-blocking only for the duration of the call, so that the wait for
    // room can watch the child's end too.
    if ((flags & O_NONBLOCK) == 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == -1) return -1;
    ssize_t written = 0;
    int err = 0;
    while (static_cast<std::size_t>(written) < data.size()) {
        const ssize_t n = retry_eintr([&] {
            return ::write(fd, data.data() + written, data.size() - static_cast<std::size_t>(written));
        });
        if (n > 0) {
            written += n;
            continue;
        }
        if (n == -1 && errno != EAGAIN) {
            err = errno;
            break;
        }
        pollfd fds[2] = {{fd, POLLOUT, 0}, {pidfd, POLLIN, 0}};
        const int slice_ms = pidfd < 0 ? static_cast<int>(end_check_interval * 1000) : -1;
        const int r = retry_eintr([&] { return ::poll(fds, pidfd < 0 ? 1 : 2, slice_ms); });
        if (r == -1) {
            err = errno;
            break;
        }
        if ((fds[0].revents & POLLOUT) != 0) continue;
        if ((fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0 || fds[1].revents != 0 ||
            (r == 0 && ended())) {
            err = EIO;
            break;
        }
    }
    if ((flags & O_NONBLOCK) == 0) ::fcntl(fd, F_SETFL, flags);
    if (err != 0 && written == 0) {
        errno = err;
        return -1;
    }
    return written;
}

}  // namespace ptypilot::detail

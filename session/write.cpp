// Writing to the child: every operation goes through send().
#include <ptypilot/spawn.hpp>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "session/child_write.hpp"
#include "session/clock.hpp"
#include "session/log.hpp"
#include "session/system_error.hpp"

namespace ptypilot {

namespace {

// Control bytes for the symbols that have one.
int control_byte_of_symbol(char c) {
    switch (c) {
        case '@':
        case '`': return 0;
        case '[':
        case '{': return 27;
        case '\\':
        case '|': return 28;
        case ']':
        case '}': return 29;
        case '^':
        case '~': return 30;
        case '_': return 31;
        case '?': return 127;
        default: return -1;
    }
}

}  // namespace

namespace detail {

ssize_t write_to_child(int fd, int pidfd, std::string_view data) {
    if (pidfd < 0) return retry_eintr([&] { return ::write(fd, data.data(), data.size()); });
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags == -1) return -1;
    // Non-blocking only for the duration of the call, so that the wait for
    // room can watch the child's end too.
    if ((flags & O_NONBLOCK) == 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == -1) return -1;
    ssize_t written = 0;
    int err = 0;
    while (static_cast<std::size_t>(written) < data.size()) {
        const ssize_t n = ::write(fd, data.data() + written, data.size() - static_cast<std::size_t>(written));
        if (n > 0) {
            written += n;
            continue;
        }
        if (n == -1 && errno == EINTR) continue;
        if (n == -1 && errno != EAGAIN) {
            err = errno;
            break;
        }
        pollfd fds[2] = {{fd, POLLOUT, 0}, {pidfd, POLLIN, 0}};
        if (::poll(fds, 2, -1) == -1) {
            if (errno == EINTR) continue;
            err = errno;
            break;
        }
        if ((fds[0].revents & POLLOUT) != 0) continue;
        if ((fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0 || fds[1].revents != 0) {
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

}  // namespace detail

long spawn::send(std::string_view s) {
    detail::sleep_for(delaybeforesend);
    detail::log_chunk(logfile, s);
    detail::log_chunk(logfile_send, s);
    // Written whole unless the child ends first; then the count says how far it got.
    const ssize_t n = detail::write_to_child(child_fd, pidfd_, s);
    if (n < 0) detail::throw_errno();
    return static_cast<long>(n);
}

long spawn::sendline(std::string_view s) {
    const long n = send(s);
    return n + send("\n");
}

void spawn::write(std::string_view s) { send(s); }

long spawn::sendcontrol(char c) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c >= 'a' && c <= 'z') return send(std::string(1, static_cast<char>(c - 'a' + 1)));
    const int byte = control_byte_of_symbol(c);
    if (byte < 0) return 0;
    return send(std::string(1, static_cast<char>(byte)));
}

void spawn::sendeof() {
    termios mode{};
    detail::check(::tcgetattr(child_fd, &mode));
    send(std::string(1, static_cast<char>(mode.c_cc[VEOF])));
}

void spawn::sendintr() {
    termios mode{};
    detail::check(::tcgetattr(child_fd, &mode));
    send(std::string(1, static_cast<char>(mode.c_cc[VINTR])));
}

}  // namespace ptypilot

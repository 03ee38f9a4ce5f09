// Sessions over descriptors the caller opened: a serial line, a socket, a
// pipe pair. Everything but the lifecycle is the child's session unchanged.
#include <ptypilot/spawn.hpp>

#include <fcntl.h>

#include "session/session_state.hpp"
#include "session/system_error.hpp"

namespace ptypilot {

namespace {

// Refused before the session takes anything, so that a failure leaves the
// caller's descriptors as they were.
void check_open(int fd) {
    if (fd < 0 || ::fcntl(fd, F_GETFD) == -1) detail::throw_errno(EBADF);
}

// A descriptor the session owns is not handed to the children that other
// sessions start (they close stray descriptors too, but a program the
// caller starts itself may not).
void own(int fd) {
    const int flags = detail::check(::fcntl(fd, F_GETFD));
    if ((flags & FD_CLOEXEC) == 0) detail::check(::fcntl(fd, F_SETFD, flags | FD_CLOEXEC));
}

}  // namespace

spawn spawn::from_fd(int fd, const spawn_options& options, descriptor_close on_close) {
    return from_fds(fd, fd, options, on_close);
}

spawn spawn::from_fds(int read_fd, int write_fd, const spawn_options& options, descriptor_close on_close) {
    check_open(read_fd);
    check_open(write_fd);
    const bool pair = read_fd != write_fd;
    if (on_close == descriptor_close::close) {
        own(read_fd);
        if (pair) own(write_fd);
    }
    spawn s(std::nullopt, options);
    s.name = pair ? "<fds " + std::to_string(read_fd) + " " + std::to_string(write_fd) + ">"
                  : "<fd " + std::to_string(read_fd) + ">";
    s.state_->no_child = true;
    s.state_->leave_open = on_close == descriptor_close::leave;
    s.state_->master.reset(read_fd);
    if (pair) s.state_->write_end.reset(write_fd);
    s.child_fd = read_fd;
    s.closed = false;
    return s;
}

}  // namespace ptypilot

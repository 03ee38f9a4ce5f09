// Sessions over descriptors the caller opened: a serial line, a socket, a
// pipe pair. Their byte source has no child: the end of the input is the end.
#include <ptypilot/spawn.hpp>

#include <fcntl.h>
#include <unistd.h>

#include "os/sigpipe_quiet.hpp"
#include "os/system_error.hpp"
#include "os/unique_fd.hpp"
#include "session/byte_source.hpp"
#include "session/session_state.hpp"
#include "session/write_to_child.hpp"

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

std::string no_child_message(const char* call) {
    return std::string(call) + " needs a child process, and this session is over a descriptor: it has none.";
}

class descriptor_source final : public detail::byte_source {
public:
    // `write_fd` equal to `read_fd` is one descriptor for both ways.
    descriptor_source(int read_fd, int write_fd, bool leave_open) noexcept
        : read_(read_fd), write_(write_fd != read_fd ? write_fd : -1), leave_open_(leave_open) {}
    // The caller's descriptors, left open, are never closed here.
    ~descriptor_source() override {
        if (!leave_open_) return;
        read_.release();
        write_.release();
    }
    descriptor_source(const descriptor_source&) = delete;
    descriptor_source& operator=(const descriptor_source&) = delete;

    ssize_t read_some(std::span<char> into) override { return ::read(read_.get(), into.data(), into.size()); }
    ssize_t write(const spawn&, std::string_view data) override {
        return detail::write_to_child(output_fd(), -1, data);
    }
    ssize_t write_some(std::string_view data) override {
        // A caller's pipe or socket whose reader has gone: EPIPE, not SIGPIPE.
        detail::sigpipe_quiet quiet;
        const ssize_t n = ::write(output_fd(), data.data(), data.size());
        quiet.broke = n == -1 && errno == EPIPE;
        return n;
    }
    void set_nonblocking(bool on) override {
        hold_nonblocking(read_.get(), saved_read_, on);
        if (write_) hold_nonblocking(write_.get(), saved_write_, on);
    }

    int input_fd() const override { return read_.get(); }
    int output_fd() const override { return write_ ? write_.get() : read_.get(); }

    bool alive(spawn& s) override { return !s.closed && !s.flag_eof; }
    std::optional<int> wait(spawn&) override { throw ExceptionPty(no_child_message("wait()")); }
    void kill(spawn&, int) override { throw ExceptionPty(no_child_message("kill()")); }
    // Nothing to end: what a caller of terminate() wants is already so.
    bool terminate(spawn&, bool) override { return true; }
    // Nothing to wait for. Every number is given up whatever close() reports,
    // and the first failure is reported.
    void close(spawn& s, bool) override {
        int err = 0;
        for (detail::unique_fd* fd : {&read_, &write_}) {
            if (!*fd) continue;
            if (leave_open_) {
                fd->release();
            } else if (::close(fd->release()) == -1 && errno != EINTR && err == 0) {
                err = errno;
            }
        }
        s.child_fd = -1;
        s.closed = true;
        if (err != 0) detail::throw_errno(err);
    }

private:
    detail::unique_fd read_;
    detail::unique_fd write_;  // empty when the descriptor read is also written
    bool leave_open_;          // close() gives the caller's descriptors back
    int saved_read_ = -1;
    int saved_write_ = -1;
};

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
    // Made before it takes the descriptors: a session that cannot be made
    // leaves them to the caller, open.
    spawn s(std::nullopt, options);
    detail::attach(
        s, std::make_unique<descriptor_source>(read_fd, write_fd, on_close == descriptor_close::leave));
    s.name = pair ? "<fds " + std::to_string(read_fd) + " " + std::to_string(write_fd) + ">"
                  : "<fd " + std::to_string(read_fd) + ">";
    return s;
}

}  // namespace ptypilot

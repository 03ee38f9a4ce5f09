#include "session/winch_pipe.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "session/off_standard_streams.hpp"
#include "session/system_error.hpp"

namespace ptypilot::detail {

namespace {

// Where the handler writes; a lock-free atomic is safe to read in a handler.
std::atomic<int> winch_write_fd{-1};
static_assert(std::atomic<int>::is_always_lock_free);

void on_winch(int) {
    const int saved = errno;
    const int fd = winch_write_fd.load(std::memory_order_relaxed);
    const char byte = 0;
    // A full pipe already says that the size changed.
    if (fd >= 0) (void)!::write(fd, &byte, 1);
    errno = saved;
}

sigset_t only_winch() {
    sigset_t set;
    ::sigemptyset(&set);
    ::sigaddset(&set, SIGWINCH);
    return set;
}

}  // namespace

winch_pipe::winch_pipe() {
    int fds[2];
    check(::pipe2(fds, O_CLOEXEC | O_NONBLOCK));
    // On 0-2 the relay would take its own pipe for the user's terminal.
    read_ = off_standard_streams(unique_fd(fds[0]));
    write_ = off_standard_streams(unique_fd(fds[1]));
    if (!read_ || !write_) throw_errno();
    previous_fd_ = winch_write_fd.exchange(write_.get());
    struct sigaction action {};
    action.sa_handler = on_winch;
    ::sigemptyset(&action.sa_mask);
    // Nothing the caller waits for elsewhere should notice the signal.
    action.sa_flags = SA_RESTART;
    if (::sigaction(SIGWINCH, &action, &previous_action_) != 0) {
        const int err = errno;
        winch_write_fd.store(previous_fd_);
        throw_errno(err);
    }
    const sigset_t winch = only_winch();
    ::pthread_sigmask(SIG_UNBLOCK, &winch, &previous_mask_);
}

winch_pipe::~winch_pipe() {
    if (::sigismember(&previous_mask_, SIGWINCH) == 1) {
        const sigset_t winch = only_winch();
        ::pthread_sigmask(SIG_BLOCK, &winch, nullptr);
    }
    ::sigaction(SIGWINCH, &previous_action_, nullptr);
    winch_write_fd.store(previous_fd_);
}

void winch_pipe::take() noexcept {
    char buf[64];
    while (::read(read_.get(), buf, sizeof buf) > 0) {}
}

}  // namespace ptypilot::detail

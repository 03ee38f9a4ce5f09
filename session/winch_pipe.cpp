#include "session/winch_pipe.hpp"

#include <atomic>

#include "os/system_error.hpp"

namespace ptypilot::detail {

namespace {

// Where the handler writes; a lock-free atomic is safe to read in a handler.
std::atomic<int> winch_write_fd{-1};
static_assert(std::atomic<int>::is_always_lock_free);

void on_winch(int) { write_from_handler(winch_write_fd.load(std::memory_order_relaxed), 0); }

sigset_t only_winch() {
    sigset_t set;
    ::sigemptyset(&set);
    ::sigaddset(&set, SIGWINCH);
    return set;
}

}  // namespace

winch_pipe::winch_pipe() {
    previous_fd_ = winch_write_fd.exchange(pipe_.write_fd());
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

void winch_pipe::take() noexcept { pipe_.discard(); }

}  // namespace ptypilot::detail

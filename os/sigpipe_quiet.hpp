// Writing where a reader may have gone, without SIGPIPE.
#pragma once

#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <ctime>

namespace ptypilot::detail {

// Writing to a pipe or a socket whose reader has gone raises SIGPIPE, which
// ends the process unless it is caught; the library installs no handler.
// Blocked for the length of the writes, a SIGPIPE of their own is taken
// back out of the pending set (set `broke` after an EPIPE), and the write
// fails with EPIPE instead.
class sigpipe_quiet {
public:
    sigpipe_quiet() {
        ::sigemptyset(&pipe_);
        ::sigaddset(&pipe_, SIGPIPE);
        sigset_t pending;
        ::sigpending(&pending);
        was_pending_ = ::sigismember(&pending, SIGPIPE) == 1;
        ::pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
    }
    ~sigpipe_quiet() {
        const int err = errno;
        if (broke && !was_pending_) {
            const timespec zero{};
            while (::sigtimedwait(&pipe_, nullptr, &zero) == -1 && errno == EINTR) {}
        }
        ::pthread_sigmask(SIG_SETMASK, &old_, nullptr);
        errno = err;
    }
    sigpipe_quiet(const sigpipe_quiet&) = delete;
    sigpipe_quiet& operator=(const sigpipe_quiet&) = delete;

    bool broke = false;

private:
    sigset_t pipe_{};
    sigset_t old_{};
    bool was_pending_ = false;
};

}  // namespace ptypilot::detail

// The signals the launcher answers, turned into bytes on a pipe that the
// relay watches: the handlers only record, the relay's loop does the work.
#pragma once

#include <vector>

#include "os/self_pipe.hpp"

namespace ptypilot::launcher {

// Catches the ending signals (SIGTERM, SIGHUP, SIGINT, SIGQUIT), the stop
// signals (SIGTSTP, SIGTTIN, SIGTTOU) and SIGCONT, except those ignored at
// start, which stay ignored as the parent wanted. Each handler fires once and
// leaves the default action in place until `rearm`: a second ending signal
// ends the launcher at once, and when the kernel repeats a stop signal for a
// background process that touches the terminal again, that one stops it.
// One per process.
class signal_inbox {
public:
    signal_inbox();
    ~signal_inbox();
    signal_inbox(const signal_inbox&) = delete;
    signal_inbox& operator=(const signal_inbox&) = delete;

    int fd() const noexcept { return pipe_.read_fd(); }
    // The signals recorded since the last call, in the order they came.
    std::vector<int> take();
    // Catches `sig` again, unless it was ignored at start.
    void rearm(int sig);

private:
    detail::self_pipe pipe_;
};

bool is_ending(int sig);

// Raises `sig` with its default action: for a stop signal the launcher
// stops here and goes on when continued; an ending signal ends it, so that
// its parent sees the signal and not an exit code. A signal that was ignored
// at start is not raised.
void raise_default(int sig);

}  // namespace ptypilot::launcher

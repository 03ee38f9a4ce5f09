// SIGWINCH as a readable descriptor, for the length of a relay.
#pragma once

#include <signal.h>

#include "os/self_pipe.hpp"

namespace ptypilot::detail {

// While it lives, SIGWINCH is unblocked in the calling thread and handled by
// writing a byte to a self-pipe, whose read end the relay watches: the handler
// only records, the relay's loop does the work. The destructor puts the
// previous action and mask back. The handler is the process's, so one relay
// at a time.
class winch_pipe {
public:
    winch_pipe();
    ~winch_pipe();
    winch_pipe(const winch_pipe&) = delete;
    winch_pipe& operator=(const winch_pipe&) = delete;

    int fd() const noexcept { return pipe_.read_fd(); }
    // Empties the pipe: any number of changes is answered by one look at the
    // size.
    void take() noexcept;

private:
    self_pipe pipe_;
    int previous_fd_ = -1;
    struct sigaction previous_action_ {};
    sigset_t previous_mask_{};
};

}  // namespace ptypilot::detail

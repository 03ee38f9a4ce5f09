/// \file
/// The relay's types: what spawn::interact() takes besides the escape
/// character, and why it returns.
#pragma once

#include <functional>
#include <string>

#include <ptypilot/export.hpp>

namespace ptypilot {

/// Transforms a chunk of bytes on its way through `interact`.
using filter_function = std::function<std::string(std::string)>;

/// Why `interact` returned.
enum class interact_end {
    child_ended,  ///< the child has ended; its status is recorded
    escape,       ///< the user typed the escape character; the child may still run
    hangup,       ///< the user's terminal hung up: nobody is left to relay to
    woken,        ///< the wake descriptor turned readable and `on_wake` did not go on
};

/// What `interact` does beyond relaying, each only when asked.
struct PTYPILOT_API interact_options {
    /// Give the child the window size of the user's terminal (TIOCGWINSZ on
    /// standard input) when the relay starts or resumes and after every
    /// SIGWINCH. For the length of the call the relay handles SIGWINCH itself
    /// and puts the previous action back afterwards; one relay at a time.
    /// With the screen on, the child gets the nearest size the screen can
    /// take. A session over a descriptor that is not a terminal has no
    /// window to set: only the screen, if on, follows the user's size.
    bool follow_window_size = false;
    /// A descriptor that turns readable when the caller has something to do,
    /// such as the read end of a pipe its signal handlers write to; -1 for
    /// none. The relay does not read it: it gives the user's terminal its own
    /// mode back and calls `on_wake`, which takes what made the descriptor
    /// readable and returns true to go on in raw mode or false to end the
    /// relay. Without `on_wake` the relay ends.
    int wake_fd = -1;
    /// Called when `wake_fd` turns readable; see `wake_fd`.
    std::function<bool()> on_wake;
};

}  // namespace ptypilot

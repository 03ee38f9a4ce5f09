// Raw mode for the user's terminal, restored on every way out.
#pragma once

#include <termios.h>

#include <optional>

namespace ptypilot::detail {

class raw_mode_guard {
public:
    // Saves the mode of `fd` and switches it to raw. A descriptor that is not
    // a terminal is left alone, and so is one whose mode cannot be set.
    explicit raw_mode_guard(int fd) noexcept;
    ~raw_mode_guard() { suspend(); }
    raw_mode_guard(const raw_mode_guard&) = delete;
    raw_mode_guard& operator=(const raw_mode_guard&) = delete;

    // Gives the terminal its saved mode back for a while (the process is
    // about to stop, say).
    void suspend() noexcept;
    // Saves the mode again, which may have been changed meanwhile, and
    // switches back to raw.
    void resume() noexcept;

private:
    int fd_;
    std::optional<termios> saved_;
    bool raw_ = false;  // the terminal may hold the raw mode
};

}  // namespace ptypilot::detail

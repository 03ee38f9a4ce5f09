// Echo and window size of the child's side of the terminal.
#include <ptypilot/spawn.hpp>

#include <termios.h>
#include <unistd.h>

#include <algorithm>

#include "os/clock.hpp"
#include "os/eintr.hpp"
#include "os/system_error.hpp"
#include "session/session_state.hpp"
#include "session/timeout_arg.hpp"

namespace ptypilot {

bool spawn::getecho() const {
    termios mode{};
    detail::check(::tcgetattr(detail::open_source(*this, *state_).terminal_fd(), &mode));
    return (mode.c_lflag & ECHO) != 0;
}

void spawn::setecho(bool state) {
    const int fd = detail::open_source(*this, *state_).terminal_fd();
    termios mode{};
    detail::check(::tcgetattr(fd, &mode));
    if (state)
        mode.c_lflag |= ECHO;
    else
        mode.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    detail::check(detail::retry_eintr([&] { return ::tcsetattr(fd, TCSANOW, &mode); }));
}

bool spawn::waitnoecho(std::optional<seconds_value> timeout_arg) {
    std::optional<double> timeout_ = detail::in_seconds(timeout_arg);
    if (timeout_ && *timeout_ == -1) timeout_ = timeout;
    timeout_ = detail::checked_timeout(timeout_);
    const detail::deadline until(timeout_);
    for (;;) {
        if (!getecho()) return true;
        const auto left = until.remaining();
        if (left && !(*left > 0)) return false;
        // Looks every tenth of a second, and once more as the time runs out.
        detail::sleep_for(left ? std::min(*left, 0.1) : 0.1);
    }
}

std::pair<int, int> spawn::getwinsize() const { return detail::open_source(*this, *state_).window(); }

void spawn::setwinsize(long rows, long cols) {
    if (rows < 0 || rows > 65535 || cols < 0 || cols > 65535)
        throw std::out_of_range("setwinsize(): rows and columns must lie between 0 and 65535");
    // A size the screen cannot take is refused before the child sees it.
    detail::terminal* const screen = state_->tap ? state_->tap->screen.get() : nullptr;
    if (screen) detail::terminal::check_size(rows, cols);
    // A source without a terminal (a socket, a pipe) has no size to set:
    // the size is the screen's alone, and a screen turned on later takes it.
    detail::byte_source& source = detail::open_source(*this, *state_);
    const auto r = static_cast<unsigned short>(rows);
    const auto c = static_cast<unsigned short>(cols);
    if (closed) detail::throw_errno(EBADF);  // nothing to size, as for a descriptor of -1
    if (!source.set_window(r, c)) state_->start_window = {r, c};
    if (screen) screen->resize(static_cast<int>(rows), static_cast<int>(cols));
    if (state_->tap && state_->tap->recording)
        state_->tap->recording->resize(static_cast<int>(rows), static_cast<int>(cols));
}

}  // namespace ptypilot

#include "session/raw_mode.hpp"

#include "os/eintr.hpp"

namespace ptypilot::detail {

namespace {

// TCSADRAIN and not TCSAFLUSH: keys typed ahead, while the caller had the
// terminal (on_wake, a stop) or before the relay began, are the user's
// input for the child and must not be thrown away.
int set_mode(int fd, const termios& mode) {
    return retry_eintr([&] { return ::tcsetattr(fd, TCSADRAIN, &mode); });
}

}  // namespace

raw_mode_guard::raw_mode_guard(int fd) noexcept : fd_(fd) { resume(); }

void raw_mode_guard::resume() noexcept {
    // A restore that failed leaves raw mode in place, which must not be
    // taken for the user's own.
    if (raw_) return;
    termios mode{};
    if (::tcgetattr(fd_, &mode) != 0) return;
    saved_ = mode;
    termios raw{};
    if (::tcgetattr(fd_, &raw) != 0) return;
    raw.c_iflag &= ~static_cast<tcflag_t>(BRKINT | ICRNL | INPCK | ISTRIP | IXON);
    raw.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    raw.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB);
    raw.c_cflag |= CS8;
    raw.c_lflag &= ~static_cast<tcflag_t>(ECHO | ICANON | IEXTEN | ISIG);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    // Even a failed switch may have changed some of the mode.
    raw_ = true;
    set_mode(fd_, raw);
}

void raw_mode_guard::suspend() noexcept {
    if (raw_ && set_mode(fd_, *saved_) == 0) raw_ = false;
}

}  // namespace ptypilot::detail

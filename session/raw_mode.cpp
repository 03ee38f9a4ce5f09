#include "session/raw_mode.hpp"

#include "session/eintr.hpp"

namespace ptypilot::detail {

namespace {

int set_mode(int fd, const termios& mode) {
    return retry_eintr([&] { return ::tcsetattr(fd, TCSAFLUSH, &mode); });
}

}  // namespace

raw_mode_guard::raw_mode_guard(int fd) noexcept : fd_(fd) {
    termios mode{};
    if (::tcgetattr(fd, &mode) != 0) return;
    saved_ = mode;
    termios raw{};
    if (::tcgetattr(fd, &raw) != 0) return;
    raw.c_iflag &= ~static_cast<tcflag_t>(BRKINT | ICRNL | INPCK | ISTRIP | IXON);
    raw.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    raw.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB);
    raw.c_cflag |= CS8;
    raw.c_lflag &= ~static_cast<tcflag_t>(ECHO | ICANON | IEXTEN | ISIG);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    set_mode(fd, raw);
}

raw_mode_guard::~raw_mode_guard() {
    if (saved_) set_mode(fd_, *saved_);
}

}  // namespace ptypilot::detail

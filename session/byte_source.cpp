// What every byte source shares: the terminal on a descriptor, the relay's
// non-blocking mode, and the making of a session over a source.
#include "session/byte_source.hpp"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "os/system_error.hpp"
#include "session/session_state.hpp"

namespace ptypilot::detail {

bool byte_source::is_terminal() const noexcept { return ::isatty(terminal_fd()) == 1; }

std::pair<int, int> byte_source::window() const {
    winsize ws{};
    check(::ioctl(terminal_fd(), TIOCGWINSZ, &ws));
    return {ws.ws_row, ws.ws_col};
}

bool byte_source::set_window(unsigned short rows, unsigned short columns) {
    // A descriptor that is no terminal (a socket, a pipe) has no size to set.
    if (!is_terminal()) return false;
    winsize ws{};
    ws.ws_row = rows;
    ws.ws_col = columns;
    check(::ioctl(terminal_fd(), TIOCSWINSZ, &ws));
    return true;
}

void byte_source::hold_nonblocking(int fd, int& saved, bool on) noexcept {
    if (on) {
        saved = ::fcntl(fd, F_GETFL);
        if (saved != -1 && (saved & O_NONBLOCK) == 0) ::fcntl(fd, F_SETFL, saved | O_NONBLOCK);
        return;
    }
    if (saved != -1 && (saved & O_NONBLOCK) == 0) ::fcntl(fd, F_SETFL, saved);
    saved = -1;
}

void attach(spawn& s, std::unique_ptr<byte_source> source) noexcept {
    session_state& state = state_access::of(s);
    s.child_fd = source->input_fd();
    state.source = std::move(source);
    s.closed = false;
}

spawn session_over(std::unique_ptr<byte_source> source, const spawn_options& options) {
    spawn s(std::nullopt, options);
    attach(s, std::move(source));
    return s;
}

}  // namespace ptypilot::detail

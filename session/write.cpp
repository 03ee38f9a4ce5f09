// Writing to the child: every operation goes through send().
#include <ptypilot/spawn.hpp>

#include <termios.h>

#include "os/clock.hpp"
#include "os/system_error.hpp"
#include "session/log.hpp"
#include "session/session_state.hpp"

namespace ptypilot {

namespace {

// Control bytes for the symbols that have one.
int control_byte_of_symbol(char c) {
    switch (c) {
        case '@':
        case '`': return 0;
        case '[':
        case '{': return 27;
        case '\\':
        case '|': return 28;
        case ']':
        case '}': return 29;
        case '^':
        case '~': return 30;
        case '_': return 31;
        case '?': return 127;
        default: return -1;
    }
}

}  // namespace

long spawn::send(std::string_view s) {
    detail::byte_source& source = detail::open_source(*this, *state_);
    detail::sleep_for(delaybeforesend);
    detail::log_chunk(logfile, s);
    detail::log_chunk(logfile_send, s);
    // Written whole unless the peer ends first; then the count says how far it got.
    const ssize_t n = source.write(*this, s);
    if (n < 0) detail::throw_errno();
    if (state_->tap && state_->tap->recording)
        state_->tap->recording->input(s.substr(0, static_cast<std::size_t>(n)));
    return static_cast<long>(n);
}

long spawn::sendline(std::string_view s) {
    const long n = send(s);
    return n + send("\n");
}

void spawn::write(std::string_view s) { send(s); }

long spawn::sendcontrol(char c) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c >= 'a' && c <= 'z') return send(std::string(1, static_cast<char>(c - 'a' + 1)));
    const int byte = control_byte_of_symbol(c);
    if (byte < 0) return 0;
    return send(std::string(1, static_cast<char>(byte)));
}

void spawn::sendeof() {
    termios mode{};
    detail::check(::tcgetattr(detail::open_source(*this, *state_).terminal_fd(), &mode));
    send(std::string(1, static_cast<char>(mode.c_cc[VEOF])));
}

void spawn::sendintr() {
    termios mode{};
    detail::check(::tcgetattr(detail::open_source(*this, *state_).terminal_fd(), &mode));
    send(std::string(1, static_cast<char>(mode.c_cc[VINTR])));
}

}  // namespace ptypilot

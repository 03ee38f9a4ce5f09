// Keys, paste and clicks sent as the screen's emulator encodes them, and the
// emulator's answers to the program's queries.
#include <poll.h>

#include <ptypilot/spawn.hpp>

#include "os/eintr.hpp"
#include "screen/key_input.hpp"
#include "session/log.hpp"
#include "session/session_state.hpp"

namespace ptypilot {

namespace {

detail::terminal* screen_if_on(detail::session_state& state) {
    return state.tap ? state.tap->screen.get() : nullptr;
}

}  // namespace

long spawn::send_key(key k, modifiers m) {
    detail::terminal* screen = screen_if_on(*state_);
    return send(screen ? screen->key_bytes(k, m) : detail::normal_key_bytes(k, m));
}

long spawn::send_key(char32_t character, modifiers m) {
    detail::terminal* screen = screen_if_on(*state_);
    return send(screen ? screen->character_bytes(character, m)
                       : detail::normal_character_bytes(character, m));
}

long spawn::send_paste(std::string_view text) {
    detail::terminal* screen = screen_if_on(*state_);
    return screen ? send(screen->paste_bytes(text)) : send(text);
}

long spawn::send_click(screen_position at, mouse_button button, modifiers m) {
    return send(detail::screen_of(state_->tap, "send_click()").click_bytes(at, button, m));
}

void detail::send_answers(spawn& s, session_state& state) {
    read_tap& tap = *state.tap;
    if (!tap.screen || (!tap.screen->has_answers() && tap.unsent_answers.empty())) return;
    constexpr std::size_t most_unsent = 4096;
    std::string fresh = tap.screen->take_answers();
    if (tap.unsent_answers.size() + fresh.size() <= most_unsent) tap.unsent_answers += fresh;
    // A child that stops reading its terminal must not stop the session's
    // reads: the answers wait for room instead of the session.
    byte_source& source = open_source(s, state);
    pollfd p{source.output_fd(), POLLOUT, 0};
    if (retry_eintr([&] { return ::poll(&p, 1, 0); }) != 1 || (p.revents & POLLOUT) == 0) return;
    const ssize_t n = source.write(s, tap.unsent_answers);
    if (n <= 0) {
        tap.unsent_answers.clear();  // the child is gone, or its terminal refuses: nobody to answer
        return;
    }
    const std::string_view sent(tap.unsent_answers.data(), static_cast<std::size_t>(n));
    log_chunk(s.logfile, sent);
    log_chunk(s.logfile_send, sent);
    tap.unsent_answers.erase(0, static_cast<std::size_t>(n));
}

}  // namespace ptypilot

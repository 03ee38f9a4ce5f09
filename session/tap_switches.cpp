// Turning the screen and escape stripping on, and looking at the screen.
#include <ptypilot/spawn.hpp>

#include <system_error>
#include <utility>

#include "session/session_state.hpp"

namespace ptypilot {

detail::read_tap& detail::tap_of(session_state& state) {
    if (!state.tap) state.tap = std::make_unique<read_tap>();
    return *state.tap;
}

// Without anything to do, the tap goes, and reads are back to one test.
void detail::drop_if_idle(session_state& state) {
    if (state.tap && !state.tap->screen && !state.tap->stripper && !state.tap->recording) state.tap.reset();
}

std::pair<int, int> detail::window_of(const spawn& s, const session_state& state) {
    // The size the child's terminal has now; the one it starts with when it
    // has none (not started, closed, no size set, or not a terminal at all).
    std::pair<int, int> size(state.start_window.rows, state.start_window.columns);
    if (!s.closed) {
        try {
            const auto now = s.getwinsize();
            if (now.first > 0 && now.second > 0) size = now;
        } catch (const std::system_error&) {}
    }
    return size;
}

void spawn::enable_screen(const screen_options& options) {
    if (screen_enabled()) {
        state_->tap->screen->set_answering(options.answer_queries);
        return;
    }
    const auto size = detail::window_of(*this, *state_);
    auto screen = std::make_unique<detail::terminal>(size.first, size.second);
    screen->set_answering(options.answer_queries);
    detail::tap_of(*state_).screen = std::move(screen);
}

bool spawn::screen_enabled() const noexcept { return state_->tap && state_->tap->screen; }

screen_view spawn::screen() const {
    detail::terminal& t = detail::screen_of(state_->tap, "screen()");
    t.refresh();
    return t.view();
}

std::optional<screen_span> spawn::screen_match_span() const {
    detail::screen_of(state_->tap, "screen_match_span()");
    return state_->tap->match_span;
}

void spawn::set_escape_stripping(bool on) {
    if (on) {
        auto& tap = detail::tap_of(*state_);
        if (!tap.stripper) tap.stripper = std::make_unique<detail::escape_filter>();
    } else if (state_->tap) {
        state_->tap->stripper.reset();
        detail::drop_if_idle(*state_);
    }
}

bool spawn::escape_stripping() const noexcept { return state_->tap && state_->tap->stripper; }

}  // namespace ptypilot

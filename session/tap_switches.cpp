// Turning the screen and escape stripping on, and looking at the screen.
#include <ptypilot/spawn.hpp>

#include <system_error>
#include <utility>

#include "session/session_state.hpp"

namespace ptypilot {

namespace {

detail::read_tap& tap_of(detail::session_state& state) {
    if (!state.tap) state.tap = std::make_unique<detail::read_tap>();
    return *state.tap;
}

// Without anything to do, the tap goes, and reads are back to one test.
void drop_if_idle(detail::session_state& state) {
    if (state.tap && !state.tap->screen && !state.tap->stripper) state.tap.reset();
}

}  // namespace

void spawn::enable_screen() {
    if (screen_enabled()) return;
    // The size the child's terminal has now; the one it starts with when it
    // has none (not started, closed, no size set, or not a terminal at all).
    std::pair<int, int> size(state_->start_window.rows, state_->start_window.columns);
    if (!closed) {
        try {
            const auto now = getwinsize();
            if (now.first > 0 && now.second > 0) size = now;
        } catch (const std::system_error&) {}
    }
    auto screen = std::make_unique<detail::terminal>(size.first, size.second);
    tap_of(*state_).screen = std::move(screen);
}

bool spawn::screen_enabled() const noexcept { return state_->tap && state_->tap->screen; }

screen_view spawn::screen() const {
    detail::terminal& t = detail::screen_of(state_->tap, "screen()");
    t.refresh();
    return t.view();
}

std::optional<screen_span> spawn::screen_match_span() const {
    return state_->tap ? state_->tap->match_span : std::nullopt;
}

void spawn::set_escape_stripping(bool on) {
    if (on) {
        auto& tap = tap_of(*state_);
        if (!tap.stripper) tap.stripper = std::make_unique<detail::escape_filter>();
    } else if (state_->tap) {
        state_->tap->stripper.reset();
        drop_if_idle(*state_);
    }
}

bool spawn::escape_stripping() const noexcept { return state_->tap && state_->tap->stripper; }

}  // namespace ptypilot

// Recording a session as asciicast v2.
#include <cstdlib>

#include <ptypilot/spawn.hpp>

#include "session/session_state.hpp"

namespace ptypilot {

namespace {

// The terminal type the child was given: its own environment's, or else the
// caller's, which it inherited.
std::string term_of(const spawn& s) {
    if (s.env) {
        const auto it = s.env->find("TERM");
        return it == s.env->end() ? "" : it->second;
    }
    const char* term = std::getenv("TERM");
    return term != nullptr ? term : "";
}

template <class Target>
void start(spawn& s, detail::session_state& state, Target& target) {
    const auto [rows, columns] = detail::window_of(s, state);
    auto writer = std::make_unique<detail::asciicast_writer>(target, rows, columns, term_of(s));
    detail::tap_of(state).recording = std::move(writer);
}

}  // namespace

void spawn::start_recording(std::ostream& out) { start(*this, *state_, out); }

void spawn::start_recording(const std::string& path) { start(*this, *state_, path); }

void spawn::stop_recording() {
    if (!state_->tap) return;
    state_->tap->recording.reset();
    detail::drop_if_idle(*state_);
}

bool spawn::recording() const noexcept { return state_->tap && state_->tap->recording; }

}  // namespace ptypilot

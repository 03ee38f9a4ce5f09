// Watching and ending the peer's life: what each does is the byte source's.
#include <ptypilot/spawn.hpp>

#include "session/abandoned_children.hpp"
#include "session/session_state.hpp"

namespace ptypilot {

bool spawn::isalive() { return state_->source->alive(*this); }

std::optional<int> spawn::wait() { return state_->source->wait(*this); }

void spawn::kill(int sig) { state_->source->kill(*this, sig); }

bool spawn::terminate(bool force) { return state_->source->terminate(*this, force); }

void spawn::close(bool force) {
    if (closed) return;
    flush();
    state_->source->close(*this, force);
}

void detail::release(spawn& s, session_state& state) noexcept {
    reap_abandoned_children();
    if (s.closed) return;
    try {
        s.close();
    } catch (...) {
        // Release never reports; a failed close already did what it could.
    }
    state.source->release(s);
}

spawn::~spawn() {
    if (state_) detail::release(*this, *state_);
}

}  // namespace ptypilot

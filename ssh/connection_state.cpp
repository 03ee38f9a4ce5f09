#include "ssh/connection_state.hpp"

#include "os/clock.hpp"

namespace ptypilot::ssh::detail {

connection_state::~connection_state() {
    // The event holds the session's poll handle: it lets go of it first.
    if (event && session) ssh_event_remove_session(event.get(), session.get());
    event.reset();
}

void connection_state::pump() noexcept {
    if (lost || !event) return;
    (void)ssh_event_dopoll(event.get(), 0);
    if (!ssh_is_connected(session.get())) lost = true;
}

int connection_state::socket() const noexcept {
    if (lost || !session || !ssh_is_connected(session.get())) return -1;
    return ssh_get_fd(session.get());
}

void connection_state::saw_traffic() noexcept { last_activity = ptypilot::detail::now(); }

double connection_state::keepalive_in() const noexcept {
    if (keepalive_interval <= 0) return ptypilot::detail::longest_limit;
    const double left = last_activity + keepalive_interval - ptypilot::detail::now();
    return left > 0 ? left : 0;
}

// An ignored message asks for no answer; what notices a peer that is gone
// is the kernel, which gives up on data left unacknowledged for the
// keepalive interval times the count (TCP_USER_TIMEOUT, set at connect).
void connection_state::keepalive_if_due() noexcept {
    if (lost || keepalive_interval <= 0 || keepalive_in() > 0) return;
    if (ssh_send_ignore(session.get(), "") != SSH_OK) lost = true;
    saw_traffic();
}

std::string connection_state::error_text(const std::string& what) const {
    const char* text = session ? ssh_get_error(session.get()) : "";
    std::string message = what + " (" + name + ")";
    if (text && *text) message += ": " + std::string(text);
    return message;
}

}  // namespace ptypilot::ssh::detail

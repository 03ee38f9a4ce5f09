// What a connection and its channels share: the libssh session, and what
// keeping it alive needs.
#pragma once

#include <string>

#include <ptypilot/ssh.hpp>

#include "ssh/handles.hpp"

namespace ptypilot::ssh::detail {

struct connection_state {
    // Channels hold the state through a shared pointer, so the session,
    // which frees its channels with itself, outlives every one of them.
    session_ptr session;
    // Handles what has arrived on the socket without a channel read asking
    // for it: after a channel's end of file its end (exit-status, close)
    // still comes, and a channel read no longer takes packets then.
    event_ptr event;
    std::string name;               // "user@host:port", for messages
    double keepalive_interval = 0;  // seconds; 0: none
    double last_activity = 0;       // monotonic seconds of the last traffic seen or sent
    // Set once the connection is known to be gone (a read or write failed,
    // or disconnect()): its channels are at end of file from then on.
    bool lost = false;
    // Channels open on it now, for the message when the server refuses one more.
    int channels = 0;

    connection_state() = default;
    connection_state(const connection_state&) = delete;
    connection_state& operator=(const connection_state&) = delete;
    ~connection_state();

    // Takes in and handles whatever has arrived, without waiting; marks the
    // connection lost when it has failed.
    void pump() noexcept;
    // The socket libssh reads; -1 once the connection is gone.
    int socket() const noexcept;
    // Sends a keepalive when the connection has been silent for the
    // interval; marks it lost when that fails.
    void keepalive_if_due() noexcept;
    // Seconds until the next keepalive is due (none without keepalives).
    double keepalive_in() const noexcept;
    // Notes traffic: the next keepalive is an interval from now.
    void saw_traffic() noexcept;
    // The text of libssh's last error on this session, after `what`.
    std::string error_text(const std::string& what) const;
};

}  // namespace ptypilot::ssh::detail

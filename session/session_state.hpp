// What a session keeps to itself: its byte source and what its reads
// remember. The public fields (child_fd, pid, ...) are what callers see;
// these are what the session needs to keep its promises.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include <ptypilot/spawn.hpp>

#include "os/clock.hpp"
#include "session/byte_source.hpp"
#include "session/read_tap.hpp"

namespace ptypilot::detail {

struct session_state {
    // Where the bytes come from and go to: a child on a pty (not started
    // yet until the start), a caller's descriptor, or any other source.
    // Never empty.
    std::unique_ptr<byte_source> source = unstarted_child();
    // "<ptypilot.spawn object at 0x...>", fixed when the session is made:
    // it names the session, wherever the object is moved.
    std::string identity;
    // The size of the child's terminal when it starts, and of the screen of
    // a source without a terminal.
    window_size start_window;

    // Where the last expect call that ended without an outcome stopped: its
    // strategy had searched the first `searched` bytes of `buffer` (all of
    // it) without a match. A call with the same strategy on the same buffer
    // goes on from there instead of searching it all again. Held weakly: a
    // strategy freed since cannot pass for a new one made at its address.
    std::weak_ptr<const search_strategy> searched_by;
    std::size_t searched = 0;
    std::optional<long> searched_window;

    // The descriptor read is readable this moment (a session group's epoll
    // set has just said so): the next read takes it without waiting first.
    bool input_ready = false;

    // The screen and escape stripping; empty while neither was asked for.
    std::unique_ptr<read_tap> tap;
};

// The private state of a session, for the parts that work on several
// sessions at once.
struct state_access {
    static session_state& of(spawn& s) { return *s.state_; }
};

// Whether the session has a child that has not been reaped yet.
inline bool child_running(const spawn& s, const session_state& state) {
    return state.source->has_child() && s.pid && !s.terminated;
}

// Without a pidfd (a kernel before 5.3, or a sandbox that refuses
// pidfd_open) nothing turns readable when the child ends while a process it
// left keeps the terminal open: every wait then looks at the child's state
// this often (seconds), so that its end is noticed about as soon.
inline constexpr double end_check_interval = 0.05;

// What releasing a session (its destructor, or a move onto it) does: close
// it, reporting nothing, and leave a child that has not ended even so to be
// reaped later rather than stay a zombie.
void release(spawn& s, session_state& state) noexcept;

// The identity text of a session made at `address`.
std::string identity_of(const void* address);

// The session's source, for an operation on it (whose own call refuses a
// session never started or closed: its descriptors are -1 then). Throws
// once a close() that could not end the child has released the terminal:
// the number may belong to someone else by then.
byte_source& open_source(const spawn& s, const session_state& state);

}  // namespace ptypilot::detail

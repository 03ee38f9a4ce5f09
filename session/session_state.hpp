// What a session keeps to itself: the descriptors it owns and its scratch
// space. The public fields (child_fd, pid, ...) are what callers see; these
// are what the session needs to keep its promises.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <ptypilot/spawn.hpp>

#include "session/clock.hpp"
#include "session/read_tap.hpp"
#include "session/unique_fd.hpp"

namespace ptypilot::detail {

struct session_state {
    // The parent side of the pty, whose number child_fd shows. Empty before
    // the start and once released, so that a number that may belong to
    // someone else by then is never closed again.
    unique_fd master;
    // Turns readable when the child ends; empty without one. Kept after the
    // child is reaped (it names that process, never one that reuses its
    // pid) until close(), so that the descriptors an event loop registered
    // (wait_descriptors()) keep their numbers for as long as the session.
    unique_fd pidfd;
    // Reused by every read, so that a large maxread costs nothing per read.
    std::vector<char> scratch;
    // "<ptypilot.spawn object at 0x...>", fixed when the session is made:
    // it names the session, wherever the object is moved.
    std::string identity;
    // The size of the child's terminal when it starts.
    window_size start_window;

    // A session over descriptors the caller gave: there is no child, and
    // `master` holds the descriptor read (whatever it is, a pty or not).
    bool no_child = false;
    // The descriptor written to when it is not the one read (a pipe pair).
    unique_fd write_end;
    // close() gives the caller's descriptors back instead of closing them.
    bool leave_open = false;

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
    return !state.no_child && s.pid && !s.terminated;
}

// The descriptor that sends go to: the write end of a pipe pair, otherwise
// the one read.
int write_fd(const spawn& s, const session_state& state);

// Without a pidfd (a kernel before 5.3, or a sandbox that refuses
// pidfd_open) nothing turns readable when the child ends while a process it
// left keeps the terminal open: every wait then looks at the child's state
// this often (seconds), so that its end is noticed about as soon.
inline constexpr double end_check_interval = 0.05;

// Whether the child has ended (or can no longer be waited on), without
// reaping it: the caller's liveness check records the end.
bool child_has_ended(const spawn& s) noexcept;

// Waits until the child ends or `until` passes (no limit: until it ends),
// looking at least once, without reaping it; whether it has ended (or can
// no longer be waited on).
bool await_end(spawn& s, session_state& state, const deadline& until);

// What releasing a session (its destructor, or a move onto it) does: close
// it, reporting nothing, and leave a child that has not ended even so to be
// reaped later rather than stay a zombie.
void release(spawn& s, session_state& state) noexcept;

// The identity text of a session made at `address`.
std::string identity_of(const void* address);

// The descriptor an operation on the session's pty uses: child_fd (-1 on a
// session that was never started or is closed, which the operation's own
// call then refuses). Throws once a close() that could not end the child has
// released the pty: the number may belong to someone else by then.
int pty_fd(const spawn& s, const session_state& state);

}  // namespace ptypilot::detail

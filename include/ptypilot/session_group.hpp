/// \file
/// A lasting group of sessions waited on together: each joins once with
/// what to wait for, and every wait costs in proportion to the sessions that
/// have something to report, not to the size of the group.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include <ptypilot/export.hpp>
#include <ptypilot/expect_input.hpp>
#include <ptypilot/expect_many.hpp>
#include <ptypilot/searcher.hpp>
#include <ptypilot/seconds.hpp>
#include <ptypilot/spawn.hpp>

namespace ptypilot {

/// How the wait of one session in a group ended.
enum class group_status {
    /// A pattern matched (`index` is its list position).
    matched,
    /// End of file: the session has left the group.
    eof,
    /// Its time-out passed.
    timeout,
    /// Any other error; `error` holds it.
    error,
};

/// What one session of a session_group reached. The session's `before`,
/// `after`, `match`, `match_index` and `buffer` are set exactly as
/// spawn::expect() sets them for the same outcome.
struct PTYPILOT_API group_outcome {
    /// The key the session joined with.
    std::uint64_t key;
    /// The session; not owned.
    spawn* session;
    /// List position as spawn::expect() returns it: a pattern, or where
    /// sentinel::eof or sentinel::timeout is listed; -1 for an end of file
    /// or a time-out that the list does not name, and for an error.
    int index;
    /// Which kind of outcome it is.
    group_status status;
    /// What spawn::expect() would have thrown: EOF_ or TIMEOUT (with the
    /// session's text dump) when the list does not name them, the error
    /// itself for group_status::error; empty otherwise.
    std::exception_ptr error;
};

/// Sessions that join once and are waited on together, over one epoll
/// descriptor (close-on-exec) in which each session's descriptors are
/// registered when it joins.
///
/// Each session waits for its own pattern list with its own time-out,
/// counted from when the list was set (add(), set_patterns(), rearm()), not
/// from the start of a wait: a chatty neighbour cannot keep a quiet
/// session's time-out from passing. Once it has reached an outcome a session
/// rests (stays in the group, waits for nothing) until set_patterns() or
/// rearm() gives it the next thing to wait for; after end of file it leaves
/// the group, so a finished session is reported once. End of file, the
/// time-out and any error are outcomes of that session alone: the others
/// keep waiting and keep all their text.
///
/// A wait serves every ready session with one read (at most its `maxread`
/// bytes) and a search per round: a flood from one session never keeps the
/// others waiting, and no pause follows a read (`delayafterread` does not
/// apply). Time-outs wait in a heap; the end of a child is waited on
/// through its pidfd, and where the system refuses pidfds the group looks
/// at such children every 0.1 s.
///
/// Between waits each session's text not yet matched is in its `buffer`,
/// as after an expect call that ended without an outcome: the caller may
/// send to any session, and read its fields. A session must stay where it is
/// (not be moved, destroyed or closed) while it is in a group: remove() it
/// first. One group belongs to one thread; a session belongs to one group.
///
/// Descriptors: the group holds one; a session with a child holds two (its
/// terminal and its pidfd), a session over descriptors one or two. The
/// library never raises the process's limit on open descriptors (often a
/// soft limit of 1024); a program that drives thousands of sessions raises
/// its own with setrlimit(RLIMIT_NOFILE) up to the hard limit.
class PTYPILOT_API session_group {
public:
    /// An empty group; throws std::system_error when the system refuses an
    /// epoll descriptor.
    session_group();
    /// Closes the group's descriptor; the sessions are not touched.
    ~session_group();
    /// Groups move; the sessions stay with the group moved to.
    session_group(session_group&&) noexcept;
    /// Drops this group's sessions (untouched) and takes `other`'s.
    session_group& operator=(session_group&&) noexcept;
    session_group(const session_group&) = delete;
    session_group& operator=(const session_group&) = delete;

    /// Adds `session` under `key`, waiting for `patterns` (compiled at once
    /// for it, as spawn::expect() takes them). `timeout`: -1 the session's
    /// `timeout`, no value no limit; `searchwindowsize`: -1 the session's.
    /// Throws std::invalid_argument when the key or the session is in the
    /// group already, or the session is not open. The group holds the
    /// session by its address: it must stay where it is while it belongs
    /// (reserve() a std::vector of sessions before adding them).
    void add(std::uint64_t key, spawn& session, const pattern_input& patterns,
             std::optional<seconds_value> timeout = seconds_value(-1),
             std::optional<long> searchwindowsize = -1);
    /// The same with any search strategy; a strategy serves one session (the
    /// group refuses one that another of its sessions uses), and searches go
    /// on across waits where the last one stopped.
    void add(std::uint64_t key, spawn& session, std::shared_ptr<search_strategy> searcher,
             std::optional<seconds_value> timeout = seconds_value(-1),
             std::optional<long> searchwindowsize = -1);

    /// Takes the session under `key` out of the group (its fields and
    /// `buffer` as they are); false when no session has that key.
    bool remove(std::uint64_t key);

    /// Makes the session under `key` wait for `patterns` from now on, with a
    /// time-out counted from now; its buffer is searched first. Throws
    /// std::out_of_range for an unknown key.
    void set_patterns(std::uint64_t key, const pattern_input& patterns,
                      std::optional<seconds_value> timeout = seconds_value(-1),
                      std::optional<long> searchwindowsize = -1);
    /// The same with any search strategy.
    void set_patterns(std::uint64_t key, std::shared_ptr<search_strategy> searcher,
                      std::optional<seconds_value> timeout = seconds_value(-1),
                      std::optional<long> searchwindowsize = -1);
    /// Makes the session under `key` wait again for the patterns it has, with
    /// a time-out counted from now (-1: the session's `timeout`). Throws
    /// std::out_of_range for an unknown key.
    void rearm(std::uint64_t key, std::optional<seconds_value> timeout = seconds_value(-1));

    /// Waits until at least one session reaches an outcome, or `timeout`
    /// passes (no value: no limit), and returns the outcomes of the round in
    /// which the first came (none when the wait's own time ran out or no
    /// session waits for anything). A signal does not end the wait.
    std::vector<group_outcome> wait(std::optional<seconds_value> timeout = std::nullopt);

    /// Whether a session of the group has `key`.
    bool contains(std::uint64_t key) const;
    /// The session under `key`; throws std::out_of_range for an unknown key.
    spawn& session(std::uint64_t key) const;
    /// How many sessions are in the group.
    std::size_t size() const noexcept;
    /// How many of them wait for something (have no outcome yet).
    std::size_t waiting() const noexcept;

    friend std::vector<group_outcome> expect_all(session_group& group, std::optional<seconds_value> timeout);

private:
    struct impl;
    std::unique_ptr<impl> impl_;
};

/// Waits until every session of `group` that waits for something has
/// reached an outcome, within one overall `timeout` (no value: no limit),
/// and returns all the outcomes in the order they came. When the overall
/// time runs out, every session still waiting gets one last look at what
/// has arrived and then its time-out outcome, as if its own time-out had
/// passed.
PTYPILOT_API std::vector<group_outcome> expect_all(session_group& group,
                                                   std::optional<seconds_value> timeout = std::nullopt);

/// expect_all() over a list, through a group made for the call: every
/// target's session waits for its patterns with its time-out (counted from
/// now), and each outcome's `key` is its target's position in the list.
/// Throws std::invalid_argument as expect_many() does.
PTYPILOT_API std::vector<group_outcome> expect_all(std::span<const expect_target> targets,
                                                   std::optional<seconds_value> timeout = std::nullopt);

}  // namespace ptypilot

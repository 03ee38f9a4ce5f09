/// \file
/// One wait over many sessions: each with its own pattern list, all waited
/// on in one ppoll, and the outcome of every session that reached one.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include <ptypilot/expect_input.hpp>
#include <ptypilot/export.hpp>
#include <ptypilot/searcher.hpp>
#include <ptypilot/seconds.hpp>
#include <ptypilot/spawn.hpp>

namespace ptypilot {

/// One session of expect_many() and what to wait for in its output.
struct PTYPILOT_API expect_target {
    /// Patterns as spawn::expect() takes them, compiled at once for `session`
    /// (its `ignorecase` applies). `timeout`: -1 is the session's `timeout`,
    /// no value no limit; `searchwindowsize` -1 is the session's.
    expect_target(spawn& session, const pattern_input& patterns,
                  std::optional<seconds_value> timeout = seconds_value(-1),
                  std::optional<long> searchwindowsize = -1);
    /// Any search strategy, as spawn::expect_loop() takes one (a
    /// searcher_string for plain strings). A strategy keeps the state of the
    /// text it searched: each session needs its own. Given to the same
    /// session call after call, it lets a regex search go on where the last
    /// call stopped.
    expect_target(spawn& session, std::shared_ptr<search_strategy> searcher,
                  std::optional<seconds_value> timeout = seconds_value(-1),
                  std::optional<long> searchwindowsize = -1);

    /// The session; not owned.
    spawn* session;
    /// The strategy that searches its output.
    std::shared_ptr<search_strategy> searcher;
    /// Its own time-out in seconds, counted from the start of each
    /// expect_many() call: -1 the session's `timeout`, no value no limit.
    std::optional<double> timeout;
    /// Its search window: -1 the session's `searchwindowsize`, no value none.
    std::optional<long> searchwindowsize;
};

/// A session that reached an outcome in expect_many().
struct PTYPILOT_API expect_outcome {
    /// Position of its target in the list given to expect_many().
    std::size_t session;
    /// List position of the entry satisfied, as spawn::expect() returns it:
    /// a pattern, or sentinel::eof or sentinel::timeout where listed.
    int index;
};

/// Waits on all `targets` at once and returns, in the order of the list,
/// every session that reached an outcome: for each, `before`, `after`,
/// `match`, `match_index` and `buffer` are set exactly as spawn::expect()
/// sets them. The sessions with no outcome keep every field but `buffer`,
/// which holds all the text read for them; the next call searches it first.
///
/// Each session's buffer is searched first; then every round waits on all the
/// remaining sessions in one ppoll and serves each ready one with one read
/// (at most its `maxread` bytes) and a search, in an order that starts at a
/// different place in the list on every call and rotates from round to
/// round. The call returns after the first round in which any
/// session reached an outcome, with the outcomes of that whole round: a
/// chatty session cannot keep a quiet one waiting, since every ready session
/// is served once per round and every outcome reported. When a buffer already
/// held a match, the round only looks (no wait) at the others.
///
/// End of file and the time-out follow each session's own pattern list and
/// time-out, as in spawn::expect(): listed, they are that session's outcome;
/// not listed, the call throws EOF_ or TIMEOUT (with "\n" and that session's
/// text dump, which names it), after which the other sessions keep all their
/// text in `buffer` and their other fields untouched; so do they when any
/// other error ends the call. There is no pause after reads
/// (`delayafterread` does not apply). A session that met end of file before
/// and whose child closed its terminal but runs on reports end of file again
/// instead of waiting for the child.
///
/// Throws std::invalid_argument when a session or a strategy appears twice,
/// or a target has none. An empty list returns at once with no outcome.
PTYPILOT_API std::vector<expect_outcome> expect_many(std::span<const expect_target> targets);
/// The same with the targets written in braces.
PTYPILOT_API std::vector<expect_outcome> expect_many(std::initializer_list<expect_target> targets);

}  // namespace ptypilot

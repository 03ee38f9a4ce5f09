/// \file
/// Run a command to its end under a pseudo-terminal, answering prompts from a
/// table of events, and return what it printed.
#pragma once

#include <any>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include <ptypilot/export.hpp>
#include <ptypilot/pattern.hpp>
#include <ptypilot/seconds.hpp>
#include <ptypilot/spawn.hpp>

namespace ptypilot {

struct run_state;

/// What a callback returns: text to send to the child, or true to end the run
/// (false goes on).
using callback_value = std::variant<std::string, bool>;
/// A response that calls back: it is given the run's working state and says
/// what to do next.
using callback = std::function<callback_value(run_state&)>;

/// What is done when an event's pattern is seen: send text, or call back.
using response = std::variant<std::string, callback>;

/// One entry of the table of events: each time `when` is seen, `then` is done.
struct PTYPILOT_API event {
    pattern when;   ///< The pattern to wait for: a regex source, a compiled regex or a sentinel.
    response then;  ///< Text sent to the child as it stands, or the callback called.
};
/// The table of events of a run, in order: of two patterns that match at the
/// same place, the one listed first wins.
using event_list = std::vector<event>;

/// The working state of one run, as a callback sees it. `child` and
/// `child_result_list` are the live objects: a callback may drive the session
/// itself and add to the output.
struct PTYPILOT_API run_state {
    /// The command line given to run().
    const std::string& command;
    /// The time-out given to run(), in seconds (-1: the session's default).
    std::optional<double> timeout;
    /// Whether run() returns the exit status too.
    bool withexitstatus;
    /// The table of events given to run().
    const std::optional<event_list>& events;
    /// The caller's own data for its callbacks, as given to run().
    std::any& extra_args;
    /// The session's log stream given to run() (not owned; null: none).
    std::ostream* logfile;
    /// The child's working directory given to run().
    const std::optional<std::string>& cwd;
    /// The child's environment given to run().
    const std::optional<env_map>& env;
    /// The session running the command.
    spawn& child;
    /// The events' patterns, in order; no value without events.
    std::optional<pattern_list> patterns;
    /// The events' responses, in the same order as `patterns`.
    std::optional<std::vector<response>> responses;
    /// The output so far, in the pieces that run() joins at the end.
    std::vector<std::string>& child_result_list;
    /// Events handled so far; one whose callback ends the run is not counted.
    int event_count = 0;
    /// List position of the event being handled, as the last expect call returned it.
    int index = -1;
    /// What the last callback returned; no value before the first.
    std::optional<callback_value> callback_result;
};

/// Selects the form of run() that also returns the exit status.
struct PTYPILOT_API withexitstatus_t {
    /// Explicit, so that `{}` cannot stand for it.
    explicit withexitstatus_t() = default;
};
/// Pass to run() for the output and the exit status: `run(command, withexitstatus)`.
inline constexpr withexitstatus_t withexitstatus{};

/// Everything the command printed up to its end of file (or a time-out).
/// `timeout` limits each wait for the next event: -1 keeps the session's
/// default, no value waits without limit.
///
/// The command line is split into words and started as spawn does, with
/// `logfile`, `cwd` and `env`. Each time the pattern of an entry of `events`
/// is seen, its text is sent or its callback called with the run_state, whose
/// `extra_args` is the caller's own; a callback returning true ends the run.
/// End of file and a time-out end the run normally; any other error (of the
/// start, a send or a callback, or a null callback) reaches the caller.
PTYPILOT_API std::string run(const std::string& command, std::optional<double> timeout = -1,
                             std::optional<event_list> events = std::nullopt, std::any extra_args = {},
                             std::ostream* logfile = nullptr, std::optional<std::string> cwd = std::nullopt,
                             std::optional<env_map> env = std::nullopt);

/// The same, with the exit status (no value for a child ended by a signal).
/// Before it returns, the session is closed, which ends a child that still
/// runs.
PTYPILOT_API std::pair<std::string, std::optional<int>> run(const std::string& command,
                                                            std::optional<double> timeout, withexitstatus_t,
                                                            std::optional<event_list> events = std::nullopt,
                                                            std::any extra_args = {},
                                                            std::ostream* logfile = nullptr,
                                                            std::optional<std::string> cwd = std::nullopt,
                                                            std::optional<env_map> env = std::nullopt);

/// The same with the session's default time-out, answering `events`.
PTYPILOT_API std::string run(const std::string& command, event_list events, std::any extra_args = {},
                             std::ostream* logfile = nullptr, std::optional<std::string> cwd = std::nullopt,
                             std::optional<env_map> env = std::nullopt);

/// The output and the exit status, with the session's default time-out.
PTYPILOT_API std::pair<std::string, std::optional<int>> run(const std::string& command, withexitstatus_t,
                                                            std::optional<event_list> events = std::nullopt,
                                                            std::any extra_args = {},
                                                            std::ostream* logfile = nullptr,
                                                            std::optional<std::string> cwd = std::nullopt,
                                                            std::optional<env_map> env = std::nullopt);

/// Both forms with a std::chrono duration as the time-out: this one returns
/// the output.
template <class Rep, class Period>
std::string run(const std::string& command, std::chrono::duration<Rep, Period> timeout,
                std::optional<event_list> events = std::nullopt, std::any extra_args = {},
                std::ostream* logfile = nullptr, std::optional<std::string> cwd = std::nullopt,
                std::optional<env_map> env = std::nullopt) {
    return run(command, std::optional<double>(to_seconds(timeout)), std::move(events), std::move(extra_args),
               logfile, std::move(cwd), std::move(env));
}
/// Both forms with a std::chrono duration as the time-out: this one returns
/// the output and the exit status.
template <class Rep, class Period>
std::pair<std::string, std::optional<int>> run(const std::string& command,
                                               std::chrono::duration<Rep, Period> timeout, withexitstatus_t,
                                               std::optional<event_list> events = std::nullopt,
                                               std::any extra_args = {}, std::ostream* logfile = nullptr,
                                               std::optional<std::string> cwd = std::nullopt,
                                               std::optional<env_map> env = std::nullopt) {
    return run(command, std::optional<double>(to_seconds(timeout)), withexitstatus, std::move(events),
               std::move(extra_args), logfile, std::move(cwd), std::move(env));
}

}  // namespace ptypilot

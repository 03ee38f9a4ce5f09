// Run a command to its end under a pseudo-terminal, answering prompts from a
// table of events, and return what it printed.
#pragma once

#include <any>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include <ptypilot/pattern.hpp>
#include <ptypilot/seconds.hpp>
#include <ptypilot/spawn.hpp>

namespace ptypilot {

struct run_state;

// What a callback returns: text to send to the child, or true to end the run
// (false goes on).
using callback_value = std::variant<std::string, bool>;
using callback = std::function<callback_value(run_state&)>;

// What is done when an event's pattern is seen: send text, or call back.
using response = std::variant<std::string, callback>;

struct event {
    pattern when;
    response then;
};
using event_list = std::vector<event>;

// The working state of one run, as a callback sees it. `child` and
// `child_result_list` are the live objects: a callback may drive the session
// itself and add to the output.
struct run_state {
    const std::string& command;
    std::optional<double> timeout;
    bool withexitstatus;
    const std::optional<event_list>& events;
    std::any& extra_args;
    std::ostream* logfile;
    const std::optional<std::string>& cwd;
    const std::optional<env_map>& env;
    spawn& child;
    std::optional<pattern_list> patterns;
    std::optional<std::vector<response>> responses;
    std::vector<std::string>& child_result_list;
    int event_count = 0;
    int index = -1;
    std::optional<callback_value> callback_result;
};

// Selects the form of run() that also returns the exit status.
struct withexitstatus_t {
    explicit withexitstatus_t() = default;
};
inline constexpr withexitstatus_t withexitstatus{};

// Everything the command printed up to its end of file (or a time-out).
// `timeout` limits each wait for the next event: -1 keeps the session's
// default, no value waits without limit.
std::string run(const std::string& command, std::optional<double> timeout = -1,
                std::optional<event_list> events = std::nullopt, std::any extra_args = {},
                std::ostream* logfile = nullptr, std::optional<std::string> cwd = std::nullopt,
                std::optional<env_map> env = std::nullopt);

// The same, with the exit status (no value for a child ended by a signal).
std::pair<std::string, std::optional<int>> run(const std::string& command, std::optional<double> timeout,
                                               withexitstatus_t,
                                               std::optional<event_list> events = std::nullopt,
                                               std::any extra_args = {}, std::ostream* logfile = nullptr,
                                               std::optional<std::string> cwd = std::nullopt,
                                               std::optional<env_map> env = std::nullopt);

// The same with the session's default time-out, answering `events`.
std::string run(const std::string& command, event_list events, std::any extra_args = {},
                std::ostream* logfile = nullptr, std::optional<std::string> cwd = std::nullopt,
                std::optional<env_map> env = std::nullopt);

// The output and the exit status, with the session's default time-out.
std::pair<std::string, std::optional<int>> run(const std::string& command, withexitstatus_t,
                                               std::optional<event_list> events = std::nullopt,
                                               std::any extra_args = {}, std::ostream* logfile = nullptr,
                                               std::optional<std::string> cwd = std::nullopt,
                                               std::optional<env_map> env = std::nullopt);

// Both forms with a std::chrono duration as the time-out.
template <class Rep, class Period>
std::string run(const std::string& command, std::chrono::duration<Rep, Period> timeout,
                std::optional<event_list> events = std::nullopt, std::any extra_args = {},
                std::ostream* logfile = nullptr, std::optional<std::string> cwd = std::nullopt,
                std::optional<env_map> env = std::nullopt) {
    return run(command, std::optional<double>(to_seconds(timeout)), std::move(events), std::move(extra_args),
               logfile, std::move(cwd), std::move(env));
}
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

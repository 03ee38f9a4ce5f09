// Running a command to its end, answering prompts on the way.
#include <ptypilot/run.hpp>

#include <iostream>
#include <memory>

namespace ptypilot {

namespace {

std::pair<std::string, std::optional<int>> run_to_end(const std::string& command,
                                                      std::optional<double> timeout, bool with_status,
                                                      const std::optional<event_list>& events,
                                                      std::any& extra_args, std::ostream* logfile,
                                                      const std::optional<std::string>& cwd,
                                                      const std::optional<env_map>& env) {
    // -1 leaves the session's own default in force.
    const std::optional<double> session_timeout = timeout && *timeout == -1 ? defaults::timeout : timeout;
    const auto child = std::make_unique<spawn>(command, std::vector<std::string>{}, session_timeout,
                                               defaults::maxread, std::nullopt, logfile, cwd, env);

    std::vector<std::string> pieces;
    run_state state{command, timeout,      with_status,  events, extra_args, logfile, cwd,         env,
                    *child,  std::nullopt, std::nullopt, pieces, 0,          -1,      std::nullopt};
    if (events) {
        state.patterns.emplace();
        state.responses.emplace();
        for (const auto& e : *events) {
            state.patterns->push_back(e.when);
            state.responses->push_back(e.then);
        }
    }
    const pattern_list no_patterns;
    // The list is compiled once for the whole run, not once per event.
    const compiled_pattern_list compiled =
        child->compile_pattern_list(state.patterns ? *state.patterns : no_patterns);

    // After a time-out event the text it saw stays in the buffer, to come
    // again in `before` of whatever ends the next wait: it is kept once,
    // then, unless the run ends first or a callback took it from the buffer.
    std::string unreported;
    auto keep = [&](const std::string& piece) {
        if (piece.compare(0, unreported.size(), unreported) != 0) pieces.push_back(unreported);
        unreported.clear();
        pieces.push_back(piece);
    };
    try {
        for (;;) {
            state.index = child->expect_list(compiled);
            const auto* after_text = std::get_if<std::string>(&child->after);
            const auto* reached = std::get_if<sentinel>(&child->after);
            const bool at_end = reached != nullptr && *reached == sentinel::eof;
            if (reached != nullptr && *reached == sentinel::timeout)
                unreported = *child->before;
            else
                keep(after_text ? *child->before + *after_text : *child->before);

            const response& r = (*state.responses)[static_cast<std::size_t>(state.index)];
            if (const auto* text = std::get_if<std::string>(&r)) {
                child->send(*text);
            } else if (const auto& cb = std::get<callback>(r)) {
                state.callback_result = cb(state);
                std::cout.flush();
                if (const auto* reply = std::get_if<std::string>(&*state.callback_result)) {
                    child->send(*reply);
                } else if (std::get<bool>(*state.callback_result)) {
                    break;
                }
            } else {
                throw std::invalid_argument("The callback must be a string or function type.");
            }
            // A callback may have taken the text from the buffer itself.
            if (child->buffer.compare(0, unreported.size(), unreported) != 0) {
                pieces.push_back(unreported);
                unreported.clear();
            }
            ++state.event_count;
            // Nothing can follow end of file; waiting again would only meet
            // it again, for ever.
            if (at_end) break;
        }
        if (!unreported.empty()) pieces.push_back(unreported);
    } catch (const EOF_&) {
        keep(*child->before);
    } catch (const TIMEOUT&) {
        keep(*child->before);
    }

    std::string output;
    for (const auto& p : pieces) output += p;
    if (!with_status) return {std::move(output), std::nullopt};
    child->close();
    return {std::move(output), child->exitstatus};
}

}  // namespace

std::string run(const std::string& command, std::optional<double> timeout, std::optional<event_list> events,
                std::any extra_args, std::ostream* logfile, std::optional<std::string> cwd,
                std::optional<env_map> env) {
    return run_to_end(command, timeout, false, events, extra_args, logfile, cwd, env).first;
}

std::pair<std::string, std::optional<int>> run(const std::string& command, std::optional<double> timeout,
                                               withexitstatus_t, std::optional<event_list> events,
                                               std::any extra_args, std::ostream* logfile,
                                               std::optional<std::string> cwd, std::optional<env_map> env) {
    return run_to_end(command, timeout, true, events, extra_args, logfile, cwd, env);
}

std::string run(const std::string& command, event_list events, std::any extra_args, std::ostream* logfile,
                std::optional<std::string> cwd, std::optional<env_map> env) {
    return run(command, -1, std::move(events), std::move(extra_args), logfile, std::move(cwd),
               std::move(env));
}

std::pair<std::string, std::optional<int>> run(const std::string& command, withexitstatus_t,
                                               std::optional<event_list> events, std::any extra_args,
                                               std::ostream* logfile, std::optional<std::string> cwd,
                                               std::optional<env_map> env) {
    return run(command, -1, withexitstatus, std::move(events), std::move(extra_args), logfile, std::move(cwd),
               std::move(env));
}

}  // namespace ptypilot

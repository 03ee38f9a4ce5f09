// Running a command to its end, answering prompts on the way.
#include <ptypilot/run.hpp>

#include <algorithm>
#include <iostream>
#include <memory>

namespace ptypilot {

namespace {

// What a callback did to the buffer, which held `had` with its first
// `reported` bytes in the output already: bytes it took from the front that
// the output lacks are kept now, as the child wrote them. Returns how many
// bytes at the front of what it left (`now`) are in the output.
std::size_t settle_callback(const std::string& had, const std::string& now, std::size_t reported,
                            std::vector<std::string>& pieces) {
    if (now == had) return reported;
    if (now.size() <= had.size() && had.compare(had.size() - now.size(), now.size(), now) == 0) {
        const std::size_t taken = had.size() - now.size();
        if (taken > reported) pieces.push_back(had.substr(reported, taken - reported));
        return reported - std::min(reported, taken);
    }
    // Taken from elsewhere (or replaced by a read of its own): what is left
    // of the reported bytes is what of them still leads, in their order.
    std::size_t kept = 0;
    for (std::size_t i = 0; i < reported && kept < now.size(); ++i)
        if (had[i] == now[kept]) ++kept;
    return kept;
}

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

    // `reported` counts the bytes at the front of the session's buffer that
    // are in the output already: a time-out event puts the text it saw there
    // at once, though the text stays in the buffer for the callback and the
    // next wait, whose pieces then leave it out. Every byte read reaches the
    // output once.
    std::size_t reported = 0;
    // A piece the session took from the front of its buffer (and beyond).
    auto keep = [&](const std::string& piece) {
        const std::size_t seen = std::min(reported, piece.size());
        reported -= seen;
        if (seen < piece.size()) pieces.push_back(piece.substr(seen));
    };
    try {
        for (;;) {
            state.index = child->expect_list(compiled);
            const auto* after_text = std::get_if<std::string>(&child->after);
            const auto* reached = std::get_if<sentinel>(&child->after);
            const bool at_end = reached != nullptr && *reached == sentinel::eof;
            keep(after_text ? *child->before + *after_text : *child->before);
            if (reached != nullptr && *reached == sentinel::timeout) reported = child->buffer.size();

            const response& r = (*state.responses)[static_cast<std::size_t>(state.index)];
            if (const auto* text = std::get_if<std::string>(&r)) {
                child->send(*text);
            } else if (const auto& cb = std::get<callback>(r)) {
                const std::string had = child->buffer;
                state.callback_result = cb(state);
                std::cout.flush();
                reported = settle_callback(had, child->buffer, reported, pieces);
                if (const auto* reply = std::get_if<std::string>(&*state.callback_result)) {
                    child->send(*reply);
                } else if (std::get<bool>(*state.callback_result)) {
                    break;
                }
            } else {
                throw std::invalid_argument("The callback must be a string or function type.");
            }
            ++state.event_count;
            // Nothing can follow end of file; waiting again would only meet
            // it again, for ever.
            if (at_end) break;
        }
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

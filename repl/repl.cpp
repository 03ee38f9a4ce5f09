// A command in step with a program's prompts: each line sent once the
// program has asked for it, the output gathered between the prompts.
#include <ptypilot/repl.hpp>

#include <algorithm>
#include <charconv>
#include <stdexcept>
#include <utility>

#include "os/clock.hpp"
#include "session/timeout_arg.hpp"

namespace ptypilot {

namespace {

std::vector<std::string> split_lines(std::string_view command) {
    // A terminal reading lines acts on these (a carriage return ends a line,
    // Ctrl-D sends half of one, DEL erases): the lines would not be the ones
    // counted.
    for (const char c : command)
        if ((static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n') || c == '\x7f')
            throw std::invalid_argument(
                "A command for a repl holds no control character but tab and line feed");
    // A final "\n" ends the last line rather than adding an empty one.
    if (!command.empty() && command.back() == '\n') command.remove_suffix(1);
    std::vector<std::string> lines;
    for (;;) {
        const auto end = command.find('\n');
        lines.emplace_back(command.substr(0, end));
        if (end == std::string_view::npos) return lines;
        command.remove_prefix(end + 1);
    }
}

// The terminal turns the "\n" of an echoed line into "\r\n"; a pipe leaves it.
void strip_echo(std::string& segment, const std::string& line) {
    for (const char* ending : {"\r\n", "\n"}) {
        const std::string echo = line + ending;
        if (segment.compare(0, echo.size(), echo) == 0) {
            segment.erase(0, echo.size());
            return;
        }
    }
}

std::optional<int> status_of(const match_value& match) {
    const auto* m = std::get_if<match_result>(&match);
    if (m == nullptr || m->size() < 2) return std::nullopt;
    const auto text = m->group(1);
    if (!text) return std::nullopt;
    int value = 0;
    const auto [end, error] = std::from_chars(text->data(), text->data() + text->size(), value);
    if (error != std::errc() || end != text->data() + text->size()) return std::nullopt;
    return value;
}

}  // namespace

struct repl::state {
    state(spawn s, repl_options o) : session(std::move(s)), options(std::move(o)) {}

    enum class phase {
        syncing,  // waiting for a primary prompt; what comes before it is nobody's output
        ready,    // at the primary prompt, nothing under way
        running,  // lines sent, the last prompt of the command not seen yet
    };

    spawn session;
    repl_options options;
    std::shared_ptr<searcher_re> searcher;
    int continuation_index = -1;
    int dropped_index = -1;
    int recovery_index = -1;
    int eof_index = 0;
    int timeout_index = 0;

    phase at = phase::syncing;
    std::vector<std::string> lines;  // of the command under way or queued
    std::size_t sent = 0;            // lines sent so far
    bool blank_sent = false;
    bool joined = false;              // the prompt line went on the command's last line
    bool recovering = false;          // the recovery line went after a dropped line
    std::vector<std::string> echoes;  // lines whose echo may start the next segment
    std::string output;

    void send_line(const std::string& line) {
        session.send(line + "\n");
        echoes.push_back(line);
    }

    // Sends what the program may take now: the next line, or with a prompt
    // line every line and then the prompt line.
    void send_more() {
        if (options.prompt_line.empty()) {
            send_line(lines[sent++]);
            return;
        }
        std::string all;
        for (; sent + 1 < lines.size(); ++sent) {
            all += lines[sent] + "\n";
            echoes.push_back(lines[sent]);
        }
        std::string last = lines[sent++];
        auto with_prompt = options.join_prompt_line ? options.join_prompt_line(last) : std::nullopt;
        joined = with_prompt.has_value();
        if (joined) {
            all += *with_prompt;
            if (with_prompt->ends_with('\n')) with_prompt->pop_back();
            echoes.push_back(std::move(*with_prompt));
        } else {
            all += last + "\n" + options.prompt_line + "\n";
            echoes.push_back(std::move(last));
        }
        session.send(all);
    }

    std::string segment(const std::string& before) {
        std::string text = before;
        if (options.echo == repl_echo::strip) {
            for (const auto& line : echoes) strip_echo(text, line);
            if (!options.prompt_line.empty()) {
                const auto echo = text.rfind(options.prompt_line + "\r\n");
                if (echo != std::string::npos) text.erase(echo, options.prompt_line.size() + 2);
            }
        }
        return text;
    }

    void begin(std::string_view command) {
        if (at == phase::running || (at == phase::syncing && !lines.empty()))
            throw std::logic_error("A command is already under way in this repl");
        auto split = split_lines(command);
        lines = std::move(split);
        sent = 0;
        blank_sent = false;
        joined = false;
        recovering = false;
        echoes.clear();
        output.clear();
        if (at == phase::ready) {
            at = phase::running;
            send_more();
        }
    }

    void abandon() {
        lines.clear();
        sent = 0;
        echoes.clear();
    }

    std::optional<repl_result> take(int index) {
        if (index == timeout_index) {
            // The text stays in the session's buffer for the next wait: only
            // reported here, never kept.
            throw repl_timeout(output + segment(session.before_str()));
        }
        if (index == eof_index) {
            std::string seen = output + segment(session.before_str());
            at = phase::syncing;
            abandon();
            throw repl_ended(seen);
        }
        if (at == phase::syncing) {
            if (index != 0) return std::nullopt;
            at = phase::ready;
            if (!lines.empty()) {
                at = phase::running;
                send_more();
            }
            return std::nullopt;
        }
        if (at != phase::running) throw std::logic_error("No command under way in this repl");

        output += segment(session.before_str());
        echoes.clear();
        if (index == dropped_index) {
            output += session.after_str();
            if (joined && !recovering) {
                recovering = true;
                send_line(options.recovery_line);
            }
            return std::nullopt;
        }
        if (recovering && index != recovery_index) return std::nullopt;
        if (sent < lines.size()) {
            send_more();
            return std::nullopt;
        }
        if (index == continuation_index) {
            if (options.blank_line_ends_block && !blank_sent) {
                blank_sent = true;
                send_line("");
                return std::nullopt;
            }
            // Only an interrupt gets such a program back to its primary
            // prompt; the next command waits for it.
            std::string seen = std::move(output);
            at = phase::syncing;
            abandon();
            session.sendintr();
            throw ExceptionPty("The command is incomplete: the program asks for more after its last line\n" +
                               seen);
        }
        repl_result result{std::move(output), status_of(session.match)};
        output.clear();
        at = phase::ready;
        abandon();
        return result;
    }
};

repl::repl(spawn session, repl_options options)
    : state_(std::make_unique<state>(std::move(session), std::move(options))) {
    auto& s = *state_;
    // The prompt says when the program is ready: pausing before a send or
    // after a read would only add latency.
    s.session.delaybeforesend = 0;
    s.session.delayafterread = 0;
    if (s.options.echo == repl_echo::turn_off) s.session.setecho(false);

    compiled_pattern_list list{s.options.prompt};
    if (s.options.continuation) {
        s.continuation_index = static_cast<int>(list.size());
        list.emplace_back(*s.options.continuation);
    }
    if (s.options.line_dropped && s.options.recovery_prompt) {
        s.dropped_index = static_cast<int>(list.size());
        list.emplace_back(*s.options.line_dropped);
        s.recovery_index = static_cast<int>(list.size());
        list.emplace_back(*s.options.recovery_prompt);
    }
    s.eof_index = static_cast<int>(list.size());
    list.emplace_back(sentinel::eof);
    s.timeout_index = static_cast<int>(list.size());
    list.emplace_back(sentinel::timeout);
    s.searcher = std::make_shared<searcher_re>(list);

    std::string first = s.options.setup;
    if (!first.empty() && first.back() != '\n') first += '\n';
    if (!s.options.prompt_line.empty()) first += s.options.prompt_line + "\n";
    if (!first.empty()) s.session.send(first);
}

repl::~repl() = default;
repl::repl(repl&&) noexcept = default;
repl& repl::operator=(repl&&) noexcept = default;

repl_result repl::execute(std::string_view command, std::optional<double> timeout) {
    start(command);
    return finish(timeout);
}

void repl::start(std::string_view command) { state_->begin(command); }

repl_result repl::finish(std::optional<double> timeout) {
    auto& s = *state_;
    if (!busy()) throw std::logic_error("No command under way in this repl");
    const detail::deadline until = detail::call_deadline(s.session, timeout);
    for (;;) {
        std::optional<double> left = until.remaining();
        if (left) left = std::max(0.0, *left);
        if (auto result = s.take(s.session.expect_loop(s.searcher, left))) return std::move(*result);
    }
}

expect_target repl::target(std::optional<seconds_value> timeout) {
    return expect_target(state_->session, state_->searcher, timeout);
}

std::optional<repl_result> repl::advance(int index) { return state_->take(index); }

bool repl::busy() const noexcept {
    return state_ && (state_->at == state::phase::running ||
                      (state_->at == state::phase::syncing && !state_->lines.empty()));
}

bool repl::at_prompt() const noexcept { return state_ && state_->at == state::phase::ready; }

spawn& repl::session() noexcept { return state_->session; }

const spawn& repl::session() const noexcept { return state_->session; }

}  // namespace ptypilot

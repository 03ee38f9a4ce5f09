/// \file
/// A shell or a REPL driven in step: a command sent once the program is at
/// its prompt, and what the command printed, without the echo and the prompt.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <ptypilot/export.hpp>
#include <ptypilot/errors.hpp>
#include <ptypilot/expect_many.hpp>
#include <ptypilot/regex.hpp>
#include <ptypilot/searcher.hpp>
#include <ptypilot/seconds.hpp>
#include <ptypilot/spawn.hpp>
#include <ptypilot/spawn_options.hpp>

namespace ptypilot {

/// What the repl does about the echo of the lines it sends.
enum class repl_echo {
    /// Turns the terminal's echo off when the repl is made (a program with a
    /// line editor must start with it off already: see repl::python()).
    turn_off,
    /// The program echoes each line itself: the echoed line is taken off the
    /// start of what follows it.
    strip,
    /// Nothing echoes (pipes, a descriptor that is not a terminal).
    none,
};

/// How a program shows that it waits for the next command, and how it takes
/// the lines of one.
struct PTYPILOT_API repl_options {
    /// The prompts; the other settings keep their defaults.
    explicit repl_options(regex primary, std::optional<regex> continuation_prompt = std::nullopt)
        : prompt(std::move(primary)), continuation(std::move(continuation_prompt)) {}

    /// The primary prompt. When it has a capture group, the first one is the
    /// exit status of the command before it (decimal).
    regex prompt;
    /// The prompt of a command that is not complete yet, if the program has
    /// one. With it, the lines of a command are sent one at a time, each once
    /// the prompt after the one before it has come; without it, all at once.
    std::optional<regex> continuation;
    /// Lines sent once when the repl is made, before anything else (bc: the
    /// function that `prompt_line` calls). Empty: none.
    std::string setup;
    /// For a program that shows no prompt by itself (bc): a line sent after
    /// every command, and once at the start, that makes the program print
    /// text `prompt` matches. Empty: none.
    std::string prompt_line;
    /// For a `prompt_line`: what to send for the command's last line with
    /// the prompt line added to it, the line's end included, when that
    /// keeps the line's meaning (bc: the line, ";z()" and "\n", or the line
    /// and a key bc's line editor expands into those), or no value to send
    /// the prompt line on a line of its own. A line editor answers one line
    /// sooner than two. Null: always a line of its own.
    std::function<std::optional<std::string>(std::string_view last_line)> join_prompt_line;
    /// Output meaning that the program dropped the rest of a line (bc: its
    /// error messages), and with it a joined prompt line. When it comes, the
    /// repl sends `recovery_line` on a line of its own and the command ends
    /// at `recovery_prompt` instead (a `prompt` before it is passed over).
    std::optional<regex> line_dropped;
    /// Makes the program print text `recovery_prompt` matches; see `line_dropped`.
    std::string recovery_line;
    /// The end of a command after `line_dropped`.
    std::optional<regex> recovery_prompt;
    /// When the last line is sent and the continuation prompt still comes,
    /// send one empty line to end the block (Python) before calling the
    /// command incomplete.
    bool blank_line_ends_block = false;
    /// What to do about the echo.
    repl_echo echo = repl_echo::turn_off;
};

/// What a command printed.
struct PTYPILOT_API repl_result {
    /// Its output as the program wrote it, lines ending as the terminal ends
    /// them (`"\r\n"`), without the echoed command and without any prompt.
    std::string output;
    /// The exit status a shell reports; no value for a program whose prompt
    /// does not carry one.
    std::optional<int> status;
};

/// The program ended (end of file) before its prompt came back. `seen` holds
/// what the command had printed.
class PTYPILOT_API repl_ended : public EOF_ {
public:
    /// `seen` is appended to the message after a line feed.
    explicit repl_ended(std::string seen);
    /// What the command printed before the end, as repl_result::output would hold it.
    std::string seen;
};

/// The prompt did not come back in time. The command is still under way: the
/// caller may answer a question it asks (through session()) and finish()
/// again, or interrupt it. `seen` holds what it has printed so far.
class PTYPILOT_API repl_timeout : public TIMEOUT {
public:
    /// `seen` is appended to the message after a line feed.
    explicit repl_timeout(std::string seen);
    /// What the command printed so far, as repl_result::output would hold it.
    std::string seen;
};

/// A shell or a REPL over a session: a child, a descriptor session, any
/// program that answers lines with output and a prompt.
///
/// execute() sends a command once the program is at its prompt (waiting for
/// the first one when needed), waits for the next prompt and returns what
/// the command printed. Because the repl knows when the program is ready, it
/// sets the session's `delaybeforesend` and `delayafterread` to 0 and sends
/// each line with a single write: no command pays a pause.
///
/// A command can also be started and finished in two steps, so that one
/// thread drives many repls with expect_many(): start() sends (or queues
/// the command until the first prompt), target() says what to wait for, and
/// advance() takes the outcome of that wait and returns the result once the
/// prompt is back:
///
/// \code
/// for (auto& r : shells) r.start("uname -s");
/// std::vector<expect_target> targets;  // one per busy repl: r.target(10s)
/// for (const expect_outcome& o : expect_many(targets))
///     if (auto result = shells[o.session].advance(o.index)) use(*result);
/// \endcode
///
/// A repl belongs to one thread at a time; it owns its session and moves.
class PTYPILOT_API repl {
public:
    /// A repl over `session` (moved in), whose program shows prompts as
    /// `options` describes. With repl_echo::turn_off the terminal's echo is
    /// turned off here (std::system_error when the session is not a
    /// terminal); a `prompt_line` is sent at once.
    repl(spawn session, repl_options options);

    /// A POSIX shell (sh, dash, bash, or any that expands parameters in PS1),
    /// started with the caller's environment but for a prompt no output can
    /// contain (PS1 and PS2 with a random token; PS1 carries `$?`, which
    /// gives repl_result::status), TERM=dumb, and no PROMPT_COMMAND, ENV,
    /// HISTFILE or start-up files. bash also gets --norc --noprofile
    /// --noediting: no line editor, so no bracketed paste. Echo is off.
    /// `options` sets the session as for spawn (its `env` is added to the
    /// environment, before the prompt settings).
    static repl shell(const std::string& program = "/bin/sh", const spawn_options& options = {});
    /// `python3 -i -q` (`program` names the interpreter), with the fixed
    /// prompts ">>> " and "... "; a block ends with an empty line, which the
    /// repl adds. Started with echo off (through `stty -echo`), TERM=dumb and
    /// without Python's interactive hook: no line editor, and the user's
    /// history (~/.python_history) is neither read nor written;
    /// PYTHONSTARTUP does not run.
    static repl python(const std::string& program = "python3", const spawn_options& options = {});
    /// `bc -q`, which shows no prompt: the repl defines a function `z`
    /// that prints a random token on a line of its own, and calls it after
    /// each command, so the token is the prompt it waits for: on the
    /// command's last line when it holds only names, numbers, operators and
    /// parentheses, otherwise on a line of its own (and on one of its own
    /// again, with a token of its own, after bc reported an error, which
    /// drops the rest of the line). bc's line editor takes each character of
    /// a line at some microseconds' cost: the name is one letter, and when
    /// the editor is readline (as bc shows at start) the call and the line's
    /// end go as one key (Ctrl-]) that a settings file of the repl's own
    /// (INPUTRC, held open by the repl until the first command) binds to
    /// them; there tab is a plain character instead of file-name
    /// completion. A command that defines `z` itself takes the prompt away.
    /// The line editor's history is off (`history = 0`), so a long session
    /// does not slow down. Started as python() is.
    static repl bc(const std::string& program = "bc", const spawn_options& options = {});

    /// Closes the session, ending its program.
    ~repl();
    /// Moves with its session and the state of a command under way.
    repl(repl&&) noexcept;
    /// Moves as the move constructor does; the repl assigned to closes first.
    repl& operator=(repl&&) noexcept;

    /// Runs `command` (one line or several, joined by "\n"; a final "\n" is
    /// not needed) and returns what it printed once the prompt is back.
    /// `timeout` covers the whole call: -1 the session's `timeout`, no value
    /// no limit. Throws repl_ended when the program ends first, repl_timeout
    /// when the time runs out (the command then stays under way: finish()
    /// goes on waiting), ExceptionPty when the command is incomplete (the
    /// continuation prompt still comes after the last line; the repl then
    /// interrupts it and waits for the prompt before the next command),
    /// std::logic_error when a command is already under way, and
    /// std::invalid_argument for a command holding a control character other
    /// than tab and line feed (a terminal would act on it).
    repl_result execute(std::string_view command, std::optional<double> timeout = -1);
    /// The same with a std::chrono duration as the time-out.
    template <class Rep, class Period>
    repl_result execute(std::string_view command, std::chrono::duration<Rep, Period> timeout) {
        return execute(command, to_seconds(timeout));
    }

    /// Starts `command` without waiting: sends its first line now if the
    /// program is at its prompt, or once advance() sees the prompt. Errors as
    /// for execute() about the command itself.
    void start(std::string_view command);
    /// Waits for the command under way to finish and returns what it printed;
    /// the errors of execute() (std::logic_error with no command under way).
    /// `timeout` as for execute().
    repl_result finish(std::optional<double> timeout = -1);
    /// What to wait for now, as a target for expect_many(): the prompts, end
    /// of file and the time-out, all listed (so advance() sees each as an
    /// outcome). `timeout` as in expect_target.
    expect_target target(std::optional<seconds_value> timeout = seconds_value(-1));
    /// Takes the outcome of a wait on target() (the list position
    /// expect_many() or spawn::expect_list() returned): sends the next line
    /// or the queued command when the program is ready for it, and returns the
    /// result once the command's last prompt has come. Throws as execute()
    /// does when the outcome was end of file, the time-out, or an incomplete
    /// command, and std::logic_error for a prompt with no command under way.
    /// A moved-from repl may only be destroyed or assigned to, as for every
    /// call here.
    std::optional<repl_result> advance(int index);

    /// Whether a command is under way (started, its prompt not back yet).
    bool busy() const noexcept;
    /// Whether the program is at its primary prompt with nothing under way.
    bool at_prompt() const noexcept;
    /// The session, for what the repl does not do (answering a question,
    /// sendintr(), close(), exitstatus).
    spawn& session() noexcept;
    /// The session, read only.
    const spawn& session() const noexcept;

private:
    struct state;
    std::unique_ptr<state> state_;
};

}  // namespace ptypilot

/// \file
/// The session: one child process running under a pseudo-terminal.
#pragma once

#include <cstddef>
#include <functional>
#include <initializer_list>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include <ptypilot/argument_list.hpp>
#include <ptypilot/defaults.hpp>
#include <ptypilot/descriptor_close.hpp>
#include <ptypilot/errors.hpp>
#include <ptypilot/expect_input.hpp>
#include <ptypilot/export.hpp>
#include <ptypilot/interact.hpp>
#include <ptypilot/pattern.hpp>
#include <ptypilot/regex.hpp>
#include <ptypilot/screen.hpp>
#include <ptypilot/searcher.hpp>
#include <ptypilot/seconds.hpp>
#include <ptypilot/spawn_fields.hpp>
#include <ptypilot/spawn_options.hpp>
#include <ptypilot/step_result.hpp>

namespace ptypilot {

/// The engine's version, as the text dump shows it.
inline constexpr const char* version = "2.4";
/// The engine's revision, as the text dump shows it.
inline constexpr const char* revision = "$Revision: 516 $";

namespace detail {
struct session_state;
struct state_access;

// The owner of a session's private state. A move takes the state along and
// leaves none behind, so that it allocates nothing and cannot throw; the
// session moved from makes a fresh one, that of a session never started, on
// its first use.
class state_owner {
public:
    state_owner() noexcept;
    state_owner(state_owner&& other) noexcept;
    state_owner& operator=(state_owner&& other) noexcept;
    ~state_owner();

    session_state* operator->() const { return state_ ? state_.get() : &make(); }
    session_state& operator*() const { return *operator->(); }
    // Whether there is a state yet.
    explicit operator bool() const noexcept { return state_ != nullptr; }

private:
    session_state& make() const;
    mutable std::unique_ptr<session_state> state_;
};
}  // namespace detail

/// A session: one child process running under a new pseudo-terminal, or a
/// descriptor the caller opened (a serial line, a socket, a pipe pair) with
/// no child at all (from_fd(), from_fds()).
///
/// Constructing a session with a command starts the child at once. The session
/// then reads the child's output with time-outs, waits for patterns in it
/// (`expect`), writes to it, reads it like a file of lines, sets its echo and
/// window size, hands it to the user (`interact`), and watches and ends its
/// life, recording how it ended in `exitstatus` and `signalstatus`.
///
/// Every setting is a public field that callers assign directly (the groups
/// of spawn_fields). A time-out argument, std::optional<seconds_value>, is a
/// number of seconds (`5`, `0.25`) or any std::chrono duration (`250ms`,
/// `5s`): -1 means the session's `timeout`, no value (std::nullopt) waits
/// without limit, and so does +inf or anything beyond 1e9 seconds; NaN is
/// refused with std::invalid_argument.
/// Failing system calls throw std::system_error. A session belongs to one
/// thread at a time; it can be moved but not copied.
class PTYPILOT_API spawn : public spawn_fields {
public:
    /// Starts `command` at once unless it has no value. With an empty `args`
    /// the command line is split into words; otherwise `command` is one word.
    ///
    /// The program is looked up along the caller's PATH (see which(); a
    /// relative name is taken from `cwd`); the other arguments set the fields
    /// of the same names. Throws ExceptionPty when the program is not found or
    /// not executable, std::out_of_range for a command line without a word,
    /// std::invalid_argument for a NUL byte in the command, an argument, `cwd`
    /// or the environment (or an environment name that is empty or holds '='),
    /// and std::system_error when the child cannot execute the program or a
    /// system call of the start fails (EMFILE out of descriptors, say; its
    /// text then "Error! pty.fork() failed: [Errno 24] Too many open files").
    explicit spawn(std::optional<std::string> command, argument_list args = {},
                   std::optional<seconds_value> timeout = defaults::timeout, int maxread = defaults::maxread,
                   std::optional<long> searchwindowsize = std::nullopt, std::ostream* logfile = nullptr,
                   std::optional<std::string> cwd = std::nullopt, std::optional<env_map> env = std::nullopt);

    /// The same with the settings by name:
    /// `spawn s("ssh vault", {.timeout = 10s, .env = env_map{{"TERM", "dumb"}}});`
    spawn(std::optional<std::string> command, const spawn_options& options);
    /// The same with arguments (`command` is then one word) and the settings by name.
    spawn(std::optional<std::string> command, argument_list args, const spawn_options& options);
    /// Arguments written in braces, `spawn(cmd, {"-l"})`, `spawn(cmd, {})`.
    spawn(std::optional<std::string> command_line, std::initializer_list<std::string> words)
        : spawn(std::move(command_line), argument_list(words)) {}

    /// Releasing an open session closes it (ending its child); never throws.
    ~spawn();

    /// A session moves with its child and its identity (the address it was
    /// constructed at, as `name` shows it); the one moved from is left like a
    /// closed session that was never started: every field but the process
    /// streams (spawn_streams) back at its default, `name` empty. Never
    /// throws.
    spawn(spawn&& other) noexcept;
    /// Moves as the move constructor does. Assigning to an open session closes
    /// it first, reporting nothing.
    spawn& operator=(spawn&& other) noexcept;
    /// Not copied: a child has one session.
    spawn(const spawn&) = delete;
    /// Not copied: a child has one session.
    spawn& operator=(const spawn&) = delete;

    /// A session over `fd`, a descriptor the caller opened for reading and
    /// writing: a serial device, a socket, a terminal. There is no child; the
    /// session reads, writes, expects, reads lines, logs and relays
    /// (`interact`) as over a child's terminal, and its terminal settings are
    /// left as the caller made them (set the speed and raw mode first).
    ///
    /// `options` sets the session's fields as for a child (`cwd` and `env`
    /// do not apply; `window` is the size of the screen when the descriptor
    /// is no terminal, and setwinsize() then resizes that screen alone).
    /// With descriptor_close::close (the default) the session owns `fd` from
    /// now on and makes it close-on-exec, and close() closes it; with
    /// descriptor_close::leave close() leaves it open to the caller. `name`
    /// is `<fd N>`. Throws std::system_error (EBADF) for a descriptor that is
    /// not open; the caller then keeps it.
    ///
    /// Without a child: isalive() is true from here until end of file is read
    /// or close(); terminate() does nothing and returns true; wait() and
    /// kill() throw ExceptionPty; `pid` has no value and `terminated` stays
    /// true.
    static spawn from_fd(int fd, const spawn_options& options = {},
                         descriptor_close on_close = descriptor_close::close);
    /// The same over a pair: the session reads `read_fd` (fileno() shows it)
    /// and sends to `write_fd`, as for the two ends of pipes to a program
    /// started elsewhere. The same number twice is from_fd(). `name` is
    /// `<fds R W>`.
    static spawn from_fds(int read_fd, int write_fd, const spawn_options& options = {},
                          descriptor_close on_close = descriptor_close::close);

    // --- Fields: spawn_fields, grouped by role in spawn_fields.hpp. ---

    // --- Start (normally called by the constructor). ---
    /// Starts the child of a session constructed without a command, after the
    /// caller has set fields such as `use_native_pty_fork`, `cwd` or `env`.
    /// Throws as the constructor does; a session starts one child only (a
    /// second start throws std::logic_error).
    void _spawn(std::string command, std::vector<std::string> args = {});

    // --- Small file-like operations. ---
    /// The descriptor the session reads, `child_fd`. An event loop watches
    /// all of wait_descriptors(), of which this is the first.
    int fileno() const noexcept { return child_fd; }
    /// What an event loop watches for readability before each expect_step():
    /// fileno() and, for a child on a kernel that gives one, a descriptor
    /// that turns readable when the child ends (its pidfd). The child's end
    /// shows there even while a process it left behind keeps the terminal
    /// open, when fileno() never turns readable. Both keep their numbers
    /// from the start until close() (the session owns them: unregister them
    /// before close(), never close them); once the child has ended the
    /// second stays readable, and a step reports end of file. Empty on a
    /// closed session or one never started.
    std::vector<int> wait_descriptors() const;
    /// How long an event loop may wait between two steps, in seconds: no
    /// value when wait_descriptors() show every outcome; 0.05 for a child
    /// without a pidfd (a kernel before Linux 5.3, or a sandbox refusing
    /// pidfd_open), whose end while another process keeps its terminal open
    /// shows on no descriptor: a step after this long notices it.
    std::optional<double> step_interval() const;
    /// Whether `child_fd` refers to a terminal; false on a closed session.
    bool isatty() const noexcept;
    /// Does nothing: what is sent is not buffered.
    void flush() noexcept {}
    /// Always throws ExceptionPty: assign `maxread` instead.
    [[noreturn]] void setmaxread(int maxread);
    /// Always throws ExceptionPty: assign `logfile` instead.
    [[noreturn]] void setlog(std::ostream* fileobject);

    /// The text dump: 26 labelled lines, from the identity to
    /// `delayafterterminate` (the search strategy's description may take
    /// several). The EOF_ and TIMEOUT errors of the expect calls carry it.
    std::string str() const;
    /// `<ptypilot.spawn object at 0x...>`, with the address the session was
    /// constructed at; it moves with the session.
    std::string identity() const;

    // --- Lifecycle. ---
    /// Whether the child still runs. The one place where the child is reaped:
    /// the call that finds it ended records `exitstatus`, `signalstatus`,
    /// `status` and `terminated`. It only looks while `flag_eof` is false, and
    /// waits for the child's end once it is true. False on a session never
    /// started. Throws ExceptionPty when someone else reaped the child, or
    /// when it was stopped. On a session over a descriptor: whether it is open
    /// and reading has not met end of file.
    bool isalive();
    /// Waits for the child's end and returns its exit code (no value when a
    /// signal ended it), recording the end as isalive() does. A child whose
    /// end is recorded already, or that has ended and is not yet reaped,
    /// gives its status at once: whether it ended before the call makes no
    /// difference. Throws ExceptionPty "Cannot wait for dead child process."
    /// on a session that never had a child, ExceptionPty when someone else
    /// reaped the child, and ExceptionPty on a session over a descriptor,
    /// which has no child to wait for.
    std::optional<int> wait();
    /// Sends the signal `sig` to the child while it runs; nothing once its end
    /// is recorded. It never waits, and the signal reaches this child or
    /// nobody. Throws ExceptionPty on a session over a descriptor, which has
    /// no child to signal.
    void kill(int sig);
    /// Ends the child with SIGHUP, SIGCONT and SIGINT in turn, and SIGKILL
    /// when `force`, giving it up to `delayafterterminate` after each. True
    /// when the child is gone at the end (at once if it already was), false
    /// when it still runs. True at once, and nothing done, on a session over
    /// a descriptor.
    bool terminate(bool force = false);
    /// Closes the pseudo-terminal and makes sure the child is gone: it gets up
    /// to `delayafterclose` to end (after end of file, up to `timeout` more to
    /// finish by itself, without limit when `timeout` has no value), then
    /// terminate(force) runs. Closing twice does nothing. Throws ExceptionPty
    /// when the child could not be ended; the terminal is released all the
    /// same, later operations on it throw ExceptionPty, and a forced close()
    /// still ends the child. A session over descriptors closes them (or
    /// leaves them open, as it was made) and waits for nothing.
    void close(bool force = true);
    /// Whether reading has met end of file (`flag_eof`).
    bool eof() const noexcept { return flag_eof; }

    // --- Reading. ---
    /// One read of at most `size` bytes, waiting at most `timeout` seconds
    /// (-1: the session's `timeout`; no value: without limit).
    ///
    /// Returns at least one byte, copied to `logfile` and `logfile_read`.
    /// Throws EOF_ at end of file (setting `flag_eof`), TIMEOUT when nothing
    /// arrived in time, and std::logic_error on a closed session.
    std::string read_nonblocking(long size = 1, std::optional<seconds_value> timeout = -1);

    // --- Writing. ---
    /// Sends `s` to the child as typed input, after sleeping `delaybeforesend`
    /// and copying it to `logfile` and `logfile_send`. Returns the bytes
    /// written: all of `s` unless the child ends first. A failed write throws
    /// std::system_error (so does sending on a closed session).
    long send(std::string_view s);
    /// send(s), then a send of a single line feed: two sends, two pauses.
    /// Returns the sum of both counts.
    long sendline(std::string_view s = {});
    /// send(s) without the count, as a file's write.
    void write(std::string_view s);
    /// write() of each element of `sequence` in turn, nothing added between.
    template <class Range>
    void writelines(const Range& sequence) {
        for (const auto& s : sequence) write(s);
    }
    /// Ctrl plus `c`, for a letter of either case or one of the symbols `@`,
    /// grave accent, `[`, `{`, `|`, `]`, `}`, `^`, `~`, `_`, `?` and backslash;
    /// 0 and nothing sent for any other.
    long sendcontrol(char c);
    /// Sends the terminal's current end-of-file character (normally Ctrl-D).
    /// The child takes it as end of file only at the start of a line, so send
    /// it after a line ending.
    void sendeof();
    /// Sends the terminal's current interrupt character (normally Ctrl-C),
    /// which the terminal turns into SIGINT for the child's foreground
    /// process group.
    void sendintr();

    // --- Expecting. ---
    /// The patterns as expect_list() takes them: a source string is compiled
    /// with regex::dotall (a dot matches a newline too), and regex::ignorecase
    /// when `ignorecase` is set; a compiled regex keeps its own flags; a
    /// sentinel stays. Compile once to wait for the same patterns many times.
    /// Throws regex_error for a string that does not compile.
    compiled_pattern_list compile_pattern_list(const pattern_input& patterns) const;
    /// Waits until the child's output holds one of `patterns` (regexes, see
    /// pattern) and returns the list position of the entry satisfied.
    ///
    /// The buffer is searched first, then again after every read; the match
    /// that starts earliest wins, and of two that start at the same place, the
    /// one listed first. Afterwards `before`, `after`, `match` and
    /// `match_index` describe the outcome, and `buffer` holds what followed
    /// the match. End of file or the time-out returns the position of
    /// sentinel::eof or sentinel::timeout when the list holds it, and otherwise
    /// throws EOF_ or TIMEOUT, whose message ends with the text dump. After a
    /// time-out the text received stays in `buffer`; after end of file it is
    /// in `before` only.
    ///
    /// `timeout` covers the whole call: -1 is the session's `timeout`, no value
    /// waits without limit. `searchwindowsize` -1 is the session's
    /// `searchwindowsize`, no value no window.
    int expect(const pattern_input& patterns, std::optional<seconds_value> timeout = -1,
               std::optional<long> searchwindowsize = -1);
    /// expect() with patterns compiled beforehand by compile_pattern_list().
    int expect_list(const compiled_pattern_list& patterns, std::optional<seconds_value> timeout = -1,
                    std::optional<long> searchwindowsize = -1);
    /// expect() with plain strings, found byte for byte (no regex syntax).
    int expect_exact(const exact_input& patterns, std::optional<seconds_value> timeout = -1,
                     std::optional<long> searchwindowsize = -1);
    /// The loop under every expect call, with any search strategy; `searcher`
    /// becomes the session's `searcher`.
    int expect_loop(std::shared_ptr<search_strategy> searcher, std::optional<seconds_value> timeout = -1,
                    std::optional<long> searchwindowsize = -1);

    /// One step of an expect call, for a session that lives in an event loop
    /// (epoll, Asio, libuv) watching wait_descriptors() (and, when
    /// step_interval() has a value, stepping at least that often): searches
    /// `buffer`, and without
    /// a match takes one read of what is there already (at most `maxread`
    /// bytes, never waiting) and searches again. The outcome is that of
    /// expect(), reported: `matched` with the fields set as expect() sets
    /// them; `eof` at end of file, listed or not (nothing is thrown);
    /// `nothing` when neither, with every field but `buffer` untouched (what
    /// was read waits there for the next step). The step has no time-out: a
    /// listed sentinel::timeout is never its outcome; the loop's own timers
    /// decide how long to wait. Errors other than end of file are thrown as
    /// expect() throws them.
    ///
    /// Given the same strategy object as the step before (which left it in
    /// `searcher`), a regex search goes on where that step stopped instead of
    /// searching the whole buffer again; a strategy serves one session. After
    /// end of file a step does not wait for a child that closed its terminal
    /// but runs on: it reports end of file again.
    step_result expect_step(std::shared_ptr<search_strategy> searcher,
                            std::optional<long> searchwindowsize = -1);
    /// expect_step() with patterns as expect() takes them, compiled on every
    /// call (a strategy made once, `std::make_shared<searcher_re>(
    /// compile_pattern_list(...))`, saves that and lets the search resume).
    step_result expect_step(const pattern_input& patterns, std::optional<long> searchwindowsize = -1);

    /// The outcome of the last expect call as plain text: what came before the
    /// match (`before`; empty before the first call).
    const std::string& before_str() const noexcept;
    /// The outcome of the last expect call as plain text: what matched (empty
    /// when nothing did, or when end of file or the time-out was the outcome).
    const std::string& after_str() const noexcept;

    // --- Reading like a file, through the expect loop. ---
    /// size < 0: everything up to the delimiter (normally end of file);
    /// size > 0: that many bytes, or fewer when the delimiter comes first;
    /// size 0: "" without reading. Errors are those of expect().
    std::string read(long size = -1);
    /// One line with its `"\r\n"`, the unterminated rest at the end, or "";
    /// `size` 0 gives "" without reading, any other does not bound the line.
    std::string readline(long size = -1);
    /// Every remaining line, by readline() until it gives ""; `sizehint` is
    /// ignored. On an error the lines gathered so far are put back into
    /// `buffer` before it is thrown.
    std::vector<std::string> readlines(long sizehint = -1);
    /// The next line; no value once readline() yields "".
    std::optional<std::string> next();

    class line_iterator;
    /// A range-for over a session yields its lines until readline() gives "".
    /// This reads the first line at once.
    line_iterator begin();
    /// The end of the lines.
    line_iterator end();

    // --- Terminal modes of the child's side. ---
    /// Whether the terminal echoes what is sent to the child.
    bool getecho() const;
    /// Turns the terminal's echo on (`state` true) or off, at once; no other
    /// mode changes.
    void setecho(bool state);
    /// True once the child has turned echo off; false when the time ran out.
    /// It looks every 0.1 seconds; `timeout` -1 is the session's `timeout`,
    /// no value waits without limit.
    bool waitnoecho(std::optional<seconds_value> timeout = -1);
    std::pair<int, int> getwinsize() const;  ///< The terminal's window size: (rows, columns).
    /// Sets the terminal's window size; the child gets SIGWINCH. Each count
    /// must lie between 0 and 65535 (std::out_of_range otherwise).
    void setwinsize(long rows, long cols);

    // --- The rendered screen. ---
    /// Renders every byte read from the child from now on (by the expect
    /// operations, read*, read_nonblocking and interact) on an emulated
    /// terminal of the session's window size (the starting window's when the
    /// terminal has none) that follows setwinsize(). Call
    /// it before the first read to see everything (spawn_options::screen
    /// turns it on before the child starts); calling it again only applies
    /// `options`. Throws std::out_of_range for a window virtual_terminal does
    /// not take (fewer than 1 row or 2 columns, more than 1000 of either),
    /// and setwinsize() then refuses such a size too.
    void enable_screen(const screen_options& options = {});
    /// Whether enable_screen() was called.
    bool screen_enabled() const noexcept;
    /// What the child's terminal shows now. std::logic_error while the screen
    /// is off, as for every screen operation below.
    screen_view screen() const;
    /// expect() over the screen's text (screen_view::text(): rows without
    /// trailing blanks, joined by "\n"), searched before the first read and
    /// after every read that changed the screen. Index, sentinels and errors
    /// as for expect(); `before` is the screen's text before the match and
    /// `after` the match (on end of file or a time-out `before` is all of the
    /// screen's text); `match` holds offsets in that text, and
    /// screen_match_span() where it lies. The bytes read are added to
    /// `buffer` as expect() adds them; a match empties it (the screen shows
    /// what all of them did), any other outcome leaves them there. An EOF_ or
    /// TIMEOUT thrown carries the session's text dump and then the screen.
    int expect_screen(const pattern_input& patterns, std::optional<seconds_value> timeout = -1);
    /// expect_screen() with plain strings, as expect_exact() takes them.
    int expect_screen_exact(const exact_input& patterns, std::optional<seconds_value> timeout = -1);
    /// Where the last expect_screen call's match lies; no value when that
    /// call did not end in a match. std::logic_error while the screen is off.
    std::optional<screen_span> screen_match_span() const;
    /// Reads until the screen has shown the same thing for `quiet` (no cell,
    /// nor the cursor, changed), and returns it; at end of file, at once.
    /// Like a screen match, a settled screen empties `buffer`. Throws
    /// TIMEOUT, with the text dump and the screen, when `timeout` runs out
    /// first; what was read then stays in `buffer`.
    screen_view wait_screen_settled(seconds_value quiet, std::optional<seconds_value> timeout = -1);

    // --- Keys, paste and clicks, as the program asked for them. ---
    /// Sends the key `k` with `m` held, encoded by the screen's emulator as
    /// the program's modes ask (application cursor keys, keypad mode); with
    /// the screen off, as a terminal in its normal modes sends it (the cursor
    /// keys as CSI A to D, which ncurses programs that switch modes do not
    /// take). The count and errors are those of send().
    long send_key(key k, modifiers m = modifiers::none);
    /// The same for the key that types `character` (a Unicode code point;
    /// std::invalid_argument for one that is no character): Ctrl with a lower
    /// case letter sends its control character, Alt puts ESC before it.
    long send_key(char32_t character, modifiers m = modifiers::none);
    /// Sends `text` as a paste: between the bracketed-paste markers when the
    /// program turned bracketed paste on (the screen must be on to know), as
    /// it is otherwise.
    long send_paste(std::string_view text);
    /// Clicks (presses and releases) `button` on the cell `at`, reported as
    /// the program's mouse mode asks. std::logic_error while the screen is
    /// off or the program has not turned mouse reporting on, std::out_of_range
    /// for a cell off the screen.
    long send_click(screen_position at, mouse_button button = mouse_button::left,
                    modifiers m = modifiers::none);
    /// Waits until the screen changes and then shows the same thing for
    /// `quiet`, and returns it, so that a wait after a key never returns the
    /// screen from before the program reacted. Time-out, errors and `buffer`
    /// as for wait_screen_settled(); at end of file, the screen as it is.
    screen_view wait_screen_change(seconds_value quiet, std::optional<seconds_value> timeout = -1);
    /// Waits until `predicate` holds for the screen (tested before the first
    /// read and after every read that changed it), for what a pattern cannot
    /// tell, such as a cell's colour, and returns that screen; `buffer` is
    /// then emptied as by a screen match. Throws EOF_ or TIMEOUT, with the
    /// text dump and the screen, when the output ends or the time runs out
    /// first; what was read then stays in `buffer`.
    screen_view wait_screen(const std::function<bool(const screen_view&)>& predicate,
                            std::optional<seconds_value> timeout = -1);
    /// An entry of a screen wait's list: a predicate over the screen, or
    /// sentinel::eof / sentinel::timeout.
    using screen_condition = std::variant<std::function<bool(const screen_view&)>, sentinel>;
    /// The same over a list: returns the position of the first predicate that
    /// holds (`before` is then the screen's text, `buffer` emptied). A listed
    /// sentinel turns end of file or the time-out into its position, with
    /// `before` the screen's text and what was read left in `buffer`, as
    /// expect_screen() does; unlisted, they throw as above.
    /// std::invalid_argument for an empty list or an empty predicate.
    int wait_screen(const std::vector<screen_condition>& conditions,
                    std::optional<seconds_value> timeout = -1);

    // --- Recording. ---
    /// Records the session from now on as asciicast v2 into `out` (not
    /// owned): a header with the window size, the time and TERM, then each
    /// chunk read (the relay's output too) as an output event, each send as
    /// an input event and each setwinsize() as a resize event, timed from
    /// this call; written and flushed event by event. Replaces a recording
    /// going on. An event that cannot be written throws
    /// std::ios_base::failure from the operation, as a failing log does.
    void start_recording(std::ostream& out);
    /// The same into a file created (or emptied) at `path`; std::system_error
    /// when it cannot be.
    void start_recording(const std::string& path);
    /// Ends the recording (a file is closed); does nothing without one.
    void stop_recording();
    /// Whether a recording goes on.
    bool recording() const noexcept;

    // --- Escape-free reading. ---
    /// With stripping on, every read from now on leaves terminal escape
    /// sequences out of what it returns and adds to `buffer` (as
    /// strip_escapes() does, a sequence cut between reads included), so that
    /// ordinary patterns match text that colours or cursor motion interrupt.
    /// A read that got nothing but escape sequences reads again within its
    /// time-out. The screen and the log files still get every byte.
    void set_escape_stripping(bool on);
    /// Whether reads strip escape sequences.
    bool escape_stripping() const noexcept;

    // --- Interactive relay. ---
    /// Hands the child to the user. The pending `buffer` is shown first (on
    /// `stdout_`) and emptied; then keyboard input (standard input, in raw
    /// mode when it is a terminal) goes to the child and the child's output
    /// to standard output, each chunk through `input_filter` or
    /// `output_filter` when given, until one of the ends in `interact_end`:
    /// the child ends, `escape_character` (Ctrl-], 0x1D, by default) is typed
    /// (what comes before it in its chunk is still sent), the user's terminal
    /// hangs up, or the caller's wake descriptor ends it. When standard input
    /// ends, the child gets its terminal's end-of-file character once
    /// everything before it has gone and its terminal reads lines. Neither
    /// side's data is lost to a full or non-blocking terminal. The terminal
    /// mode is restored on every way out, and the session stays open; when
    /// the child has ended, `exitstatus` holds its exit code.
    interact_end interact(std::string escape_character = std::string(1, '\x1d'),
                          filter_function input_filter = nullptr, filter_function output_filter = nullptr,
                          const interact_options& options = {});

private:
    /// The library's own parts that work on several sessions at once
    /// (expect_many()) reach the private state through it.
    friend struct detail::state_access;

    // Everything a caller has no business with: the descriptors the session
    // owns and its scratch space.
    detail::state_owner state_;
};

/// Writes the session's text dump, str().
PTYPILOT_API std::ostream& operator<<(std::ostream& os, const spawn& s);

}  // namespace ptypilot

#include <ptypilot/line_iterator.hpp>

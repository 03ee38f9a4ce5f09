/// \file
/// The session: one child process running under a pseudo-terminal.
#pragma once

#include <chrono>
#include <cstddef>
#include <initializer_list>
#include <functional>
#include <iosfwd>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include <ptypilot/defaults.hpp>
#include <ptypilot/descriptor_close.hpp>
#include <ptypilot/errors.hpp>
#include <ptypilot/expect_input.hpp>
#include <ptypilot/pattern.hpp>
#include <ptypilot/regex.hpp>
#include <ptypilot/screen.hpp>
#include <ptypilot/searcher.hpp>
#include <ptypilot/seconds.hpp>
#include <ptypilot/spawn_options.hpp>
#include <ptypilot/step_result.hpp>

namespace ptypilot {

/// `after` of an expect call: the matched text, or the sentinel that was the
/// outcome, or nothing yet.
using after_value = std::variant<std::monostate, std::string, sentinel>;
/// `match` of an expect call: the match result, or the sentinel, or nothing.
using match_value = std::variant<std::monostate, match_result, sentinel>;

/// Transforms a chunk of bytes on its way through `interact`.
using filter_function = std::function<std::string(std::string)>;

/// Why `interact` returned.
enum class interact_end {
    child_ended,  ///< the child has ended; its status is recorded
    escape,       ///< the user typed the escape character; the child may still run
    hangup,       ///< the user's terminal hung up: nobody is left to relay to
    woken,        ///< the wake descriptor turned readable and `on_wake` did not go on
};

/// What `interact` does beyond relaying, each only when asked.
struct interact_options {
    /// Give the child the window size of the user's terminal (TIOCGWINSZ on
    /// standard input) when the relay starts or resumes and after every
    /// SIGWINCH. For the length of the call the relay handles SIGWINCH itself
    /// and puts the previous action back afterwards; one relay at a time.
    /// With the screen on, the child gets the nearest size the screen can
    /// take. A session over a descriptor that is not a terminal has no
    /// window to set: only the screen, if on, follows the user's size.
    bool follow_window_size = false;
    /// A descriptor that turns readable when the caller has something to do,
    /// such as the read end of a pipe its signal handlers write to; -1 for
    /// none. The relay does not read it: it gives the user's terminal its own
    /// mode back and calls `on_wake`, which takes what made the descriptor
    /// readable and returns true to go on in raw mode or false to end the
    /// relay. Without `on_wake` the relay ends.
    int wake_fd = -1;
    /// Called when `wake_fd` turns readable; see `wake_fd`.
    std::function<bool()> on_wake;
};

/// The engine's version, as the text dump shows it.
inline constexpr const char* version = "2.4";
/// The engine's revision, as the text dump shows it.
inline constexpr const char* revision = "$Revision: 516 $";

namespace detail {
struct session_state;
struct state_access;
}  // namespace detail

/// The arguments of a command, as the constructors take them: a
/// std::vector<std::string> or words in braces. Unlike a vector it cannot be
/// made from a number, so that `spawn(cmd, {.maxread = 100})` can only mean
/// the settings by name.
class argument_list {
public:
    /// No arguments: the command line is split into words.
    argument_list() = default;
    /// Words in braces.
    argument_list(std::initializer_list<std::string> words) : words_(words) {}
    /// Words in a vector.
    argument_list(std::vector<std::string> words) : words_(std::move(words)) {}
    /// The words, taken out.
    std::vector<std::string> take() && { return std::move(words_); }

private:
    std::vector<std::string> words_;
};

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
/// Every setting is a public field that callers assign directly. A time-out
/// argument is in seconds (or any std::chrono duration): -1 means the
/// session's `timeout`, no value waits without limit, and so does +inf or
/// anything beyond 1e9 seconds; NaN is refused with std::invalid_argument.
/// Failing system calls throw std::system_error. A session belongs to one
/// thread at a time; it can be moved but not copied.
class spawn {
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
                   std::optional<double> timeout = defaults::timeout, int maxread = defaults::maxread,
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
    /// closed session.
    spawn(spawn&& other);
    /// Moves as the move constructor does. Assigning to an open session closes
    /// it first.
    spawn& operator=(spawn&& other);
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

    // --- Fields, in the order construction sets them. ---
    /// Descriptor of the process's standard input, which `interact` reads (0).
    /// The trailing underscore: STDIN_FILENO is a C macro.
    int STDIN_FILENO_ = 0;
    /// Descriptor of the process's standard output, to which `interact`
    /// writes the child's output (1).
    int STDOUT_FILENO_ = 1;
    /// Descriptor of the process's standard error (2); the session does not use it.
    int STDERR_FILENO_ = 2;
    /// The process's standard input stream (std::cin); the session does not
    /// read it. The trailing underscore: stdin is a C macro.
    std::istream* stdin_;
    /// Stream (std::cout; not owned) on which `interact` first shows the
    /// pending `buffer`, and the start prints its warning about `cwd`.
    std::ostream* stdout_;
    /// The process's standard error stream (std::cerr); the session does not
    /// write to it.
    std::ostream* stderr_;
    /// The search strategy of the last expect call (null before the first);
    /// its description is part of the text dump.
    std::shared_ptr<search_strategy> searcher;
    /// When true, strings compiled by `expect` ignore the case of ASCII
    /// letters; a regex compiled by the caller keeps its own flags.
    bool ignorecase = false;
    /// After an expect call, the text before the match; when the call ended
    /// otherwise (end of file, the time-out, an error), all the text it had
    /// received, the old `buffer` included. No value before the first call.
    std::optional<std::string> before;
    /// After an expect call, the matched text, or the sentinel when end of
    /// file or the time-out ended the call (listed or not); nothing when an
    /// error other than those ended it, and before the first call.
    after_value after;
    /// After an expect call, the match_result (for `expect_exact`, one whose
    /// group 0 is the string found), or the sentinel when the pattern list
    /// named the end of file or time-out that ended the call; nothing when the
    /// call threw, and before the first call.
    match_value match;
    /// List position of the entry that satisfied the last expect call; no
    /// value when it threw, and before the first call.
    std::optional<int> match_index;
    /// True when no running child is attached: before the start, once the
    /// child's end has been recorded (by isalive() or wait()), and always on a
    /// session over a descriptor.
    bool terminated = true;
    /// The child's exit code once its end has been recorded; no value while it
    /// runs, and when a signal ended it.
    std::optional<int> exitstatus;
    /// Number of the signal that ended the child, once its end has been
    /// recorded; no value while it runs, and when it exited.
    std::optional<int> signalstatus;
    /// The raw wait status (as waitpid() stored it) of the recorded end; no
    /// value until then.
    std::optional<int> status;
    /// Set once reading has met end of file, and never cleared. From then on
    /// isalive() waits for the child's end instead of only looking; a read
    /// waits for it no longer than its own time-out.
    bool flag_eof = false;
    /// The child's process id from the start on; no value on a session that
    /// was never started.
    std::optional<int> pid;
    /// The parent side of the pseudo-terminal (on a session over descriptors,
    /// the one read), owned by the session; -1 before the start and after
    /// close().
    int child_fd = -1;
    /// Default time-out of reading and expecting, in seconds; no value waits
    /// without limit. After end of file, close() also gives the child this
    /// long to end by itself.
    std::optional<double> timeout;
    /// Where read() and readline() stop besides their own pattern:
    /// sentinel::eof (end of file) by default, or any pattern.
    pattern delimiter = sentinel::eof;
    /// Receives a copy of everything read from and sent to the child, and of
    /// the output that `interact` relays; each chunk is written and flushed
    /// at once. Not owned; null: none.
    std::ostream* logfile = nullptr;
    /// Receives a copy of what is read from the child, outside `interact`
    /// only. Not owned; null: none.
    std::ostream* logfile_read = nullptr;
    /// Receives a copy of what is sent to the child (not the keyboard input
    /// that `interact` relays). Not owned; null: none.
    std::ostream* logfile_send = nullptr;
    /// The most bytes one read of the expect loop asks for; not allocated,
    /// and a read asks for 1 MiB at most whatever the setting.
    int maxread;
    /// Text read from the child and not yet consumed by an expect call; the
    /// next call searches it first. `interact` shows it and empties it.
    std::string buffer;
    /// Default search window of the expect calls: how far back from the end
    /// of the buffer a search looks; no value: no window (see searcher_string
    /// and searcher_re for what each does without one).
    std::optional<long> searchwindowsize;
    /// Seconds slept before each send().
    double delaybeforesend = defaults::delaybeforesend;
    /// Longest wait, in seconds, for the child to end once close() has closed
    /// the terminal, before signals are sent.
    double delayafterclose = defaults::delayafterclose;
    /// Longest wait, in seconds, for the child to end after each signal of
    /// terminate().
    double delayafterterminate = defaults::delayafterterminate;
    /// Pause after each read of the expect loop; 0 removes it.
    double delayafterread = defaults::delayafterread;
    /// Kept for file-like use; the session does not read it.
    bool softspace = false;
    /// A display name: `<` + the argument words joined by blanks + `>` once
    /// the child has started; `<ptypilot factory incomplete>` on a session
    /// constructed without a command.
    std::string name;
    /// Kept for file-like use; the session does not read it (data is bytes,
    /// never decoded).
    std::optional<std::string> encoding;
    /// False while the session holds an open pseudo-terminal, from the start
    /// until close().
    bool closed = true;
    /// The child's working directory, entered by the child alone (the
    /// caller's own never changes); no value or empty: the caller's. One that
    /// cannot be entered prints a warning on `stdout_`, and the child starts
    /// in the caller's. Read by the start.
    std::optional<std::string> cwd;
    /// The child's complete environment; no value: the caller's. Read by the
    /// start.
    std::optional<env_map> env;
    /// Set at construction, true only on IRIX: read_nonblocking() then makes
    /// one more check, of up to 2 seconds, on a live child.
    bool irix_hack;
    /// False selects the substitute start, which acquires the controlling
    /// terminal by opening it and checks /dev/tty on the way; true sets it
    /// with setsid and TIOCSCTTY as forkpty does. Set at construction (true
    /// except on Solaris); read by the start.
    bool use_native_pty_fork;
    /// The child starts with SIGHUP ignored (true, the default), so that it
    /// outlives the session closing its side of the terminal; false starts it
    /// with SIGHUP at its default action like every other signal, so that a
    /// program can trap it or be ended by it. Read by the start.
    bool ignore_sighup = true;
    /// The program's path as found along PATH, once the start has run; no
    /// value on a session constructed without a command.
    std::optional<std::string> command;
    /// The child's argument words, the first equal to `command`, once the
    /// start has run; no value on a session constructed without a command.
    std::optional<std::vector<std::string>> args;

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
    std::string read_nonblocking(long size = 1, std::optional<double> timeout = -1);
    /// The same with a std::chrono duration as the time-out.
    template <class Rep, class Period>
    std::string read_nonblocking(long size, std::chrono::duration<Rep, Period> timeout) {
        return read_nonblocking(size, to_seconds(timeout));
    }

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
    int expect(const pattern_input& patterns, std::optional<double> timeout = -1,
               std::optional<long> searchwindowsize = -1);
    /// expect() with patterns compiled beforehand by compile_pattern_list().
    int expect_list(const compiled_pattern_list& patterns, std::optional<double> timeout = -1,
                    std::optional<long> searchwindowsize = -1);
    /// expect() with plain strings, found byte for byte (no regex syntax).
    int expect_exact(const exact_input& patterns, std::optional<double> timeout = -1,
                     std::optional<long> searchwindowsize = -1);
    /// The loop under every expect call, with any search strategy; `searcher`
    /// becomes the session's `searcher`.
    int expect_loop(std::shared_ptr<search_strategy> searcher, std::optional<double> timeout = -1,
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
    /// The same with a std::chrono duration as the time-out.
    template <class Rep, class Period>
    int expect(const pattern_input& patterns, std::chrono::duration<Rep, Period> timeout,
               std::optional<long> searchwindowsize = -1) {
        return expect(patterns, to_seconds(timeout), searchwindowsize);
    }
    /// expect_list() with a std::chrono duration as the time-out.
    template <class Rep, class Period>
    int expect_list(const compiled_pattern_list& pattern_list, std::chrono::duration<Rep, Period> timeout,
                    std::optional<long> searchwindowsize = -1) {
        return expect_list(pattern_list, to_seconds(timeout), searchwindowsize);
    }
    /// expect_exact() with a std::chrono duration as the time-out.
    template <class Rep, class Period>
    int expect_exact(const exact_input& pattern_list, std::chrono::duration<Rep, Period> timeout,
                     std::optional<long> searchwindowsize = -1) {
        return expect_exact(pattern_list, to_seconds(timeout), searchwindowsize);
    }
    /// expect_loop() with a std::chrono duration as the time-out.
    template <class Rep, class Period>
    int expect_loop(std::shared_ptr<search_strategy> searcher, std::chrono::duration<Rep, Period> timeout,
                    std::optional<long> searchwindowsize = -1) {
        return expect_loop(std::move(searcher), to_seconds(timeout), searchwindowsize);
    }

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

    /// Input iterator over the session's lines, as a range-for over a spawn
    /// uses it; each step calls next(), and may wait for output.
    class line_iterator {
    public:
        using iterator_category = std::input_iterator_tag;  ///< Each line is read once.
        using value_type = std::string;                     ///< A line, with its line ending.
        using difference_type = std::ptrdiff_t;             ///< Required of an iterator.
        using pointer = const std::string*;                 ///< Pointer to the current line.
        using reference = const std::string&;               ///< The current line.

        /// The end of the lines.
        line_iterator() = default;
        /// At the first line of `s`, read at once (the end when there is none).
        explicit line_iterator(spawn* s) : session_(s) { ++*this; }
        /// The current line, with its line ending.
        reference operator*() const { return line_; }
        /// Pointer to the current line.
        pointer operator->() const { return &line_; }
        /// Reads the next line; after the last it equals the end.
        line_iterator& operator++() {
            auto line = session_->next();
            if (line)
                line_ = std::move(*line);
            else
                session_ = nullptr;
            return *this;
        }
        /// The same as prefix ++ (an input iterator returns nothing here).
        void operator++(int) { ++*this; }
        /// Equal when both are at the end, or both read the same session.
        bool operator==(const line_iterator& other) const { return session_ == other.session_; }

    private:
        spawn* session_ = nullptr;
        std::string line_;
    };
    /// A range-for over a session yields its lines until readline() gives "".
    /// This reads the first line at once.
    line_iterator begin() { return line_iterator(this); }
    /// The end of the lines.
    line_iterator end() { return line_iterator(); }

    // --- Terminal modes of the child's side. ---
    /// Whether the terminal echoes what is sent to the child.
    bool getecho() const;
    /// Turns the terminal's echo on (`state` true) or off, at once; no other
    /// mode changes.
    void setecho(bool state);
    /// True once the child has turned echo off; false when the time ran out.
    /// It looks every 0.1 seconds; `timeout` -1 is the session's `timeout`,
    /// no value waits without limit.
    bool waitnoecho(std::optional<double> timeout = -1);
    /// The same with a std::chrono duration as the time-out.
    template <class Rep, class Period>
    bool waitnoecho(std::chrono::duration<Rep, Period> timeout) {
        return waitnoecho(to_seconds(timeout));
    }
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
    int expect_screen(const pattern_input& patterns, std::optional<double> timeout = -1);
    /// expect_screen() with plain strings, as expect_exact() takes them.
    int expect_screen_exact(const exact_input& patterns, std::optional<double> timeout = -1);
    /// The same with a std::chrono duration as the time-out.
    template <class Rep, class Period>
    int expect_screen(const pattern_input& patterns, std::chrono::duration<Rep, Period> timeout) {
        return expect_screen(patterns, to_seconds(timeout));
    }
    /// The same with a std::chrono duration as the time-out.
    template <class Rep, class Period>
    int expect_screen_exact(const exact_input& patterns, std::chrono::duration<Rep, Period> timeout) {
        return expect_screen_exact(patterns, to_seconds(timeout));
    }
    /// Where the last expect_screen call's match lies; no value when that
    /// call did not end in a match. std::logic_error while the screen is off.
    std::optional<screen_span> screen_match_span() const;

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
    screen_view wait_screen_change(seconds_value quiet, std::optional<double> timeout = -1);
    /// Waits until `predicate` holds for the screen (tested before the first
    /// read and after every read that changed it), for what a pattern cannot
    /// tell, such as a cell's colour, and returns that screen; `buffer` is
    /// then emptied as by a screen match. Throws EOF_ or TIMEOUT, with the
    /// text dump and the screen, when the output ends or the time runs out
    /// first; what was read then stays in `buffer`.
    screen_view wait_screen(const std::function<bool(const screen_view&)>& predicate,
                            std::optional<double> timeout = -1);

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
    /// Reads until the screen has shown the same thing for `quiet` (no cell,
    /// nor the cursor, changed), and returns it; at end of file, at once.
    /// Like a screen match, a settled screen empties `buffer`. Throws
    /// TIMEOUT, with the text dump and the screen, when `timeout` runs out
    /// first; what was read then stays in `buffer`.
    screen_view wait_screen_settled(seconds_value quiet, std::optional<double> timeout = -1);
    /// The same with a std::chrono duration as the time-out.
    template <class Rep, class Period>
    screen_view wait_screen_settled(seconds_value quiet, std::chrono::duration<Rep, Period> timeout) {
        return wait_screen_settled(quiet, to_seconds(timeout));
    }

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
    std::unique_ptr<detail::session_state> state_;
};

/// Writes the session's text dump, str().
std::ostream& operator<<(std::ostream& os, const spawn& s);

}  // namespace ptypilot

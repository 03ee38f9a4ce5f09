/// \file
/// The public fields of a session, grouped by their role. spawn inherits them
/// all; the compiler moves them.
#pragma once

#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include <ptypilot/defaults.hpp>
#include <ptypilot/errors.hpp>
#include <ptypilot/export.hpp>
#include <ptypilot/pattern.hpp>
#include <ptypilot/regex.hpp>
#include <ptypilot/searcher.hpp>
#include <ptypilot/spawn_options.hpp>

namespace ptypilot {

/// `after` of an expect call: the matched text, or the sentinel that was the
/// outcome, or nothing yet.
using after_value = std::variant<std::monostate, std::string, sentinel>;
/// `match` of an expect call: the match result, or the sentinel, or nothing.
using match_value = std::variant<std::monostate, match_result, sentinel>;

/// The caller's own process streams, which the relay and the start use; a
/// session moved from keeps them.
struct PTYPILOT_API spawn_streams {
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
    std::istream* stdin_ = nullptr;
    /// Stream (std::cout; not owned) on which `interact` first shows the
    /// pending `buffer`, and the start prints its warning about `cwd`.
    std::ostream* stdout_ = nullptr;
    /// The process's standard error stream (std::cerr); the session does not
    /// write to it.
    std::ostream* stderr_ = nullptr;
};

/// How a session reads, waits, searches, sends and logs: the settings a
/// caller assigns.
struct PTYPILOT_API spawn_settings {
    /// Default time-out of reading and expecting, in seconds; no value waits
    /// without limit. After end of file, close() also gives the child this
    /// long to end by itself.
    std::optional<double> timeout = defaults::timeout;
    /// The most bytes one read of the expect loop asks for; not allocated,
    /// and a read asks for 1 MiB at most whatever the setting.
    int maxread = defaults::maxread;
    /// Default search window of the expect calls: how far back from the end
    /// of the buffer a search looks; no value: no window (see searcher_string
    /// and searcher_re for what each does without one).
    std::optional<long> searchwindowsize;
    /// When true, strings compiled by `expect` ignore the case of ASCII
    /// letters; a regex compiled by the caller keeps its own flags.
    bool ignorecase = false;
    /// Where read() and readline() stop besides their own pattern:
    /// sentinel::eof (end of file) by default, or any pattern.
    pattern delimiter = sentinel::eof;
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
    /// Kept for file-like use; the session does not read it.
    bool softspace = false;
    /// Kept for file-like use; the session does not read it (data is bytes,
    /// never decoded).
    std::optional<std::string> encoding;
};

/// What was read and not yet consumed, and what the last expect call found.
struct PTYPILOT_API spawn_outcome {
    /// Text read from the child and not yet consumed by an expect call; the
    /// next call searches it first. `interact` shows it and empties it.
    std::string buffer;
    /// The search strategy of the last expect call (null before the first);
    /// its description is part of the text dump.
    std::shared_ptr<search_strategy> searcher;
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
};

/// The child and its terminal: whether they are there and how the child
/// ended.
struct PTYPILOT_API spawn_child {
    /// False while the session holds an open pseudo-terminal, from the start
    /// until close().
    bool closed = true;
    /// The parent side of the pseudo-terminal (on a session over descriptors,
    /// the one read), owned by the session; -1 before the start and after
    /// close().
    int child_fd = -1;
    /// The child's process id from the start on; no value on a session that
    /// was never started.
    std::optional<int> pid;
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
};

/// What the start runs, and where: read by the start, set by it, or both.
struct PTYPILOT_API spawn_start {
    /// A display name: `<` + the argument words joined by blanks + `>` once
    /// the child has started; `<ptypilot factory incomplete>` on a session
    /// constructed without a command.
    std::string name;
    /// The program's path as found along PATH, once the start has run; no
    /// value on a session constructed without a command.
    std::optional<std::string> command;
    /// The child's argument words, the first equal to `command`, once the
    /// start has run; no value on a session constructed without a command.
    std::optional<std::vector<std::string>> args;
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
    bool irix_hack = false;
    /// False selects the substitute start, which acquires the controlling
    /// terminal by opening it and checks /dev/tty on the way; true sets it
    /// with setsid and TIOCSCTTY as forkpty does. Set at construction (true
    /// except on Solaris); read by the start.
    bool use_native_pty_fork = true;
    /// The child starts with SIGHUP ignored (true, the default), so that it
    /// outlives the session closing its side of the terminal; false starts it
    /// with SIGHUP at its default action like every other signal, so that a
    /// program can trap it or be ended by it. Read by the start.
    bool ignore_sighup = true;
};

/// Every public field of a session (see spawn), each group in a base of its
/// own so that a group can be reset as a whole.
struct spawn_fields : spawn_streams, spawn_settings, spawn_outcome, spawn_child, spawn_start {};

}  // namespace ptypilot

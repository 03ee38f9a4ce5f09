// The session: one child process running under a pseudo-terminal.
#pragma once

#include <cstddef>
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
#include <ptypilot/errors.hpp>
#include <ptypilot/expect_input.hpp>
#include <ptypilot/pattern.hpp>
#include <ptypilot/regex.hpp>
#include <ptypilot/searcher.hpp>

namespace ptypilot {

// The child's complete environment, name to value.
using env_map = std::map<std::string, std::string>;

// `after` of an expect call: the matched text, or the sentinel that was the
// outcome, or nothing yet.
using after_value = std::variant<std::monostate, std::string, sentinel>;
// `match` of an expect call: the match result, or the sentinel, or nothing.
using match_value = std::variant<std::monostate, match_result, sentinel>;

// Transforms a chunk of bytes on its way through `interact`.
using filter_function = std::function<std::string(std::string)>;

// Why `interact` returned.
enum class interact_end {
    child_ended,  // the child has ended; its status is recorded
    escape,       // the user typed the escape character; the child may still run
    hangup,       // the user's terminal hung up: nobody is left to relay to
    woken,        // the wake descriptor turned readable and `on_wake` did not go on
};

// What `interact` does beyond relaying, each only when asked.
struct interact_options {
    // Give the child the window size of the user's terminal (TIOCGWINSZ on
    // standard input) when the relay starts or resumes and after every
    // SIGWINCH. For the length of the call the relay handles SIGWINCH itself
    // and puts the previous action back afterwards; one relay at a time.
    bool follow_window_size = false;
    // A descriptor that turns readable when the caller has something to do,
    // such as the read end of a pipe its signal handlers write to; -1 for
    // none. The relay does not read it: it gives the user's terminal its own
    // mode back and calls `on_wake`, which takes what made the descriptor
    // readable and returns true to go on in raw mode or false to end the
    // relay. Without `on_wake` the relay ends.
    int wake_fd = -1;
    std::function<bool()> on_wake;
};

inline constexpr const char* version = "2.4";
inline constexpr const char* revision = "$Revision: 516 $";

namespace detail {
struct session_state;
}

class spawn {
public:
    // Starts `command` at once unless it has no value. With an empty `args`
    // the command line is split into words; otherwise `command` is one word.
    explicit spawn(std::optional<std::string> command, std::vector<std::string> args = {},
                   std::optional<double> timeout = defaults::timeout, int maxread = defaults::maxread,
                   std::optional<long> searchwindowsize = std::nullopt, std::ostream* logfile = nullptr,
                   std::optional<std::string> cwd = std::nullopt, std::optional<env_map> env = std::nullopt);

    // Releasing an open session closes it (ending its child); never throws.
    ~spawn();

    // The session's identity is its address (it shows in `name`).
    spawn(const spawn&) = delete;
    spawn& operator=(const spawn&) = delete;
    spawn(spawn&&) = delete;
    spawn& operator=(spawn&&) = delete;

    // --- Fields, in the order construction sets them. ---
    int STDIN_FILENO_ = 0;
    int STDOUT_FILENO_ = 1;
    int STDERR_FILENO_ = 2;
    std::istream* stdin_;
    std::ostream* stdout_;
    std::ostream* stderr_;
    std::shared_ptr<search_strategy> searcher;
    bool ignorecase = false;
    std::optional<std::string> before;
    after_value after;
    match_value match;
    std::optional<int> match_index;
    bool terminated = true;
    std::optional<int> exitstatus;
    std::optional<int> signalstatus;
    std::optional<int> status;
    bool flag_eof = false;
    std::optional<int> pid;
    int child_fd = -1;
    std::optional<double> timeout;
    pattern delimiter = sentinel::eof;
    std::ostream* logfile = nullptr;
    std::ostream* logfile_read = nullptr;
    std::ostream* logfile_send = nullptr;
    int maxread;
    std::string buffer;
    std::optional<long> searchwindowsize;
    double delaybeforesend = defaults::delaybeforesend;
    double delayafterclose = defaults::delayafterclose;
    double delayafterterminate = defaults::delayafterterminate;
    // Pause after each read of the expect loop; 0 removes it.
    double delayafterread = defaults::delayafterread;
    bool softspace = false;
    std::string name;
    std::optional<std::string> encoding;
    bool closed = true;
    std::optional<std::string> cwd;
    std::optional<env_map> env;
    bool irix_hack;
    // False selects the substitute start (openpty, fork, and making the
    // controlling terminal by hand) instead of forkpty.
    bool use_native_pty_fork;
    std::optional<std::string> command;
    std::optional<std::vector<std::string>> args;
    // The window size (rows, columns) the child's terminal starts with. To
    // change it, construct without a command, set it, then call _spawn.
    std::pair<unsigned short, unsigned short> start_winsize{defaults::rows, defaults::columns};

    // --- Start (normally called by the constructor). ---
    // Starts the child of a session constructed without a command, after the
    // caller has set fields such as `use_native_pty_fork`, `cwd` or `env`.
    void _spawn(std::string command, std::vector<std::string> args = {});

    // --- Small file-like operations. ---
    int fileno() const noexcept { return child_fd; }
    bool isatty() const noexcept;
    void flush() noexcept {}
    [[noreturn]] void setmaxread(int maxread);
    [[noreturn]] void setlog(std::ostream* fileobject);

    // The 26-line text dump.
    std::string str() const;
    // "<ptypilot.spawn object at 0x...>"
    std::string identity() const;

    // --- Lifecycle. ---
    bool isalive();
    std::optional<int> wait();
    void kill(int sig);
    bool terminate(bool force = false);
    void close(bool force = true);
    bool eof() const noexcept { return flag_eof; }

    // --- Reading. ---
    // One read of at most `size` bytes, waiting at most `timeout` seconds
    // (-1: the session's `timeout`; no value: without limit).
    std::string read_nonblocking(long size = 1, std::optional<double> timeout = -1);

    // --- Writing. ---
    long send(std::string_view s);
    long sendline(std::string_view s = {});
    void write(std::string_view s);
    template <class Range>
    void writelines(const Range& sequence) {
        for (const auto& s : sequence) write(s);
    }
    // Ctrl-<c> for a letter of either case or one of the symbols
    // @ ` [ { | ] } ^ ~ _ ? and backslash; 0 and nothing sent for any other.
    long sendcontrol(char c);
    void sendeof();
    void sendintr();

    // --- Expecting. ---
    compiled_pattern_list compile_pattern_list(const pattern_input& patterns) const;
    int expect(const pattern_input& patterns, std::optional<double> timeout = -1,
               std::optional<long> searchwindowsize = -1);
    int expect_list(const compiled_pattern_list& pattern_list, std::optional<double> timeout = -1,
                    std::optional<long> searchwindowsize = -1);
    int expect_exact(const exact_input& pattern_list, std::optional<double> timeout = -1,
                     std::optional<long> searchwindowsize = -1);
    int expect_loop(std::shared_ptr<search_strategy> searcher, std::optional<double> timeout = -1,
                    std::optional<long> searchwindowsize = -1);

    // --- Reading like a file, through the expect loop. ---
    // size < 0: everything up to the delimiter (normally end of file);
    // size > 0: that many bytes, or fewer when the delimiter comes first.
    std::string read(long size = -1);
    // One line with its "\r\n", the unterminated rest at the end, or "".
    std::string readline(long size = -1);
    std::vector<std::string> readlines(long sizehint = -1);
    // The next line; no value once readline() yields "".
    std::optional<std::string> next();

    class line_iterator {
    public:
        using iterator_category = std::input_iterator_tag;
        using value_type = std::string;
        using difference_type = std::ptrdiff_t;
        using pointer = const std::string*;
        using reference = const std::string&;

        line_iterator() = default;
        explicit line_iterator(spawn* s) : session_(s) { ++*this; }
        reference operator*() const { return line_; }
        pointer operator->() const { return &line_; }
        line_iterator& operator++() {
            auto line = session_->next();
            if (line)
                line_ = std::move(*line);
            else
                session_ = nullptr;
            return *this;
        }
        void operator++(int) { ++*this; }
        bool operator==(const line_iterator& other) const { return session_ == other.session_; }

    private:
        spawn* session_ = nullptr;
        std::string line_;
    };
    // A range-for over a session yields its lines until readline() gives "".
    line_iterator begin() { return line_iterator(this); }
    line_iterator end() { return line_iterator(); }

    // --- Terminal modes of the child's side. ---
    bool getecho() const;
    void setecho(bool state);
    // True once the child has turned echo off; false when the time ran out.
    bool waitnoecho(std::optional<double> timeout = -1);
    std::pair<int, int> getwinsize() const;  // (rows, columns)
    void setwinsize(long rows, long cols);

    // --- Interactive relay. ---
    // Relays the user's terminal (standard input and output, input in raw
    // mode) to the child until one of the ends in `interact_end`. When
    // standard input ends, the child gets its terminal's end-of-file
    // character once everything before it has gone and its terminal reads
    // lines. Neither side's data is lost to a full or non-blocking terminal.
    interact_end interact(std::string escape_character = std::string(1, '\x1d'),
                          filter_function input_filter = nullptr, filter_function output_filter = nullptr,
                          const interact_options& options = {});

private:
    // Everything a caller has no business with: the descriptors the session
    // owns and its scratch space.
    std::unique_ptr<detail::session_state> state_;
};

std::ostream& operator<<(std::ostream& os, const spawn& s);

}  // namespace ptypilot

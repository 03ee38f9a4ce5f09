// The session: one child process running under a pseudo-terminal.
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
#include <ptypilot/errors.hpp>
#include <ptypilot/expect_input.hpp>
#include <ptypilot/pattern.hpp>
#include <ptypilot/regex.hpp>
#include <ptypilot/screen.hpp>
#include <ptypilot/searcher.hpp>
#include <ptypilot/seconds.hpp>
#include <ptypilot/spawn_options.hpp>

namespace ptypilot {

// `after` of an expect call: the matched text, or the sentinel that was the
// outcome, or nothing yet.
using after_value = std::variant<std::monostate, std::string, sentinel>;
// `match` of an expect call: the match result, or the sentinel, or nothing.
using match_value = std::variant<std::monostate, match_result, sentinel>;

// Transforms a chunk of bytes on its way through `interact`.
using filter_function = std::function<std::string(std::string)>;

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

    // The same with the settings by name:
    //   spawn s("ssh vault", {.timeout = 10s, .env = env_map{{"TERM", "dumb"}}});
    spawn(std::optional<std::string> command, const spawn_options& options);
    spawn(std::optional<std::string> command, std::vector<std::string> args, const spawn_options& options);
    // Arguments written in braces, `spawn(cmd, {"-l"})`, `spawn(cmd, {})`.
    spawn(std::optional<std::string> command, std::initializer_list<std::string> args)
        : spawn(std::move(command), std::vector<std::string>(args)) {}

    // Releasing an open session closes it (ending its child); never throws.
    ~spawn();

    // A session moves with its child and its identity (the address it was
    // constructed at, as `name` shows it); the one moved from is left like a
    // closed session. Assigning to an open session closes it first.
    spawn(spawn&& other);
    spawn& operator=(spawn&& other);
    spawn(const spawn&) = delete;
    spawn& operator=(const spawn&) = delete;

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
    // False selects the substitute start, which acquires the controlling
    // terminal by opening it and checks /dev/tty on the way; true sets it
    // with setsid and TIOCSCTTY as forkpty does.
    bool use_native_pty_fork;
    std::optional<std::string> command;
    std::optional<std::vector<std::string>> args;

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
    template <class Rep, class Period>
    std::string read_nonblocking(long size, std::chrono::duration<Rep, Period> timeout) {
        return read_nonblocking(size, to_seconds(timeout));
    }

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
    // The same with a std::chrono duration as the time-out.
    template <class Rep, class Period>
    int expect(const pattern_input& patterns, std::chrono::duration<Rep, Period> timeout,
               std::optional<long> searchwindowsize = -1) {
        return expect(patterns, to_seconds(timeout), searchwindowsize);
    }
    template <class Rep, class Period>
    int expect_list(const compiled_pattern_list& pattern_list, std::chrono::duration<Rep, Period> timeout,
                    std::optional<long> searchwindowsize = -1) {
        return expect_list(pattern_list, to_seconds(timeout), searchwindowsize);
    }
    template <class Rep, class Period>
    int expect_exact(const exact_input& pattern_list, std::chrono::duration<Rep, Period> timeout,
                     std::optional<long> searchwindowsize = -1) {
        return expect_exact(pattern_list, to_seconds(timeout), searchwindowsize);
    }
    template <class Rep, class Period>
    int expect_loop(std::shared_ptr<search_strategy> searcher, std::chrono::duration<Rep, Period> timeout,
                    std::optional<long> searchwindowsize = -1) {
        return expect_loop(std::move(searcher), to_seconds(timeout), searchwindowsize);
    }

    // The outcome of the last expect call as plain text: what came before the
    // match, and what matched (empty when nothing did, or when end of file or
    // the time-out was the outcome).
    const std::string& before_str() const noexcept;
    const std::string& after_str() const noexcept;

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
    template <class Rep, class Period>
    bool waitnoecho(std::chrono::duration<Rep, Period> timeout) {
        return waitnoecho(to_seconds(timeout));
    }
    std::pair<int, int> getwinsize() const;  // (rows, columns)
    void setwinsize(long rows, long cols);

    // --- The rendered screen. ---
    // Renders every byte read from the child from now on (by the expect
    // operations, read*, read_nonblocking and interact) on an emulated
    // terminal of the session's window size that follows setwinsize(). Call
    // it before the first read to see everything; calling it again changes
    // nothing. Throws std::out_of_range when the window is not between 1 and
    // virtual_terminal::max_side in each direction, and setwinsize() then
    // refuses such a size too.
    void enable_screen();
    bool screen_enabled() const noexcept;
    // What the child's terminal shows now. std::logic_error while the screen
    // is off, as for every screen operation below.
    screen_view screen() const;
    // expect() and expect_exact() over the screen's text (screen_view::text():
    // rows without trailing blanks, joined by "\n"), searched before the first
    // read and after every read that changed the screen. Index, sentinels and
    // errors as for expect(); `before` is the screen's text before the match
    // and `after` the match (on end of file or a time-out `before` is all of
    // the screen's text); `match` holds offsets in that text, and
    // screen_match_span() where it lies. The bytes read are added to `buffer`
    // as expect() adds them; a match empties it (the screen shows what all of
    // them did), any other outcome leaves them there. An EOF_ or TIMEOUT
    // thrown carries the session's text dump and then the screen.
    int expect_screen(const pattern_input& patterns, std::optional<double> timeout = -1);
    int expect_screen_exact(const exact_input& patterns, std::optional<double> timeout = -1);
    template <class Rep, class Period>
    int expect_screen(const pattern_input& patterns, std::chrono::duration<Rep, Period> timeout) {
        return expect_screen(patterns, to_seconds(timeout));
    }
    template <class Rep, class Period>
    int expect_screen_exact(const exact_input& patterns, std::chrono::duration<Rep, Period> timeout) {
        return expect_screen_exact(patterns, to_seconds(timeout));
    }
    // Where the last expect_screen call's match lies; no value when that call
    // did not end in a match.
    std::optional<screen_span> screen_match_span() const;
    // Reads until the screen has shown the same thing for `quiet` (no cell,
    // nor the cursor, changed), and returns it; at end of file, at once.
    // Like a screen match, a settled screen empties `buffer`. Throws TIMEOUT,
    // with the text dump and the screen, when `timeout` runs out first; what
    // was read then stays in `buffer`.
    screen_view wait_screen_settled(seconds_value quiet, std::optional<double> timeout = -1);
    template <class Rep, class Period>
    screen_view wait_screen_settled(seconds_value quiet, std::chrono::duration<Rep, Period> timeout) {
        return wait_screen_settled(quiet, to_seconds(timeout));
    }

    // --- Escape-free reading. ---
    // With stripping on, every read from now on leaves terminal escape
    // sequences out of what it returns and adds to `buffer` (as
    // strip_escapes() does, a sequence cut between reads included), so that
    // ordinary patterns match text that colours or cursor motion interrupt. A
    // read that got nothing but escape sequences reads again within its
    // time-out. The screen and the log files still get every byte.
    void set_escape_stripping(bool on);
    bool escape_stripping() const noexcept;

    // --- Interactive relay. ---
    void interact(std::string escape_character = std::string(1, '\x1d'),
                  filter_function input_filter = nullptr, filter_function output_filter = nullptr);

private:
    // Everything a caller has no business with: the descriptors the session
    // owns and its scratch space.
    std::unique_ptr<detail::session_state> state_;
};

std::ostream& operator<<(std::ostream& os, const spawn& s);

}  // namespace ptypilot

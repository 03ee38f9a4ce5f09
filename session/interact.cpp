// The interactive relay between the user's terminal and the child.
#include <ptypilot/spawn.hpp>

#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <ios>
#include <optional>
#include <span>
#include <string_view>
#include <ostream>

#include "os/ready_wait.hpp"
#include "os/system_error.hpp"
#include "session/log.hpp"
#include "session/raw_mode.hpp"
#include "session/session_state.hpp"
#include "session/winch_pipe.hpp"

namespace ptypilot {

namespace {

// Filters see chunks of at most 1000 bytes, as they always have; without a
// filter the relay takes what is ready, up to 64 KiB, in one read: a 50 MB
// burst then costs 800 passes instead of 50,000.
constexpr std::size_t filtered_chunk = 1000;
constexpr std::size_t unfiltered_chunk = 64 * 1024;

// Most that is taken from the pty once the child has ended. A dead child
// leaves at most a pty buffer's worth; only a descendant that inherited the
// terminal and keeps writing could go on, and must not hold the relay forever.
constexpr std::size_t drain_limit = 1 << 20;

// How often a relay whose input has ended looks again whether the child's
// terminal reads lines: only then does it understand an end of file, and no
// event tells when a program switches its terminal's mode.
constexpr double eof_recheck_interval = 0.1;

enum class outcome { data, later, end };

// One read of at most `limit` bytes into `data`. `later` when nothing can be
// read now: a descriptor someone made non-blocking, or a signal that the loop
// should look at before anything else. `end` at end of file (errno 0) or on
// an error (a pty master fails with EIO once every holder of the child side
// has closed it).
template <class Read>
outcome read_chunk(const Read& read, std::string& data, std::size_t limit) {
    data.resize(limit);
    const ssize_t n = read(std::span<char>(data.data(), limit));
    if (n > 0) {
        data.resize(static_cast<std::size_t>(n));
        return outcome::data;
    }
    data.clear();
    if (n == -1 && (errno == EAGAIN || errno == EINTR)) return outcome::later;
    if (n == 0) errno = 0;
    return outcome::end;
}

// One write of `pending`, whose written part is dropped from the front. The
// rest waits for the loop: a write cut short was either out of room or broken
// off by a signal, which the loop must see before it writes on (a terminal
// that takes nothing would otherwise hold it forever). Returns 0, or the
// errno of a failure.
template <class Write>
int write_now(const Write& write, std::string& pending) {
    if (pending.empty()) return 0;
    const ssize_t n = write(std::string_view(pending));
    if (n > 0) pending.erase(0, static_cast<std::size_t>(n));
    if (n == -1 && errno != EAGAIN && errno != EINTR) return errno;
    return 0;
}

bool hung_up(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & POLLHUP) != 0;
}

// The source is non-blocking while the relay runs: a child that does not
// read its input then makes the relay wait in its poll, where the child's
// output, its end and the caller's signals are still seen, and not in write().
class source_nonblocking {
public:
    explicit source_nonblocking(detail::byte_source& source) : source_(source) {
        source_.set_nonblocking(true);
    }
    ~source_nonblocking() { source_.set_nonblocking(false); }
    source_nonblocking(const source_nonblocking&) = delete;
    source_nonblocking& operator=(const source_nonblocking&) = delete;

private:
    detail::byte_source& source_;
};

// The relay of one session: its two directions, each with what is read but
// not yet written, and the end of the child.
class relay {
public:
    relay(spawn& s, detail::session_state& state, detail::raw_mode_guard& raw,
          const filter_function& input_filter, const filter_function& output_filter,
          const interact_options& options, detail::winch_pipe* winch)
        : s_(s),
          state_(state),
          raw_(raw),
          input_filter_(input_filter),
          output_filter_(output_filter),
          options_(options),
          winch_(winch),
          source_(*state.source),
          to_fd_(source_.output_fd()),
          stdin_tty_(::isatty(s.STDIN_FILENO_) == 1),
          stdout_tty_(::isatty(s.STDOUT_FILENO_) == 1),
          peer_tty_(source_.is_terminal()) {}

    interact_end run(const std::string& escape_character);

private:
    void copy_window_size() {
        winsize ws{};
        if (::ioctl(s_.STDIN_FILENO_, TIOCGWINSZ, &ws) != 0 || (ws.ws_row == 0 && ws.ws_col == 0)) return;
        long rows = ws.ws_row;
        long columns = ws.ws_col;
        // With the screen on, the child gets the nearest size the screen can
        // show, rather than a relay that stops at an odd user terminal.
        detail::terminal* const screen = state_.tap ? state_.tap->screen.get() : nullptr;
        if (screen) {
            rows = std::clamp(rows, 1L, static_cast<long>(virtual_terminal::max_side));
            columns = std::clamp(columns, static_cast<long>(virtual_terminal::min_columns),
                                 static_cast<long>(virtual_terminal::max_side));
        }
        // A socket or a pipe pair has no window to follow; the screen still
        // shows what a terminal of the user's size would.
        if (!source_.has_child() && !peer_tty_) {
            if (screen) screen->resize(static_cast<int>(rows), static_cast<int>(columns));
            return;
        }
        s_.setwinsize(rows, columns);
    }

    void show(std::string data) {
        if (state_.tap) state_.tap->watch(data);
        if (output_filter_) data = output_filter_(std::move(data));
        detail::log_chunk(s_.logfile, data);
        to_user_ = std::move(data);
        flush_to_user();
    }

    void flush_to_user() {
        const int err = write_now(
            [fd = s_.STDOUT_FILENO_](std::string_view data) { return ::write(fd, data.data(), data.size()); },
            to_user_);
        if (err == 0) return;
        // A hung-up terminal fails writes with EIO (and no longer passes
        // for a terminal at all).
        if (err == EIO && stdout_tty_) {
            hung_up_ = true;
            return;
        }
        detail::throw_errno(err);
    }

    // Keyboard input is dropped once the child's side of the terminal is
    // closed by everyone: nobody would ever read it.
    void flush_to_child() {
        if (to_child_.empty()) return;
        const int err =
            write_now([this](std::string_view data) { return source_.write_some(data); }, to_child_);
        if (err != 0 || (!to_child_.empty() && hung_up(to_fd_))) to_child_.clear();
    }

    outcome read_from_child() {
        std::string data;
        const outcome got = read_chunk([this](std::span<char> into) { return source_.read_some(into); }, data,
                                       output_filter_ ? filtered_chunk : unfiltered_chunk);
        if (got == outcome::data) {
            if (ended_) drained_ += data.size();
            show(std::move(data));
        } else if (got == outcome::end) {
            watch_child_ = false;
            // Without a child, the end of the input is the end of the session.
            if (!source_.has_child()) s_.flag_eof = true;
        }
        return got;
    }

    void read_from_user(const std::string& escape_character) {
        std::string data;
        const auto read_user = [fd = s_.STDIN_FILENO_](std::span<char> into) {
            return ::read(fd, into.data(), into.size());
        };
        switch (read_chunk(read_user, data, input_filter_ ? filtered_chunk : unfiltered_chunk)) {
            case outcome::data: break;
            case outcome::later: return;
            case outcome::end:
                if (stdin_tty_ && (errno == EIO || hung_up(s_.STDIN_FILENO_)))
                    hung_up_ = true;
                else
                    input_ended_ = true;
                return;
        }
        if (input_filter_) data = input_filter_(std::move(data));
        const std::size_t pos = escape_character.empty() ? std::string::npos : data.rfind(escape_character);
        if (pos != std::string::npos) {
            data.resize(pos);
            leaving_ = true;
        }
        if (!data.empty()) line_open_ = data.back() != '\n' && data.back() != '\r';
        to_child_ = std::move(data);
        flush_to_child();
    }

    // Input that has ended reaches the child as its terminal's end-of-file
    // character, once the last byte before it has gone and the terminal reads
    // lines (in raw mode the character would be a plain byte).
    void send_end_of_file() {
        if (!input_ended_ || eof_sent_ || !to_child_.empty()) return;
        termios mode{};
        if (::tcgetattr(source_.terminal_fd(), &mode) != 0) {
            eof_sent_ = true;
            return;
        }
        if ((mode.c_lflag & ICANON) == 0) return;
        eof_sent_ = true;
        if (mode.c_cc[VEOF] == _POSIX_VDISABLE) return;
        // On an unfinished line the character only passes the line on; a
        // second one is the end of file.
        to_child_.assign(line_open_ ? 2 : 1, static_cast<char>(mode.c_cc[VEOF]));
        flush_to_child();
    }

    spawn& s_;
    detail::session_state& state_;
    detail::raw_mode_guard& raw_;
    const filter_function& input_filter_;
    const filter_function& output_filter_;
    const interact_options& options_;
    detail::winch_pipe* const winch_;  // null unless the window size is followed
    detail::byte_source& source_;
    const int to_fd_;  // where room for input shows (a pipe pair writes elsewhere)
    const bool stdin_tty_;
    const bool stdout_tty_;
    const bool peer_tty_;  // the child's side, or the caller's descriptor, is a terminal

    std::string to_user_;   // the child's output, not yet taken by the user's terminal
    std::string to_child_;  // input, not yet taken by the child's terminal
    // A side at its end is readable on every pass; watching it further would
    // only spin, so each side is dropped once it ends.
    bool watch_child_ = true;
    bool input_ended_ = false;
    bool eof_sent_ = false;
    bool line_open_ = false;  // the last input sent did not end a line
    bool leaving_ = false;    // the escape came; what preceded it still goes out
    bool hung_up_ = false;
    bool ended_ = false;  // the child has ended; what it left is drained
    std::size_t drained_ = 0;
};

interact_end relay::run(const std::string& escape_character) {
    if (options_.follow_window_size) copy_window_size();
    // The pidfd sits in every wait: while it stays quiet the child has not
    // ended, so the liveness check (two waitpid calls) is only needed when
    // it stirs. Without a pidfd the check runs before every pass.
    bool check_alive = true;
    for (;;) {
        if (hung_up_) return interact_end::hangup;
        const int pidfd = source_.end_fd();
        if (!ended_ && (check_alive || pidfd < 0) && !s_.isalive()) {
            ended_ = true;
            to_child_.clear();
        }
        if (leaving_ && to_child_.empty()) return interact_end::escape;
        if (ended_ && to_user_.empty()) {
            // What the child left is read without waiting (the master is
            // non-blocking): a wait of no time would end early whenever a
            // signal broke into it. Only what is there now: nothing more.
            if (!watch_child_ || drained_ >= drain_limit || read_from_child() != outcome::data)
                return interact_end::child_ended;
            continue;
        }
        if (!ended_) send_end_of_file();
        const bool read_child = !ended_ && watch_child_ && to_user_.empty();
        const bool read_user = !ended_ && !input_ended_ && !leaving_ && to_child_.empty();

        const int from_fd = source_.input_fd();
        std::vector<int> r, w;
        if (read_child) r.push_back(from_fd);
        if (read_user) r.push_back(s_.STDIN_FILENO_);
        if (!ended_ && pidfd >= 0) r.push_back(pidfd);
        if (options_.wake_fd >= 0) r.push_back(options_.wake_fd);
        if (winch_) r.push_back(winch_->fd());
        if (!to_user_.empty()) w.push_back(s_.STDOUT_FILENO_);
        if (!to_child_.empty()) w.push_back(to_fd_);
        std::optional<double> wait_limit;
        // Bytes waiting inside the source: no wait, they are read at once.
        const bool pending = read_child && source_.pending();
        if (pending) {
            wait_limit = 0.0;
        } else if (!ended_ && pidfd < 0 && (!watch_child_ || source_.has_child())) {
            // No pidfd tells the child's end, and the pty may not either:
            // it has nothing more to give, or a process the child left
            // keeps it open. Look again now and then.
            wait_limit = source_.end_poll_interval().value_or(detail::end_check_interval);
        } else if (!ended_ && input_ended_ && !eof_sent_) {
            wait_limit = eof_recheck_interval;
        }
        const auto ready = detail::select_ready(r, w, {}, wait_limit);
        auto in = [](const std::vector<int>& list, int fd) {
            return std::find(list.begin(), list.end(), fd) != list.end();
        };
        check_alive = pidfd >= 0 && in(ready.r, pidfd);

        if (winch_ && in(ready.r, winch_->fd())) {
            winch_->take();
            copy_window_size();
        }
        if (options_.wake_fd >= 0 && in(ready.r, options_.wake_fd)) {
            if (!options_.on_wake) return interact_end::woken;
            raw_.suspend();
            if (!options_.on_wake()) return interact_end::woken;
            raw_.resume();
            if (options_.follow_window_size) copy_window_size();
            // The rest of this wait may be long out of date.
            continue;
        }
        if (in(ready.w, s_.STDOUT_FILENO_)) flush_to_user();
        if (in(ready.w, to_fd_)) flush_to_child();
        if (read_child && (pending || in(ready.r, from_fd))) read_from_child();
        if (read_user && in(ready.r, s_.STDIN_FILENO_)) read_from_user(escape_character);
    }
}

}  // namespace

interact_end spawn::interact(std::string escape_character, filter_function input_filter,
                             filter_function output_filter, const interact_options& options) {
    detail::open_source(*this, *state_);  // refuses a released terminal before anything is shown
    stdout_->write(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    stdout_->flush();
    if (!*stdout_) throw std::ios_base::failure("interact: writing the buffered output failed");
    buffer.clear();

    detail::raw_mode_guard raw(STDIN_FILENO_);
    std::optional<detail::winch_pipe> winch;
    if (options.follow_window_size) winch.emplace();
    const source_nonblocking nonblocking(*state_->source);
    return relay(*this, *state_, raw, input_filter, output_filter, options, winch ? &*winch : nullptr)
        .run(escape_character);
}

}  // namespace ptypilot

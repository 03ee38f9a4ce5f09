// The interactive relay between the user's terminal and the child.
#include <ptypilot/spawn.hpp>

#include <unistd.h>

#include <algorithm>
#include <ios>
#include <ostream>

#include "session/eintr.hpp"
#include "session/log.hpp"
#include "session/raw_mode.hpp"
#include "session/select.hpp"
#include "session/session_state.hpp"
#include "session/system_error.hpp"
#include "session/write_to_child.hpp"

namespace ptypilot {

namespace {

constexpr std::size_t chunk_size = 1000;

// Most that is taken from the pty once the child has ended. A dead child
// leaves at most a pty buffer's worth; only a descendant that inherited the
// terminal and keeps writing could go on, and must not hold the relay forever.
constexpr std::size_t drain_limit = 1 << 20;

// Reads one chunk; no value at end of file or on an error (a pty master
// fails with EIO once every holder of the child side has closed it).
std::optional<std::string> read_chunk(int fd) {
    char buf[chunk_size];
    const ssize_t n = detail::retry_eintr([&] { return ::read(fd, buf, sizeof buf); });
    if (n <= 0) return std::nullopt;
    return std::string(buf, static_cast<std::size_t>(n));
}

// A short write would drop the tail of the child's output on the floor.
void write_all(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = detail::retry_eintr([&] { return ::write(fd, data.data(), data.size()); });
        if (n == -1) detail::throw_errno();
        data.remove_prefix(static_cast<std::size_t>(n));
    }
}

// The relay of one session: its two directions and the end of the child.
class relay {
public:
    relay(spawn& s, detail::session_state& state, const filter_function& input_filter,
          const filter_function& output_filter)
        : s_(s), state_(state), input_filter_(input_filter), output_filter_(output_filter) {}

    void run(const std::string& escape_character);

private:
    // Keyboard input for the child; dropped once the child has ended or its
    // terminal takes no more, as a dead terminal would.
    void send(std::string_view data) {
        while (!data.empty() && s_.isalive()) {
            const ssize_t n = detail::write_to_child(detail::write_fd(s_, state_), state_.pidfd.get(), data);
            if (n <= 0) return;
            data.remove_prefix(static_cast<std::size_t>(n));
        }
    }

    void show(std::string data) {
        if (output_filter_) data = output_filter_(std::move(data));
        detail::log_chunk(s_.logfile, data);
        write_all(s_.STDOUT_FILENO_, data);
    }

    // What the child wrote last may still sit in the pty after its end.
    void drain() {
        std::size_t taken = 0;
        while (taken < drain_limit) {
            if (detail::select_ready({s_.child_fd}, {}, {}, 0.0).r.empty()) return;
            auto data = read_chunk(s_.child_fd);
            if (!data) return;
            taken += data->size();
            show(std::move(*data));
        }
    }

    spawn& s_;
    detail::session_state& state_;
    const filter_function& input_filter_;
    const filter_function& output_filter_;
};

void relay::run(const std::string& escape_character) {
    // A side at its end is readable on every pass; watching it further would
    // only spin, so each side is dropped once it ends.
    bool watch_child = true;
    bool watch_stdin = true;
    // The pidfd sits in every wait: while it stays quiet the child has not
    // ended, so the liveness check (two waitpid calls) is only needed when
    // it stirs. Without a pidfd the check runs before every pass.
    bool check_alive = true;
    for (;;) {
        // Looked up on every pass: recording the child's end closes it.
        const int pidfd = state_.pidfd.get();
        if ((check_alive || pidfd < 0) && !s_.isalive()) break;
        std::vector<int> fds;
        if (watch_child) fds.push_back(s_.child_fd);
        if (watch_stdin) fds.push_back(s_.STDIN_FILENO_);
        if (pidfd >= 0) fds.push_back(pidfd);
        // Nothing more can come from the pty: sleep until the child ends,
        // or, without a pidfd, look again now and then.
        std::optional<double> wait_limit;
        if (!watch_child && pidfd < 0) wait_limit = 0.05;
        const auto ready = detail::select_ready(fds, {}, {}, wait_limit);
        auto is_ready = [&](int fd) {
            return std::find(ready.r.begin(), ready.r.end(), fd) != ready.r.end();
        };
        check_alive = pidfd >= 0 && is_ready(pidfd);

        if (watch_child && is_ready(s_.child_fd)) {
            if (auto data = read_chunk(s_.child_fd)) {
                show(std::move(*data));
            } else {
                watch_child = false;
                // Without a child, the end of the input is the end of the session.
                if (state_.no_child) s_.flag_eof = true;
            }
        }
        if (watch_stdin && is_ready(s_.STDIN_FILENO_)) {
            auto data = read_chunk(s_.STDIN_FILENO_);
            if (!data) {
                watch_stdin = false;
                continue;
            }
            if (input_filter_) *data = input_filter_(std::move(*data));
            const std::size_t pos =
                escape_character.empty() ? std::string::npos : data->rfind(escape_character);
            if (pos != std::string::npos) {
                send(std::string_view(*data).substr(0, pos));
                return;
            }
            send(*data);
        }
    }
    if (watch_child) drain();
}

}  // namespace

void spawn::interact(std::string escape_character, filter_function input_filter,
                     filter_function output_filter) {
    detail::pty_fd(*this, *state_);  // refuses a released terminal before anything is shown
    stdout_->write(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    stdout_->flush();
    if (!*stdout_) throw std::ios_base::failure("interact: writing the buffered output failed");
    buffer.clear();

    detail::raw_mode_guard raw(STDIN_FILENO_);
    relay(*this, *state_, input_filter, output_filter).run(escape_character);
}

}  // namespace ptypilot

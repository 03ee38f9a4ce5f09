// The interactive relay between the user's terminal and the child.
#include <ptypilot/spawn.hpp>

#include <unistd.h>

#include <ios>
#include <ostream>

#include "session/child_write.hpp"
#include "session/log.hpp"
#include "session/system_error.hpp"
#include "session/raw_mode.hpp"

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
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n == -1) {
            if (errno == EINTR) continue;
            detail::throw_errno();
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
}

}  // namespace

std::string spawn::interact_read(int fd) { return read_chunk(fd).value_or(std::string()); }

void spawn::interact_writen(int fd, std::string_view data) {
    while (!data.empty() && isalive()) {
        const ssize_t n = detail::write_to_child(fd, pidfd_, data);
        if (n <= 0) return;  // the rest of the chunk is dropped, as a dead terminal would
        data.remove_prefix(static_cast<std::size_t>(n));
    }
}

void spawn::interact_show(std::string data, const filter_function& output_filter) {
    if (output_filter) data = output_filter(std::move(data));
    detail::log_chunk(logfile, data);
    write_all(STDOUT_FILENO_, data);
}

void spawn::interact_drain(const filter_function& output_filter) {
    std::size_t taken = 0;
    while (taken < drain_limit) {
        const auto ready = select_({child_fd}, {}, {}, 0.0);
        if (ready.r.empty()) return;
        auto data = read_chunk(child_fd);
        if (!data) return;
        taken += data->size();
        interact_show(std::move(*data), output_filter);
    }
}

void spawn::interact(std::string escape_character, filter_function input_filter,
                     filter_function output_filter) {
    stdout_->write(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    stdout_->flush();
    if (!*stdout_) throw std::ios_base::failure("interact: writing the buffered output failed");
    buffer.clear();

    detail::raw_mode_guard raw(STDIN_FILENO_);
    interact_copy(escape_character, input_filter, output_filter);
}

void spawn::interact_copy(const std::string& escape_character, const filter_function& input_filter,
                          const filter_function& output_filter) {
    // A side at its end is readable on every pass; watching it further would
    // only spin, so each side is dropped once it ends.
    bool watch_child = true;
    bool watch_stdin = true;
    // The pidfd sits in every wait: while it stays quiet the child has not
    // ended, so the liveness check (two waitpid calls) is only needed when
    // it stirs. Without a pidfd the check runs before every pass.
    bool check_alive = true;
    for (;;) {
        if ((check_alive || pidfd_ < 0) && !isalive()) break;
        std::vector<int> fds;
        if (watch_child) fds.push_back(child_fd);
        if (watch_stdin) fds.push_back(STDIN_FILENO_);
        if (pidfd_ >= 0) fds.push_back(pidfd_);
        // Nothing more can come from the pty: sleep until the child ends,
        // or, without a pidfd, look again now and then.
        std::optional<double> wait_limit;
        if (!watch_child && pidfd_ < 0) wait_limit = 0.05;
        const auto ready = select_(fds, {}, {}, wait_limit);
        auto is_ready = [&](int fd) {
            for (const int r : ready.r)
                if (r == fd) return true;
            return false;
        };
        check_alive = pidfd_ >= 0 && is_ready(pidfd_);

        if (watch_child && is_ready(child_fd)) {
            if (auto data = read_chunk(child_fd))
                interact_show(std::move(*data), output_filter);
            else
                watch_child = false;
        }
        if (watch_stdin && is_ready(STDIN_FILENO_)) {
            auto data = read_chunk(STDIN_FILENO_);
            if (!data) {
                watch_stdin = false;
                continue;
            }
            if (input_filter) *data = input_filter(std::move(*data));
            const std::size_t pos =
                escape_character.empty() ? std::string::npos : data->rfind(escape_character);
            if (pos != std::string::npos) {
                interact_writen(child_fd, std::string_view(*data).substr(0, pos));
                return;
            }
            interact_writen(child_fd, *data);
        }
    }
    // The child has ended; what it wrote last may still sit in the pty.
    if (watch_child) interact_drain(output_filter);
}

}  // namespace ptypilot

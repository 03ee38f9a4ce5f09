// The byte source of a session with a child: the parent side of a new
// pseudo-terminal, and the child's life through its pid and pidfd.
#pragma once

#include "os/unique_fd.hpp"
#include "session/byte_source.hpp"

namespace ptypilot::detail {

class pty_child final : public byte_source {
public:
    // A session not started yet: no terminal, no child.
    pty_child() noexcept = default;
    // `pidfd` is empty where the system gives none.
    pty_child(unique_fd master, unique_fd pidfd) noexcept
        : master_(std::move(master)), pidfd_(std::move(pidfd)) {}

    ssize_t read_some(std::span<char> into) override;
    ssize_t write(const spawn& s, std::string_view data) override;
    ssize_t write_some(std::string_view data) override;
    void set_nonblocking(bool on) override;

    int input_fd() const override { return master_.get(); }
    int end_fd() const override { return pidfd_.get(); }
    std::optional<double> end_poll_interval() const override;

    bool has_child() const noexcept override { return true; }
    bool has_ended(const spawn& s) const noexcept override;
    bool await_end(spawn& s, const deadline& until) override;
    bool alive(spawn& s) override;
    std::optional<int> wait(spawn& s) override;
    void kill(spawn& s, int sig) override;
    bool terminate(spawn& s, bool force) override;
    void close(spawn& s, bool force) override;
    void release(spawn& s) noexcept override;

private:
    // The parent side of the pty, whose number child_fd shows. Empty before
    // the start and once released, so that a number that may belong to
    // someone else by then is never closed again.
    unique_fd master_;
    // Turns readable when the child ends; empty without one. Kept after the
    // child is reaped (it names that process, never one that reuses its
    // pid) until close(), so that the descriptors an event loop registered
    // (wait_descriptors()) keep their numbers for as long as the session.
    unique_fd pidfd_;
    int saved_flags_ = -1;  // the master's mode while the relay runs
};

}  // namespace ptypilot::detail

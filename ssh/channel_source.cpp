// A session over an SSH channel: the channel as the session's byte source.
#include <fcntl.h>

#include <cerrno>
#include <csignal>
#include <memory>
#include <utility>

#include <ptypilot/ssh.hpp>

#include "os/system_error.hpp"
#include "os/unique_fd.hpp"
#include "session/byte_source.hpp"
#include "ssh/remote_channel.hpp"

namespace ptypilot::ssh {

namespace {

using ptypilot::detail::deadline;

class channel_source final : public ptypilot::detail::byte_source {
public:
    explicit channel_source(std::unique_ptr<detail::remote_channel> channel)
        : channel_(std::move(channel)),
          // The connection's channels share one socket; a number of its own
          // for each lets an epoll set (a session group) hold them all.
          input_(::fcntl(channel_->socket(), F_DUPFD_CLOEXEC, 0)) {
        if (!input_) ptypilot::detail::throw_errno();
    }

    // libssh decodes what the socket brings here: a readable socket may
    // hold nothing for this channel (another channel's data, a window
    // adjustment), and data for it may wait decoded where no descriptor
    // shows it.
    ssize_t read_some(std::span<char> into) override {
        if (!channel_) return 0;
        const auto n = channel_->read(into.data(), into.size());
        if (!n) return 0;
        if (*n == 0) {
            errno = EAGAIN;
            return -1;
        }
        return static_cast<ssize_t>(*n);
    }
    bool pending() const override { return channel_ && channel_->ready(); }
    ssize_t write(const spawn&, std::string_view data) override { return write_some(data); }
    ssize_t write_some(std::string_view data) override {
        if (!channel_) {
            errno = EBADF;
            return -1;
        }
        try {
            channel_->write(data);
        } catch (const ssh_error&) {
            errno = EPIPE;
            return -1;
        }
        return static_cast<ssize_t>(data.size());
    }
    // Reads never wait; writes wait for the server's window alone.
    void set_nonblocking(bool) override {}

    int input_fd() const override { return input_.get(); }
    int terminal_fd() const override { return -1; }
    bool is_terminal() const noexcept override { return channel_ && channel_->has_terminal(); }
    std::pair<int, int> window() const override {
        if (!is_terminal()) ptypilot::detail::throw_errno(ENOTTY);
        return {channel_->window().rows, channel_->window().columns};
    }
    bool set_window(unsigned short rows, unsigned short columns) override {
        if (!is_terminal()) return false;
        channel_->resize({.rows = rows, .columns = columns});
        return true;
    }

    bool alive(spawn& s) override {
        if (s.closed || !channel_) return false;
        if (!channel_->ended()) return true;
        record(s);
        return false;
    }
    std::optional<int> wait(spawn& s) override {
        if (channel_) channel_->wait_ready(std::nullopt, true);
        record(s);
        return s.exitstatus;
    }
    void kill(spawn& s, int sig) override {
        if (alive(s)) channel_->signal(sig);
    }
    // Signal requests first; a server that does not take them (or a
    // program that outlives them) is left with the channel closed under
    // it, which, with a terminal, its end of the terminal hanging up.
    bool terminate(spawn& s, bool force) override {
        for (const int sig : {SIGHUP, SIGINT}) {
            if (!alive(s)) return true;
            channel_->signal(sig);
            channel_->wait_ready(s.delayafterterminate, true);
        }
        if (!alive(s)) return true;
        if (!force) return false;
        channel_->signal(SIGKILL);
        channel_->wait_ready(s.delayafterterminate, true);
        if (alive(s)) channel_->close();
        return true;
    }
    void close(spawn& s, bool force) override {
        if (channel_) {
            if (!channel_->ended()) {
                try {
                    channel_->send_eof();
                } catch (const ssh_error&) {
                    // A connection gone ends the channel all the same.
                }
                channel_->wait_ready(s.delayafterclose, true);
            }
            if (!channel_->ended()) terminate(s, force);
            record(s);
            // The connection goes with its last holder: this session, when
            // it was made with a connection of its own.
            channel_.reset();
        }
        input_.reset();
        s.child_fd = -1;
        s.closed = true;
    }

private:
    void record(spawn& s) const {
        if (!channel_ || s.status) return;
        if (channel_->exit_status()) {
            s.exitstatus = channel_->exit_status();
            s.status = (*s.exitstatus & 0xff) << 8;
        } else if (channel_->exit_signal()) {
            s.signalstatus = channel_->exit_signal();
            s.status = *s.signalstatus;
        }
    }

    std::unique_ptr<detail::remote_channel> channel_;
    ptypilot::detail::unique_fd input_;
};

}  // namespace

ptypilot::spawn connection::open_session(const channel_options& channel, const spawn_options& options) {
    if (!state_) throw ssh_error("open_session() on a connection moved from");
    auto remote = std::make_unique<detail::remote_channel>(state_, channel, options.window);
    ptypilot::spawn s(std::nullopt, options);
    ptypilot::detail::attach(s, std::make_unique<channel_source>(std::move(remote)));
    s.name = "<ssh " + state_->name + ">";
    return s;
}

ptypilot::spawn open_session(const connect_options& connect, const channel_options& channel,
                             const spawn_options& options) {
    return connection(connect).open_session(channel, options);
}

}  // namespace ptypilot::ssh

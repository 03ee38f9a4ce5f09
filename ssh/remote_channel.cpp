#include "ssh/remote_channel.hpp"

#include <poll.h>

#include <cerrno>
#include <cmath>
#include <utility>

#include "os/clock.hpp"

namespace ptypilot::ssh::detail {

namespace {

void open_or_throw(connection_state& c, int code, const std::string& what) {
    if (code != SSH_OK) throw ssh_error(c.error_text(what));
}

}  // namespace

remote_channel::remote_channel(std::shared_ptr<connection_state> connection, const channel_options& options,
                               window_size window)
    : connection_(std::move(connection)), pty_(options.pty), window_(window) {
    connection_state& c = *connection_;
    if (c.socket() < 0) throw ssh_error("The connection " + c.name + " is gone: no channel can be opened");
    channel_.reset(ssh_channel_new(c.session.get()));
    if (!channel_) throw ssh_error(c.error_text("libssh could not make a channel"));
    ssh_channel ch = channel_.get();
    if (ssh_channel_open_session(ch) != SSH_OK)
        throw ssh_error(c.error_text("The server refused channel " + std::to_string(c.channels + 1) +
                                     " of the connection (its limit of sessions per connection, "
                                     "MaxSessions for OpenSSH, 10 by default)"));
    ++c.channels;
    // Registered before the program starts, so that an end reported at
    // once is not missed.
    ssh_callbacks_init(&callbacks_);
    callbacks_.userdata = this;
    callbacks_.channel_exit_status_function = &remote_channel::on_exit_status;
    callbacks_.channel_exit_signal_function = &remote_channel::on_exit_signal;
    ssh_set_channel_callbacks(ch, &callbacks_);
    if (options.pty)
        open_or_throw(c, ssh_channel_request_pty_size(ch, options.term.c_str(), window.columns, window.rows),
                      "The server refused a terminal");
    // A variable the server's AcceptEnv does not take is refused alone; the
    // channel goes on without it.
    for (const auto& [name, value] : options.env)
        (void)ssh_channel_request_env(ch, name.c_str(), value.c_str());
    if (options.command)
        open_or_throw(c, ssh_channel_request_exec(ch, options.command->c_str()),
                      "The server refused to run " + *options.command);
    else
        open_or_throw(c, ssh_channel_request_shell(ch), "The server refused a shell");
    c.saw_traffic();
}

remote_channel::~remote_channel() {
    close();
    // Freed while the connection is certainly still there (this object
    // holds it), before the callbacks' memory goes.
    channel_.reset();
}

void remote_channel::on_exit_status(ssh_session, ssh_channel, int status, void* self) {
    static_cast<remote_channel*>(self)->exit_status_ = status;
}

void remote_channel::on_exit_signal(ssh_session, ssh_channel, const char* signal, int, const char*,
                                    const char*, void* self) {
    auto* me = static_cast<remote_channel*>(self);
    me->signalled_ = true;
    me->exit_signal_ = signal ? signal_number(signal) : std::nullopt;
}

void remote_channel::lost() noexcept {
    connection_->lost = true;
    eof_ = true;
}

bool remote_channel::ready() {
    if (eof_ || !channel_) return true;
    if (connection_->socket() < 0) {
        lost();
        return true;
    }
    for (int stream = 0; stream < (pty_ ? 1 : 2); ++stream) {
        const int n = ssh_channel_poll(channel_.get(), stream);
        if (n != 0) return true;  // data, end of file, or an error to report
    }
    return ssh_channel_is_closed(channel_.get()) != 0;
}

std::optional<std::size_t> remote_channel::read(char* into, std::size_t size) {
    if (eof_ || !channel_) return std::nullopt;
    if (connection_->socket() < 0) {
        lost();
        return std::nullopt;
    }
    const auto count = static_cast<uint32_t>(std::min<std::size_t>(size, 1U << 20));
    bool at_end = true;
    for (int stream = 0; stream < (pty_ ? 1 : 2); ++stream) {
        const int n = ssh_channel_read_nonblocking(channel_.get(), into, count, stream);
        if (n > 0) {
            connection_->saw_traffic();
            return static_cast<std::size_t>(n);
        }
        if (n == SSH_ERROR) {
            lost();
            return std::nullopt;
        }
        if (n != SSH_EOF) at_end = false;
    }
    if (at_end || ssh_channel_is_eof(channel_.get()) != 0 || ssh_channel_is_closed(channel_.get()) != 0) {
        eof_ = true;
        return std::nullopt;
    }
    return 0;
}

bool remote_channel::wait_ready(std::optional<double> seconds, bool for_end) {
    const ptypilot::detail::deadline until(seconds);
    for (;;) {
        if (for_end ? ended() : ready()) return true;
        const auto left = until.remaining();
        if (left && *left <= 0) return false;
        double wait = connection_->keepalive_in();
        if (left) wait = std::min(wait, *left);
        pollfd p{connection_->socket(), POLLIN, 0};
        const int ms = static_cast<int>(std::ceil(std::min(wait, 1e6) * 1000));
        const int n = ::poll(&p, 1, ms);
        if (n < 0 && errno != EINTR) {
            lost();
            return true;
        }
        if (n == 0) connection_->keepalive_if_due();
        // A socket that reports its end while libssh found nothing to read
        // on it is a connection gone, not one to wait on again.
        if (n > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0 && !(for_end ? ended() : ready())) {
            lost();
            return true;
        }
    }
}

void remote_channel::write(std::string_view bytes) {
    if (!channel_ || connection_->socket() < 0)
        throw ssh_error("Cannot send: the channel of " + connection_->name + " is closed");
    while (!bytes.empty()) {
        const auto chunk = static_cast<uint32_t>(std::min<std::size_t>(bytes.size(), 1U << 20));
        const int n = ssh_channel_write(channel_.get(), bytes.data(), chunk);
        if (n == SSH_ERROR) throw ssh_error(connection_->error_text("Cannot send"));
        bytes.remove_prefix(static_cast<std::size_t>(n));
        connection_->saw_traffic();
    }
}

void remote_channel::send_eof() {
    if (sent_eof_ || !channel_) return;
    sent_eof_ = true;
    if (ssh_channel_send_eof(channel_.get()) == SSH_ERROR)
        throw ssh_error(connection_->error_text("Cannot send end of file"));
}

bool remote_channel::signal(int sig) {
    const char* name = signal_name(sig);
    if (!name || !channel_ || connection_->socket() < 0 || ssh_channel_is_open(channel_.get()) == 0)
        return false;
    return ssh_channel_request_send_signal(channel_.get(), name) == SSH_OK;
}

void remote_channel::resize(window_size window) {
    if (!pty_ || !channel_ || connection_->socket() < 0) return;
    if (ssh_channel_change_pty_size(channel_.get(), window.columns, window.rows) == SSH_ERROR)
        throw ssh_error(connection_->error_text("The window change was not sent"));
    window_ = window;
}

bool remote_channel::ended() {
    if (exit_status_ || signalled_ || !channel_) return true;
    connection_->pump();
    if (exit_status_ || signalled_) return true;
    if (connection_->socket() < 0) return true;
    return ssh_channel_is_closed(channel_.get()) != 0;
}

void remote_channel::close() noexcept {
    if (!channel_ || closed_) return;
    closed_ = true;
    --connection_->channels;
    eof_ = true;
    if (connection_->socket() >= 0 && ssh_channel_is_open(channel_.get()) != 0)
        (void)ssh_channel_close(channel_.get());
}

}  // namespace ptypilot::ssh::detail

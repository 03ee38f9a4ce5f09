// One channel of a connection running a command or a shell: the bytes both
// ways and the remote program's life, as a session needs them.
#pragma once

#include <libssh/callbacks.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <string_view>

#include <ptypilot/ssh.hpp>

#include "ssh/connection_state.hpp"

namespace ptypilot::ssh::detail {

class remote_channel {
public:
    // Opens a session channel, asks for the terminal and the environment,
    // and starts the command or the shell. Throws ssh_error (naming the
    // server's session limit when the server refused the channel).
    remote_channel(std::shared_ptr<connection_state> connection, const channel_options& options,
                   window_size window);
    ~remote_channel();
    // The callbacks libssh holds point here: the object stays where it is.
    remote_channel(const remote_channel&) = delete;
    remote_channel& operator=(const remote_channel&) = delete;

    // The socket the channel's data arrive on (shared with the
    // connection's other channels); -1 once the connection is gone.
    int socket() const noexcept { return connection_->socket(); }
    // Whether a read would return something now without waiting: data
    // libssh holds already (decrypted, from an earlier read of the socket,
    // perhaps for another channel), end of file, or the channel's end.
    bool ready();
    // Takes what is there, at most `size` bytes, without waiting. The
    // program's output and its error stream (without a terminal) both come
    // here. 0: nothing now; no value: end of file.
    std::optional<std::size_t> read(char* into, std::size_t size);
    // Waits up to `seconds` (no value: no limit) until ready(), or with
    // `for_end` until ended(), sending keepalives as they fall due; whether
    // it came.
    bool wait_ready(std::optional<double> seconds, bool for_end = false);
    // Sends all of `bytes` (waiting for the window as the server opens it).
    void write(std::string_view bytes);
    // End of file to the remote program's input.
    void send_eof();
    // A signal request (sig: SIGTERM, ...); false when the signal has no
    // SSH name, the channel is gone, or the request could not be sent.
    bool signal(int sig);
    // A window-change request; nothing without a terminal.
    void resize(window_size window);
    // Closes the channel (the server ends the program's side); twice does nothing.
    void close() noexcept;

    // What the server reported of the program's end.
    std::optional<int> exit_status() const noexcept { return exit_status_; }
    // The signal's number; none too for a signal whose name has no number
    // here (ended() then still says the program has ended).
    std::optional<int> exit_signal() const noexcept { return exit_signal_; }
    // Whether the program has ended as far as the channel shows: its end
    // reported, the channel closed by the server, or the connection gone.
    // Takes in what has arrived first, without waiting.
    bool ended();
    bool at_eof() const noexcept { return eof_; }
    bool has_terminal() const noexcept { return pty_; }
    window_size window() const noexcept { return window_; }

    const std::shared_ptr<connection_state>& connection() const noexcept { return connection_; }

private:
    static void on_exit_status(ssh_session, ssh_channel, int status, void* self);
    static void on_exit_signal(ssh_session, ssh_channel, const char* signal, int core, const char* message,
                               const char* language, void* self);
    void lost() noexcept;

    std::shared_ptr<connection_state> connection_;
    channel_ptr channel_;
    ssh_channel_callbacks_struct callbacks_{};
    bool pty_ = false;
    window_size window_;
    bool eof_ = false;
    bool sent_eof_ = false;
    bool closed_ = false;
    std::optional<int> exit_status_;
    std::optional<int> exit_signal_;
    // An exit-signal came, perhaps with a name that has no number here.
    bool signalled_ = false;
};

// The number of a signal by its SSH name ("TERM"), none for a name not
// known; and the other way.
std::optional<int> signal_number(std::string_view name) noexcept;
const char* signal_name(int sig) noexcept;

}  // namespace ptypilot::ssh::detail

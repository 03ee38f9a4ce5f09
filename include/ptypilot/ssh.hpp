/// \file
/// Connections to SSH servers, whose channels carry sessions: one thread,
/// many hosts, and no local pseudo-terminal or process per host. Present
/// when the library is built with libssh (the CMake option PTYPILOT_SSH).
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <ptypilot/errors.hpp>
#include <ptypilot/export.hpp>
#include <ptypilot/spawn.hpp>
#include <ptypilot/spawn_options.hpp>

namespace ptypilot::ssh {

/// What the host key check does with a server whose key known_hosts does
/// not hold. A key that differs from the one recorded is refused always.
enum class host_key_policy {
    strict,     ///< An unknown key is refused (the default).
    accept_new  ///< An unknown key is accepted and recorded in known_hosts.
};

/// One question of the server during authentication: the password, or a
/// keyboard-interactive prompt.
struct PTYPILOT_API auth_prompt {
    std::string name;         ///< The keyboard-interactive request's name; empty for the password.
    std::string instruction;  ///< Its instruction; empty for the password.
    std::string text;         ///< The prompt itself ("Password: " for the password).
    bool echo = false;        ///< Whether the answer may be shown as it is typed.
};

/// Answers one prompt; no value gives up this way of authenticating. The
/// answer goes to the server and nowhere else (no log ever gets it).
using answer_callback = std::function<std::optional<std::string>(const auth_prompt&)>;

/// Where and how to connect. Authentication tries, in this order, the key
/// file, the agent, the password and keyboard-interactive (the last two
/// only with an `answer` callback), as far as the server offers each.
struct PTYPILOT_API connect_options {
    std::string host;  ///< A name or an address.
    int port = 22;     ///< The server's port.
    std::string user;  ///< The remote user; empty: the local user's name.
    /// A private key file; no value: none is tried.
    std::optional<std::string> identity_file = std::nullopt;
    /// Keys of the SSH agent at SSH_AUTH_SOCK (or `agent_socket`).
    bool use_agent = true;
    /// The agent's socket; no value: SSH_AUTH_SOCK's.
    std::optional<std::string> agent_socket = std::nullopt;
    /// Answers password and keyboard-interactive prompts; empty: neither is tried.
    answer_callback answer = {};
    /// The known_hosts file; no value: ~/.ssh/known_hosts.
    std::optional<std::string> known_hosts = std::nullopt;
    /// What to do with a key known_hosts does not hold.
    host_key_policy host_keys = host_key_policy::strict;
    /// The longest a connect, the key exchange and each authentication step may take.
    std::chrono::milliseconds connect_timeout = std::chrono::seconds(10);
    /// How long a connection may stay silent before a keepalive goes out
    /// (the kernel's TCP keepalive, so that no thread is needed; whole
    /// seconds); zero: none.
    std::chrono::milliseconds keepalive_interval = std::chrono::seconds(15);
    /// Keepalives unanswered (or that long with data sent and not
    /// acknowledged) after which the connection counts as lost: its
    /// sessions see end of file.
    int keepalive_count = 3;
};

/// A failure of the SSH layer: connecting, the key exchange, opening or
/// using a channel. The text names the host and what libssh reported.
class PTYPILOT_API ssh_error : public ExceptionPty {
public:
    /// An error with the text `value`.
    explicit ssh_error(const std::string& value);
};

/// The server's host key is not the one known_hosts holds for it, or is
/// unknown under host_key_policy::strict.
class PTYPILOT_API host_key_error : public ssh_error {
public:
    /// What went wrong with the host's key.
    enum class kind {
        unknown,  ///< known_hosts holds no key for the host.
        changed,  ///< known_hosts holds another key for the host.
        other     ///< known_hosts holds a key of another type, or cannot be read.
    };
    /// An error about the key of `host` with the SHA-256 `fingerprint`.
    host_key_error(kind problem, std::string host, std::string fingerprint, const std::string& text);
    kind problem;             ///< What went wrong.
    std::string host;         ///< "host" or "[host]:port", as known_hosts names it.
    std::string fingerprint;  ///< "SHA256:..." of the server's key.
};

/// Every way of authenticating the server offered and the caller allowed failed.
class PTYPILOT_API auth_error : public ssh_error {
public:
    /// An error with the text `value`.
    explicit auth_error(const std::string& value);
};

/// What a channel runs, and on what terminal (its size is the session's
/// `spawn_options::window`).
struct PTYPILOT_API channel_options {
    /// The command; no value: the user's login shell.
    std::optional<std::string> command = std::nullopt;
    /// Whether the remote program gets a terminal.
    bool pty = true;
    /// The terminal's TERM.
    std::string term = "xterm";
    /// Environment requests; the server takes those its AcceptEnv allows
    /// and ignores the rest.
    env_map env = {};
};

namespace detail {
struct connection_state;
}

/// One authenticated connection to a server. Its channels share it; it is
/// closed when the last of the connection object and its sessions lets go
/// of it. Move-only; belongs to one thread at a time, as its sessions do.
class PTYPILOT_API connection {
public:
    /// Connects, checks the host key and authenticates, all within
    /// `connect_timeout` per step. Throws host_key_error for a key refused
    /// (naming host and fingerprint), auth_error when no way of
    /// authenticating succeeded, ssh_error for any other failure (the host
    /// unreachable, the time-out).
    explicit connection(const connect_options& options);
    ~connection();
    /// Moves the connection; the one moved from holds none.
    connection(connection&& other) noexcept;
    /// Moves the connection, letting go of the one held before.
    connection& operator=(connection&& other) noexcept;
    connection(const connection&) = delete;
    connection& operator=(const connection&) = delete;

    /// "user@host:port".
    std::string name() const;
    /// Whether the connection is still up as far as is known now.
    bool connected() const;
    /// Closes the connection at once; its sessions then see end of file.
    void disconnect();

    /// A session over a new channel of this connection, which it shares
    /// with the connection's other sessions. Everything a session does works
    /// over it (expect, lines, logs, the screen, interact, expect_many,
    /// expect_step, the session group). Its life is the channel's:
    /// isalive() is false and wait() returns once the server reports the
    /// program's end (exitstatus from exit-status, signalstatus from
    /// exit-signal) or the connection is gone; kill() and terminate() send
    /// signal requests (which OpenSSH refuses on root's sessions), and
    /// terminate(true) closes the channel when they do not end it;
    /// setwinsize() sends a window change; close() closes the channel. A
    /// lost connection is end of file. `name` is `<ssh user@host:port>`.
    /// `options.env` is not used: the channel's environment requests are
    /// `channel.env`. Throws ssh_error when the server refuses the channel
    /// (beyond its limit of sessions per connection, say).
    ptypilot::spawn open_session(const channel_options& channel = {}, const spawn_options& options = {});

    /// The state the channels share (for the library's own parts).
    const std::shared_ptr<detail::connection_state>& state() const noexcept { return state_; }

private:
    std::shared_ptr<detail::connection_state> state_;
};

/// A session over the one channel of a connection of its own: close()
/// closes the connection too.
PTYPILOT_API ptypilot::spawn open_session(const connect_options& connect, const channel_options& channel = {},
                                          const spawn_options& options = {});

}  // namespace ptypilot::ssh

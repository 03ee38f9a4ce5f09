// Connecting: options, the key exchange, the host key, authentication, and
// the socket settings that keep a lost peer from hanging a wait.
#include <ptypilot/ssh.hpp>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <limits>
#include <utility>

#include "os/clock.hpp"
#include "ssh/authenticate.hpp"
#include "ssh/connection_state.hpp"
#include "ssh/host_key.hpp"

namespace ptypilot::ssh {

namespace {

std::string local_user() {
    const passwd* entry = ::getpwuid(::geteuid());
    if (!entry) throw ssh_error("The local user has no name to log in with: give connect_options::user");
    return entry->pw_name;
}

template <class T>
void set(detail::connection_state& state, ssh_options_e option, const T* value) {
    if (ssh_options_set(state.session.get(), option, value) != SSH_OK)
        throw ssh_error(state.error_text("An SSH option was refused"));
}

void configure(detail::connection_state& state, const connect_options& options, const std::string& user) {
    if (options.host.empty()) throw std::invalid_argument("connect_options::host is empty");
    if (options.port <= 0 || options.port > 65535)
        throw std::invalid_argument("connect_options::port " + std::to_string(options.port) + " is no port");
    set(state, SSH_OPTIONS_HOST, options.host.c_str());
    const unsigned port = static_cast<unsigned>(options.port);
    set(state, SSH_OPTIONS_PORT, &port);
    set(state, SSH_OPTIONS_USER, user.c_str());
    // The caller's options say everything: ~/.ssh/config changes none of them.
    const int no = 0;
    set(state, SSH_OPTIONS_PROCESS_CONFIG, &no);
    // Sessions send keys and short lines: each goes out at once, as the
    // ssh client sends an interactive session's.
    const int yes = 1;
    set(state, SSH_OPTIONS_NODELAY, &yes);
    const long ms = static_cast<long>(options.connect_timeout.count());
    const long whole = ms / 1000;
    const long micro = (ms % 1000) * 1000;
    set(state, SSH_OPTIONS_TIMEOUT, &whole);
    set(state, SSH_OPTIONS_TIMEOUT_USEC, &micro);
    if (options.known_hosts) {
        // A given file is the only one consulted.
        set(state, SSH_OPTIONS_KNOWNHOSTS, options.known_hosts->c_str());
        set(state, SSH_OPTIONS_GLOBAL_KNOWNHOSTS, "/dev/null");
    }
    if (options.agent_socket) set(state, SSH_OPTIONS_IDENTITY_AGENT, options.agent_socket->c_str());
}

// A peer that vanishes without a word (the network gone) must not hold a
// wait for ever, and the library has no thread to send keepalives from:
// the kernel probes a silent connection (TCP keepalives) and fails it after
// `keepalive_count` probes unanswered, or once data sent stays
// unacknowledged as long (TCP_USER_TIMEOUT). Every wait on it then ends.
void keep_alive(detail::connection_state& state, const connect_options& options) {
    const int fd = ssh_get_fd(state.session.get());
    if (fd < 0 || options.keepalive_interval.count() <= 0) return;
    state.keepalive_interval = static_cast<double>(options.keepalive_interval.count()) / 1000.0;
    const int on = 1;
    const int count = std::max(1, options.keepalive_count);
    const int every = static_cast<int>(std::clamp<long long>(
        (options.keepalive_interval.count() + 999) / 1000, 1, std::numeric_limits<short>::max()));
    const long long span = static_cast<long long>(options.keepalive_interval.count()) * count;
    const unsigned limit = static_cast<unsigned>(std::min<long long>(span, std::numeric_limits<int>::max()));
    // Best effort: a socket that refuses these keeps the ignore messages
    // that waits of the library's own send.
    (void)::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    (void)::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &every, sizeof every);
    (void)::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &every, sizeof every);
    (void)::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
    (void)::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &limit, sizeof limit);
    state.saw_traffic();
}

}  // namespace

connection::connection(const connect_options& options)
    : state_(std::make_shared<detail::connection_state>()) {
    detail::connection_state& state = *state_;
    state.session.reset(ssh_new());
    if (!state.session) throw ssh_error("libssh could not make a session");
    const std::string user = options.user.empty() ? local_user() : options.user;
    state.name = user + "@" + options.host + ":" + std::to_string(options.port);
    configure(state, options, user);
    if (ssh_connect(state.session.get()) != SSH_OK) throw ssh_error(state.error_text("Cannot connect"));
    detail::check_host_key(state, options);
    detail::authenticate(state, options);
    keep_alive(state, options);
    state.event.reset(ssh_event_new());
    if (!state.event || ssh_event_add_session(state.event.get(), state.session.get()) != SSH_OK)
        throw ssh_error(state.error_text("libssh could not watch the connection"));
}

connection::~connection() = default;
connection::connection(connection&& other) noexcept = default;
connection& connection::operator=(connection&& other) noexcept = default;

std::string connection::name() const { return state_ ? state_->name : std::string(); }

bool connection::connected() const { return state_ && state_->socket() >= 0; }

// The libssh session stays until the last channel is freed (it frees its
// channels with itself); shutting the socket down ends the connection for
// them all now, and each sees end of file.
void connection::disconnect() {
    if (!state_ || state_->lost) return;
    const int fd = state_->socket();
    if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
    state_->lost = true;
}

}  // namespace ptypilot::ssh

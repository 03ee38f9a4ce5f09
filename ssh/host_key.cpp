#include "ssh/host_key.hpp"

#include <string>

namespace ptypilot::ssh::detail {

namespace {

std::string fingerprint_of(connection_state& state) {
    ssh_key raw = nullptr;
    if (ssh_get_server_publickey(state.session.get(), &raw) != SSH_OK)
        throw ssh_error(state.error_text("The server's host key cannot be read"));
    const key_ptr key(raw);
    unsigned char* raw_hash = nullptr;
    size_t length = 0;
    if (ssh_get_publickey_hash(key.get(), SSH_PUBLICKEY_HASH_SHA256, &raw_hash, &length) != 0)
        throw ssh_error(state.error_text("The server's host key cannot be hashed"));
    const hash_ptr hash(raw_hash);
    const text_ptr text(ssh_get_fingerprint_hash(SSH_PUBLICKEY_HASH_SHA256, hash.get(), length));
    return text ? std::string(text.get()) : std::string();
}

// How known_hosts names the host.
std::string known_name(const connect_options& options) {
    if (options.port == 22) return options.host;
    return "[" + options.host + "]:" + std::to_string(options.port);
}

}  // namespace

void check_host_key(connection_state& state, const connect_options& options) {
    const std::string fingerprint = fingerprint_of(state);
    const std::string host = known_name(options);
    const std::string file = options.known_hosts.value_or("~/.ssh/known_hosts");
    using kind = host_key_error::kind;
    switch (ssh_session_is_known_server(state.session.get())) {
        case SSH_KNOWN_HOSTS_OK: return;
        case SSH_KNOWN_HOSTS_CHANGED:
            throw host_key_error(kind::changed, host, fingerprint,
                                 "The host key of " + host + " has CHANGED: the server offers " +
                                     fingerprint + ", not the key " + file +
                                     " holds for it (someone may be in between); refused");
        case SSH_KNOWN_HOSTS_OTHER:
            throw host_key_error(kind::other, host, fingerprint,
                                 "The host key of " + host + " (" + fingerprint +
                                     ") is of another type than the one " + file + " holds for it; refused");
        case SSH_KNOWN_HOSTS_NOT_FOUND:
        case SSH_KNOWN_HOSTS_UNKNOWN:
            if (options.host_keys == host_key_policy::accept_new) {
                if (ssh_session_update_known_hosts(state.session.get()) != SSH_OK)
                    throw host_key_error(kind::other, host, fingerprint,
                                         state.error_text("The new host key " + fingerprint + " of " + host +
                                                          " cannot be recorded in " + file));
                return;
            }
            throw host_key_error(kind::unknown, host, fingerprint,
                                 "The host key of " + host + " is unknown: " + file +
                                     " holds no key for it (" + fingerprint + "); refused");
        case SSH_KNOWN_HOSTS_ERROR: break;
    }
    throw host_key_error(
        kind::other, host, fingerprint,
        state.error_text("The host key of " + host + " (" + fingerprint + ") cannot be checked"));
}

}  // namespace ptypilot::ssh::detail

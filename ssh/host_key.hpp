// The check of the server's key against known_hosts.
#pragma once

#include <ptypilot/ssh.hpp>

#include "ssh/connection_state.hpp"

namespace ptypilot::ssh::detail {

// Throws host_key_error unless the key is known (or, under accept_new, new
// and now recorded).
void check_host_key(connection_state& state, const connect_options& options);

}  // namespace ptypilot::ssh::detail

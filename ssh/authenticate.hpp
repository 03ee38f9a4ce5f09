// Authentication of a connected session, by the ways the caller allowed.
#pragma once

#include <ptypilot/ssh.hpp>

#include "ssh/connection_state.hpp"

namespace ptypilot::ssh::detail {

// Throws auth_error when every way the server offers and the caller
// allowed failed, ssh_error when the connection failed meanwhile.
void authenticate(connection_state& state, const connect_options& options);

}  // namespace ptypilot::ssh::detail

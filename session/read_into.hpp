// The one read from the child that every reading operation shares.
#pragma once

#include <optional>
#include <string>

#include <ptypilot/spawn.hpp>

#include "session/session_state.hpp"

namespace ptypilot::detail {

// read_nonblocking(size, timeout), appending what it read to `dst` instead of
// returning it: the expect loop grows its buffer in place.
void read_into(spawn& s, session_state& state, std::string& dst, long size, std::optional<double> timeout);

}  // namespace ptypilot::detail

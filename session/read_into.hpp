// The one read from the child that every reading operation shares.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include <ptypilot/spawn.hpp>

#include "os/clock.hpp"
#include "session/session_state.hpp"

namespace ptypilot::detail {

// How much one read of at most `size` bytes asks the pty for: a pty hands
// over a few KiB at a time, so a larger request would only cost memory (a
// maxread of INT_MAX would zero-fill 2 GiB).
std::size_t read_request(long size);

// read_nonblocking(size, timeout), appending what it read to `dst` instead of
// returning it: the expect loop grows its buffer in place. With escape
// stripping on, a chunk of nothing but escape sequences adds nothing and the
// read goes on, unless `every_chunk` (a caller watching the screen, which
// such a chunk may well have changed).
void read_into(spawn& s, session_state& state, std::string& dst, long size, std::optional<double> timeout,
               bool every_chunk = false);
// The same, waiting no longer than `until`.
void read_into(spawn& s, session_state& state, std::string& dst, long size, const deadline& until,
               bool every_chunk = false);

}  // namespace ptypilot::detail

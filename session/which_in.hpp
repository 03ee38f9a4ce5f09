// Program lookup made from a directory other than the caller's own.
#pragma once

#include <optional>
#include <string>

namespace ptypilot::detail {

// `which`, with every relative candidate (a relative name with a "/", or one
// joined with a relative or empty PATH entry) taken relative to the directory
// `dir_fd` (AT_FDCWD: the current one).
std::optional<std::string> which_in(int dir_fd, const std::string& filename);

}  // namespace ptypilot::detail

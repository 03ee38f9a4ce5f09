/// \file
/// Program lookup along PATH.
#pragma once

#include <optional>
#include <string>

#include <ptypilot/export.hpp>

namespace ptypilot {

/// The path to execute for `filename`, searched along the calling process's
/// own PATH ("/bin:/usr/bin" when unset or empty: the current directory only
/// through an empty or "." entry the caller put there); no value when none is
/// executable. A `filename` that holds a "/" is tried as it stands first.
PTYPILOT_API std::optional<std::string> which(const std::string& filename);

}  // namespace ptypilot

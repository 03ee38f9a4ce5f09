// A caller's time-out argument in the seconds the session counts in.
#pragma once

#include <optional>

#include <ptypilot/seconds.hpp>

namespace ptypilot::detail {

// -1 (the session's time-out) stays -1, and no value stays none: what the
// time-out means is left to the call.
inline std::optional<double> in_seconds(std::optional<seconds_value> timeout) noexcept {
    return timeout ? std::optional<double>(timeout->count()) : std::nullopt;
}

}  // namespace ptypilot::detail

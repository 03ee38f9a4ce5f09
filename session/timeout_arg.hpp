// A caller's time-out argument in the seconds the session counts in, and the
// one rule of what it means.
#pragma once

#include <optional>

#include <ptypilot/seconds.hpp>
#include <ptypilot/spawn.hpp>

#include "os/clock.hpp"

namespace ptypilot::detail {

// -1 (the session's time-out) stays -1, and no value stays none: what the
// time-out means is left to the call.
inline std::optional<double> in_seconds(std::optional<seconds_value> timeout) noexcept {
    return timeout ? std::optional<double>(timeout->count()) : std::nullopt;
}

// What a call's time-out means: -1 is the session's `timeout`; no value, +inf
// or anything beyond the longest limit is none; NaN is refused with
// std::invalid_argument.
inline std::optional<double> call_timeout(const spawn& s, std::optional<double> timeout) {
    if (timeout && *timeout == -1) timeout = s.timeout;
    return checked_timeout(timeout);
}

// The end of a call's wait, from now.
inline deadline call_deadline(const spawn& s, std::optional<double> timeout) {
    return deadline(call_timeout(s, timeout));
}

}  // namespace ptypilot::detail

// Time for time-outs and pauses. Deadlines use the monotonic clock so that a
// change of the wall clock neither shortens nor stretches a wait.
#pragma once

#include <ctime>
#include <optional>

namespace ptypilot::detail {

// The longest wait that is still a limit: beyond it (a third of a century),
// and at +inf, a time-out means no limit at all.
inline constexpr double longest_limit = 1e9;

// A caller's time-out as the session uses it: no value for none, +inf or
// beyond the longest limit; NaN is refused with std::invalid_argument.
std::optional<double> checked_timeout(std::optional<double> seconds);

// Fractional seconds as a timespec; anything not above 0 is zero, anything
// beyond the longest limit is the longest limit.
timespec to_timespec(double seconds) noexcept;

double now() noexcept;           // seconds, monotonic
void sleep_for(double seconds);  // fractional seconds; restarts after signals with the time left

// A pause well under a millisecond, kept close to what was asked: the
// kernel's default timer slack of 50 us would add half again to a 0.1 ms
// pause. The calling thread's slack is restored afterwards.
void short_pause(double seconds);

// The end of a wait that may be interrupted and resumed: each part of the
// wait asks for the time left instead of starting the whole time-out again.
class deadline {
public:
    // No value: never.
    explicit deadline(std::optional<double> seconds) noexcept
        : end_(seconds ? std::optional<double>(now() + *seconds) : std::nullopt) {}
    // `seconds` from `from`, a time the caller read from now() already: a
    // loop over many sessions reads the clock once for each of them.
    deadline(std::optional<double> seconds, double from) noexcept
        : end_(seconds ? std::optional<double>(from + *seconds) : std::nullopt) {}

    // No value without a limit; negative once the time is up.
    std::optional<double> remaining() const noexcept {
        if (!end_) return std::nullopt;
        return *end_ - now();
    }

    // This deadline or `seconds` from now, whichever comes first: one slice
    // of a longer wait that must look at something else now and then.
    deadline at_most(double seconds) const noexcept {
        deadline slice(seconds);
        if (end_ && *end_ < *slice.end_) slice.end_ = end_;
        return slice;
    }

private:
    std::optional<double> end_;
};

}  // namespace ptypilot::detail

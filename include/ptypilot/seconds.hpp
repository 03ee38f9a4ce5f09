/// \file
/// Time as the session counts it: seconds, from a number or any std::chrono
/// duration.
#pragma once

#include <chrono>

#include <ptypilot/export.hpp>

namespace ptypilot {

/// A time-out or a delay in seconds, written as a number (`0.5`) or as any
/// std::chrono duration (`500ms`, `2s`).
class PTYPILOT_API seconds_value {
public:
    /// A number of seconds; fractions allowed.
    constexpr seconds_value(double seconds) noexcept : seconds_(seconds) {}
    /// A std::chrono duration, converted to seconds.
    template <class Rep, class Period>
    constexpr seconds_value(std::chrono::duration<Rep, Period> d) noexcept
        : seconds_(std::chrono::duration<double>(d).count()) {}

    /// The number of seconds.
    constexpr double count() const noexcept { return seconds_; }

private:
    double seconds_;
};

/// A std::chrono duration in the session's seconds, for the fields that hold
/// seconds as numbers: `s.delaybeforesend = to_seconds(10ms);`.
template <class Rep, class Period>
constexpr double to_seconds(std::chrono::duration<Rep, Period> d) noexcept {
    return std::chrono::duration<double>(d).count();
}

}  // namespace ptypilot

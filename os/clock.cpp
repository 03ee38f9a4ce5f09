#include "os/clock.hpp"

#include <cerrno>
#include <cmath>
#include <stdexcept>

#include <sys/prctl.h>

namespace ptypilot::detail {

std::optional<double> checked_timeout(std::optional<double> seconds) {
    if (!seconds) return seconds;
    if (std::isnan(*seconds)) throw std::invalid_argument("ptypilot: a time-out of NaN seconds");
    if (*seconds > longest_limit) return std::nullopt;
    return seconds;
}

double now() noexcept {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

timespec to_timespec(double seconds) noexcept {
    timespec ts{};
    if (!(seconds > 0)) return ts;
    // Converting a double beyond time_t's range is undefined.
    if (seconds > longest_limit) seconds = longest_limit;
    ts.tv_sec = static_cast<time_t>(std::floor(seconds));
    ts.tv_nsec = static_cast<long>((seconds - std::floor(seconds)) * 1e9);
    if (ts.tv_nsec >= 1000000000L) ts.tv_nsec = 999999999L;
    return ts;
}

void sleep_for(double seconds) {
    if (!(seconds > 0)) return;
    timespec req = to_timespec(seconds);
    timespec rem{};
    while (::nanosleep(&req, &rem) == -1 && errno == EINTR) req = rem;
}

void short_pause(double seconds) {
    if (!(seconds > 0)) return;
    if (seconds >= 0.001) return sleep_for(seconds);
    const int old = ::prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
    if (old > 1) ::prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
    sleep_for(seconds);
    if (old > 1) ::prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(old), 0, 0, 0);
}

}  // namespace ptypilot::detail

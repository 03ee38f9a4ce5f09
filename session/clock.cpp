#include "session/clock.hpp"

#include <cerrno>
#include <cmath>
#include <ctime>

#include <sys/prctl.h>

namespace ptypilot::detail {

double now() noexcept {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

timespec to_timespec(double seconds) noexcept {
    timespec ts{};
    if (!(seconds > 0)) return ts;
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

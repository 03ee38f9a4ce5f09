// Time for time-outs and pauses. Deadlines use the monotonic clock so that a
// change of the wall clock neither shortens nor stretches a wait.
#pragma once

#include <ctime>

namespace ptypilot::detail {

// Fractional seconds as a timespec; anything not above 0 is zero.
timespec to_timespec(double seconds) noexcept;

double now() noexcept;           // seconds, monotonic
void sleep_for(double seconds);  // fractional seconds; restarts after signals

// A pause well under a millisecond, kept close to what was asked: the
// kernel's default timer slack of 50 us would add half again to a 0.1 ms
// pause. The calling thread's slack is restored afterwards.
void short_pause(double seconds);

}  // namespace ptypilot::detail

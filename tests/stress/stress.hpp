// Shared bits of the stress tests.
#pragma once

#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

#include "support/helpers.hpp"

namespace stress {

#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool sanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool sanitized = true;
#else
inline constexpr bool sanitized = false;
#endif
#else
inline constexpr bool sanitized = false;
#endif

using testing_support::peak_rss_kib;

// Resident size now, in KiB.
inline long rss_kib() {
    std::ifstream in("/proc/self/statm");
    long pages = 0, resident = 0;
    in >> pages >> resident;
    return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

inline double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// A session that wastes no time between steps.
inline void make_fast(ptypilot::spawn& s) {
    s.delaybeforesend = 0;
    s.delayafterclose = 0.001;
    s.delayafterterminate = 0.5;  // as make_quick, for the pause after SIGKILL
    s.delayafterread = 0;
}

// Environment override for a count, so that a long soak can be run by hand.
inline long count_from_env(const char* name, long fallback) {
    if (const char* v = std::getenv(name)) return std::atol(v);
    return fallback;
}

}  // namespace stress

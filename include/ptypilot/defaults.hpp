// The session's defaults, in one place for the session, run() and the
// launcher.
#pragma once

namespace ptypilot::defaults {

inline constexpr double timeout = 30.0;  // seconds
inline constexpr int maxread = 2000;     // bytes per read of the expect loop
inline constexpr double delaybeforesend = 0.05;
inline constexpr double delayafterclose = 0.1;
inline constexpr double delayafterterminate = 0.1;
inline constexpr double delayafterread = 0.0001;
// The window a new child's terminal starts with.
inline constexpr unsigned short rows = 24;
inline constexpr unsigned short columns = 80;

}  // namespace ptypilot::defaults

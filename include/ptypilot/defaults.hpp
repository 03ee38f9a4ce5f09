/// \file
/// The session's defaults, in one place for the session, run() and the
/// launcher.
#pragma once

/// The settings a new session starts with, unless the constructor or
/// spawn_options say otherwise. Times are in seconds.
namespace ptypilot::defaults {

inline constexpr double timeout = 30.0;  ///< Seconds that reading and expecting wait (spawn::timeout)
inline constexpr int maxread = 2000;     ///< Bytes per read of the expect loop (spawn::maxread)
/// Seconds slept before each send (spawn::delaybeforesend).
inline constexpr double delaybeforesend = 0.05;
/// Longest wait, in seconds, for the child to end once close() has closed the
/// terminal (spawn::delayafterclose).
inline constexpr double delayafterclose = 0.1;
/// Longest wait, in seconds, for the child to end after each signal of
/// terminate() (spawn::delayafterterminate).
inline constexpr double delayafterterminate = 0.1;
/// Seconds of pause after each read of the expect loop (spawn::delayafterread).
inline constexpr double delayafterread = 0.0001;
// The window a new child's terminal starts with.
inline constexpr unsigned short rows = 24;     ///< Rows of a new child's terminal.
inline constexpr unsigned short columns = 80;  ///< Columns of a new child's terminal.

}  // namespace ptypilot::defaults

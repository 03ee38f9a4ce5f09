/// \file
/// Everything a session can be told before its child starts, for designated
/// initializers: `spawn s("ssh vault", {.timeout = 10s, .env = environment_with({{"TERM", "dumb"}})});`
#pragma once

#include <iosfwd>
#include <map>
#include <optional>
#include <string>

#include <ptypilot/defaults.hpp>
#include <ptypilot/export.hpp>
#include <ptypilot/screen.hpp>
#include <ptypilot/seconds.hpp>

namespace ptypilot {

/// A child's complete environment, name to value. Given as `env`, it is all
/// the child gets: nothing of the caller's environment is added to it.
using env_map = std::map<std::string, std::string>;

/// The caller's environment as it is now, with `changes` added over it (a
/// name already there takes the new value): what `env` takes to set a few
/// variables and keep HOME, PATH and the rest,
/// `.env = environment_with({{"TERM", "dumb"}})`.
PTYPILOT_API env_map environment_with(const env_map& changes);

/// A terminal's size in character cells.
struct PTYPILOT_API window_size {
    unsigned short rows = defaults::rows;        ///< Rows, 24 by default.
    unsigned short columns = defaults::columns;  ///< Columns, 80 by default.
};

/// The settings of a session, in the order they are usually thought of; each
/// member not named keeps the session's default. (Every member has an
/// initializer, so that compilers do not warn of those a caller leaves out.)
/// Each member but `window` and `screen` sets the spawn field of the same name.
struct PTYPILOT_API spawn_options {
    /// Default time-out of reading and expecting; no value waits without limit.
    std::optional<seconds_value> timeout = defaults::timeout;
    /// The most bytes one read of the expect loop asks for.
    int maxread = defaults::maxread;
    /// How far back from the end of the buffer a search looks; no value: no limit.
    std::optional<long> searchwindowsize = std::nullopt;
    /// Receives everything read from and sent to the child (not owned).
    std::ostream* logfile = nullptr;
    /// The child's working directory; no value or empty: the caller's.
    std::optional<std::string> cwd = std::nullopt;
    /// The child's whole environment, replacing the caller's (environment_with()
    /// builds one that keeps it); no value: the caller's environment.
    std::optional<env_map> env = std::nullopt;
    /// Pause before each send.
    seconds_value delaybeforesend = defaults::delaybeforesend;
    /// Longest wait for the child to end once close() has closed the terminal.
    seconds_value delayafterclose = defaults::delayafterclose;
    /// Longest wait for the child to end after each signal of terminate().
    seconds_value delayafterterminate = defaults::delayafterterminate;
    /// Pause after each read of the expect loop; 0 removes it.
    seconds_value delayafterread = defaults::delayafterread;
    /// Strings compiled by expect() ignore the case of ASCII letters.
    bool ignorecase = false;
    /// The size of the child's terminal when it starts; of the screen of a
    /// session over a descriptor that is no terminal.
    window_size window = {};
    /// The child starts with SIGHUP ignored; false leaves it at its default.
    bool ignore_sighup = true;
    /// With a value, the screen is on from the start (spawn::enable_screen()
    /// before the child starts), with these options.
    std::optional<screen_options> screen = std::nullopt;
};

}  // namespace ptypilot

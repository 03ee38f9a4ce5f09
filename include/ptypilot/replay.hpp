/// @file
/// Sessions whose output comes from a recording (asciicast v2, as
/// spawn::start_recording() writes it): a script written against a program
/// runs without the program.
#pragma once

#include <cstdint>
#include <istream>
#include <optional>
#include <string>

#include <ptypilot/export.hpp>
#include <ptypilot/spawn.hpp>
#include <ptypilot/spawn_options.hpp>

namespace ptypilot {

/// How a recording is played back.
struct PTYPILOT_API replay_options {
    /// How many times faster than recorded the output comes: 1 as it was
    /// recorded, 10 ten times faster; 0 as fast as the session reads.
    double speed = 1.0;
    /// With a value, each output event is cut at places drawn from this seed
    /// and comes in several reads, as a program's output may: a script that
    /// holds whatever the cuts must give the same outcomes.
    std::optional<std::uint32_t> cut_seed = std::nullopt;
};

/// A session that reads the output events of the recording at `path`, timed
/// by `replay` from now on, then end of file. What the session sends is taken
/// and dropped; input and resize events are not played (the window is the
/// header's). It has no child (wait() and kill() throw ExceptionPty, as over
/// a descriptor) and `options.window` gives way to the recording's size.
/// std::system_error when the file cannot be read, std::invalid_argument
/// naming the line for what is not asciicast v2 or a bad speed.
PTYPILOT_API spawn replay(const std::string& path, const replay_options& replay = {},
                          const spawn_options& options = {});
/// The same from a stream read to its end now.
PTYPILOT_API spawn replay(std::istream& recording, const replay_options& replay = {},
                          const spawn_options& options = {});

}  // namespace ptypilot

/// \file
/// The whole public API of ptypilot.
#pragma once

#include <ptypilot/argument_list.hpp>
#include <ptypilot/defaults.hpp>
#include <ptypilot/descriptor_close.hpp>
#include <ptypilot/errors.hpp>
#include <ptypilot/expect_input.hpp>
#include <ptypilot/expect_many.hpp>
#include <ptypilot/export.hpp>
#include <ptypilot/interact.hpp>
#include <ptypilot/keys.hpp>
#include <ptypilot/line_iterator.hpp>
#include <ptypilot/pattern.hpp>
#include <ptypilot/regex.hpp>
#include <ptypilot/repl.hpp>
#include <ptypilot/replay.hpp>
#include <ptypilot/run.hpp>
#include <ptypilot/screen.hpp>
#include <ptypilot/screen_picture.hpp>
#include <ptypilot/searcher.hpp>
#include <ptypilot/seconds.hpp>
#include <ptypilot/session_group.hpp>
#include <ptypilot/spawn.hpp>
#include <ptypilot/spawn_fields.hpp>
#include <ptypilot/spawn_options.hpp>
#include <ptypilot/split_command_line.hpp>
#include <ptypilot/ssh.hpp>
#include <ptypilot/step_result.hpp>
#include <ptypilot/version.hpp>
#include <ptypilot/which.hpp>

/// \namespace ptypilot
/// Drive programs through a pseudo-terminal. A spawn session starts a
/// program on a new pseudo-terminal, reads its output with time-outs, waits
/// for patterns in it (`expect`), writes to it, hands it to the user
/// (`interact`) and records how it ended; run() runs a command to its end,
/// answering prompts from a table of events. Data is bytes in std::string;
/// times are seconds, as numbers or std::chrono durations.

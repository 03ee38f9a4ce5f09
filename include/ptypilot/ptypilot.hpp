// The whole public API of ptypilot.
#pragma once

#include <ptypilot/defaults.hpp>
#include <ptypilot/errors.hpp>
#include <ptypilot/expect_input.hpp>
#include <ptypilot/pattern.hpp>
#include <ptypilot/regex.hpp>
#include <ptypilot/run.hpp>
#include <ptypilot/screen.hpp>
#include <ptypilot/searcher.hpp>
#include <ptypilot/spawn.hpp>
#include <ptypilot/split_command_line.hpp>
#include <ptypilot/which.hpp>

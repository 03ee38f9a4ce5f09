// The whole public API of ptypilot.
#pragma once

#include <ptypilot/command_line.hpp>
#include <ptypilot/errors.hpp>
#include <ptypilot/pattern.hpp>
#include <ptypilot/regex.hpp>
#include <ptypilot/searcher.hpp>
#include <ptypilot/spawn.hpp>
#include <ptypilot/run.hpp>

// Program lookup along PATH and splitting of a command line into words.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ptypilot {

// The path to execute for `filename`, searched along the calling process's
// own PATH (":/bin:/usr/bin" when unset or empty); no value when none is
// executable.
std::optional<std::string> which(const std::string& filename);

// Splits a command line into words, honouring single and double quotes and
// backslash escapes.
std::vector<std::string> split_command_line(std::string_view command_line);

}  // namespace ptypilot

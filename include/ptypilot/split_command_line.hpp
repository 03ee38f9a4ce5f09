// Splitting a command line into words.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace ptypilot {

// Splits a command line into words, honouring single and double quotes and
// backslash escapes.
std::vector<std::string> split_command_line(std::string_view command_line);

}  // namespace ptypilot

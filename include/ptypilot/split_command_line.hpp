/// \file
/// Splitting a command line into words.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include <ptypilot/export.hpp>

namespace ptypilot {

/// Splits a command line into words, honouring single and double quotes and
/// backslash escapes (outside quotes a backslash escapes one character; inside
/// either kind it is kept as it is). Nothing is expanded. A run of blanks ends
/// a word; an empty word comes only from a leading blank (the first word) or
/// from `''` or `""` followed by a blank. An unterminated quote or a trailing
/// backslash is no error.
PTYPILOT_API std::vector<std::string> split_command_line(std::string_view command_line);

}  // namespace ptypilot

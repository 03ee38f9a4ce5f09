/// \file
/// The arguments of a command, as the session's constructors take them.
#pragma once

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include <ptypilot/export.hpp>

namespace ptypilot {

/// The arguments of a command, as the constructors take them: a
/// std::vector<std::string> or words in braces. Unlike a vector it cannot be
/// made from a number, so that `spawn(cmd, {.maxread = 100})` can only mean
/// the settings by name.
class PTYPILOT_API argument_list {
public:
    /// No arguments: the command line is split into words.
    argument_list() = default;
    /// Words in braces.
    argument_list(std::initializer_list<std::string> words) : words_(words) {}
    /// Words in a vector.
    argument_list(std::vector<std::string> words) : words_(std::move(words)) {}
    /// The words, taken out.
    std::vector<std::string> take() && { return std::move(words_); }

private:
    std::vector<std::string> words_;
};

}  // namespace ptypilot

// The launcher's own command line:
//   ptypilot [CD word... --] [ENV NAME=VALUE... --] [--] program [argument...]
#pragma once

#include <string>
#include <vector>

#include <ptypilot/spawn.hpp>

namespace ptypilot::launcher {

// What a first word of "-h", "--help" or "--version" asks for instead of a
// program ("--" before it makes it the program).
enum class launcher_query { none, help, version };

struct launch_request {
    launcher_query query = launcher_query::none;
    std::vector<std::string> cdto;
    env_map env;
    std::vector<std::string> cmdline;

    // The "CD" words joined with one blank; empty when there were none.
    std::string working_directory() const;
};

// Reads the words after the launcher's own name.
launch_request parse_words(const std::vector<std::string>& words);

// What --help prints: the grammar and what each block does.
std::string usage();

// What --version prints.
std::string version_text();

// Splits "NAME=VALUE" as the pattern ^([^=]+)=(.*)$ would; false when the
// word is no assignment.
bool split_assignment(const std::string& word, std::string& name, std::string& value);

}  // namespace ptypilot::launcher

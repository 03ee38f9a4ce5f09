// Everything the child needs, built before the fork: after it the child may
// not allocate.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <ptypilot/spawn.hpp>

#include "session/before_exec.hpp"

namespace ptypilot::detail {

class start_plan {
public:
    // `words` is the argument vector, its first word the program as found.
    start_plan(std::vector<std::string> words, const std::optional<env_map>& env);
    start_plan(const start_plan&) = delete;
    start_plan& operator=(const start_plan&) = delete;

    // Pointers into this plan, valid while it lives.
    exec_plan exec() const;

private:
    std::string path_;
    std::vector<std::string> words_;
    std::vector<char*> argv_;
    std::vector<std::string> env_entries_;
    std::optional<std::vector<char*>> envp_;  // no value: the caller's environment
};

}  // namespace ptypilot::detail

#include "session/start_plan.hpp"

extern char** environ;

namespace ptypilot::detail {

namespace {

std::vector<char*> pointers_to(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    pointers.reserve(strings.size() + 1);
    for (auto& s : strings) pointers.push_back(s.data());
    pointers.push_back(nullptr);
    return pointers;
}

}  // namespace

start_plan::start_plan(std::vector<std::string> words, const std::optional<env_map>& env)
    // A path found through an empty PATH entry is relative to the current
    // directory, which is where execve looks for a name without "/".
    : path_(words.front().find('/') == std::string::npos ? "./" + words.front() : words.front()),
      words_(std::move(words)),
      argv_(pointers_to(words_)) {
    if (env) {
        env_entries_.reserve(env->size());
        for (const auto& [k, v] : *env) env_entries_.push_back(k + "=" + v);
        envp_ = pointers_to(env_entries_);
    }
}

exec_plan start_plan::exec() const {
    exec_plan plan{};
    plan.path = path_.c_str();
    plan.argv = argv_.data();
    plan.envp = envp_ ? envp_->data() : environ;
    return plan;
}

}  // namespace ptypilot::detail

#include <ptypilot/spawn_options.hpp>

#include <cstring>

extern char** environ;

namespace ptypilot {

env_map environment_with(const env_map& changes) {
    env_map env = changes;
    // emplace never replaces: a change stays over the caller's value, and of
    // a name that environ holds twice the first stays, the one getenv() finds.
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        const char* const name = *entry;
        const char* eq = std::strchr(name, '=');
        if (eq == nullptr || eq == name) continue;
        env.emplace(std::string(name, static_cast<std::size_t>(eq - name)), std::string(eq + 1));
    }
    return env;
}

}  // namespace ptypilot

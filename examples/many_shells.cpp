// One result from each of fifty shells, collected in one thread: every
// command is started at once, then expect_many() waits on all the shells
// still busy and each outcome goes back to its repl.
//
// Usage: many_shells [shells]. Exits 0 when every shell gave its own answer.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include <ptypilot/ptypilot.hpp>
using namespace ptypilot;

int main(int argc, char** argv) try {
    const std::size_t count = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 50;
    std::vector<repl> shells;
    for (std::size_t i = 0; i < count; ++i) shells.push_back(repl::shell("/bin/sh"));
    // README begin
    // Each command is queued until its shell shows the first prompt.
    for (std::size_t i = 0; i < count; ++i)
        shells[i].start("echo shell " + std::to_string(i) + "; (exit " + std::to_string(i % 5) + ")");

    std::vector<std::optional<repl_result>> results(count);
    for (std::size_t left = count; left > 0;) {
        std::vector<expect_target> targets;
        std::vector<std::size_t> owner;
        for (std::size_t i = 0; i < count; ++i)
            if (shells[i].busy()) {
                targets.push_back(shells[i].target(30));
                owner.push_back(i);
            }
        for (const expect_outcome& o : expect_many(targets))
            if (auto result = shells[owner[o.session]].advance(o.index)) {
                results[owner[o.session]] = std::move(result);
                --left;
            }
    }
    // README end

    for (std::size_t i = 0; i < count; ++i)
        if (results[i]->output != "shell " + std::to_string(i) + "\r\n" ||
            results[i]->status != static_cast<int>(i % 5)) {
            std::fprintf(stderr, "many_shells: shell %zu answered '%s'\n", i, results[i]->output.c_str());
            return 1;
        }
    std::printf("many_shells: %zu shells answered\n", count);
} catch (const std::exception& e) {
    std::fprintf(stderr, "many_shells: %s\n", e.what());
    return 1;
}

// Built against an installed ptypilot, once through its CMake package and once
// through pkg-config: everything a user needs must have been installed. Also
// compiled with a user's strict warnings as errors, under each compiler.
#include <cstdio>
#include <exception>
#include <string>

#include <ptypilot/ptypilot.hpp>

namespace {

// Built entry by entry and copied, as a list made at run time is: g++ 12 at
// -O2 once warned of a string "maybe uninitialized" here.
ptypilot::pattern_list prompts(const std::string& word) {
    ptypilot::pattern_list patterns;
    patterns.push_back(word);
    patterns.push_back(ptypilot::regex(word, ptypilot::regex::ignorecase));
    patterns.push_back(ptypilot::sentinel::timeout);
    ptypilot::pattern_list copy = patterns;
    copy.push_back(ptypilot::EOF_{});
    return copy;
}

}  // namespace

int main() {
    try {
        ptypilot::spawn child("/bin/echo hello", {}, 10.0);
        // The screen brings in libvterm, which a static ptypilot leaves to
        // the consumer's link.
        child.enable_screen();
        const ptypilot::pattern_list patterns = prompts("hello");
        const int i = child.expect(patterns, std::chrono::seconds(10));
        if (i != 0) {
            std::fprintf(stderr, "consumer: no \"hello\" from /bin/echo (outcome %d)\n", i);
            return 1;
        }
        child.expect(ptypilot::EOF_{});
        if (child.screen().row_text(0) != "hello" || ptypilot::strip_escapes("\x1b[1mhi\x1b[0m") != "hi") {
            std::fprintf(stderr, "consumer: the screen or strip_escapes went wrong\n");
            return 1;
        }
        child.close();
        if (child.exitstatus != 0) {
            std::fprintf(stderr, "consumer: /bin/echo did not exit with 0\n");
            return 1;
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "consumer: %s\n", e.what());
        return 1;
    }
    std::puts("consumer: ok");
    return 0;
}

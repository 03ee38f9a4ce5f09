// Built against an installed ptypilot, once through its CMake package and once
// through pkg-config: everything a user needs must have been installed.
#include <cstdio>
#include <exception>

#include <ptypilot/ptypilot.hpp>

int main() {
    try {
        ptypilot::spawn child("/bin/echo hello", {}, 10.0);
        // The screen brings in libvterm, which a static ptypilot leaves to
        // the consumer's link.
        child.enable_screen();
        const int i = child.expect({"hello", ptypilot::EOF_{}, ptypilot::TIMEOUT{}});
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

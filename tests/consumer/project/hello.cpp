// Built against an installed ptypilot, once through its CMake package and once
// through pkg-config: everything a user needs must have been installed.
#include <cstdio>
#include <exception>

#include <ptypilot/ptypilot.hpp>

int main() {
    try {
        ptypilot::spawn child("/bin/echo hello", {}, 10.0);
        const int i = child.expect({"hello", ptypilot::EOF_{}, ptypilot::TIMEOUT{}});
        if (i != 0) {
            std::fprintf(stderr, "consumer: no \"hello\" from /bin/echo (outcome %d)\n", i);
            return 1;
        }
        child.expect(ptypilot::EOF_{});
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

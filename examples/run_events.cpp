// Runs a command to its end with ptypilot::run, answering its prompts from a
// table of events: one answered with fixed text, one by a callback. This is
// the README snippet under "Run a command to its end" with a stand-in for
// passwd, so that it runs anywhere without changing a real password.
//
// Exits 0 when the password was "changed" and the status came back as 0.
#include <cstdio>
#include <exception>
#include <string>

#include <ptypilot/ptypilot.hpp>
using namespace ptypilot;
using namespace std::chrono_literals;

namespace {

// Asks twice with echo off, as passwd does, and exits 0 only when both
// answers agree. Echo goes off before the first prompt shows: an answer sent
// as soon as the prompt is seen must not find echo still on.
const char* const fake_passwd =
    "sh -c '"
    "stty -echo; printf \"New password: \"; read a; "
    "printf \"\\nRetype new password: \"; read b; stty echo; echo; "
    "if [ \"$a\" = \"$b\" ]; then echo \"password updated\"; exit 0; fi; "
    "echo \"passwords do not match\"; exit 1'";

int fail(const std::string& why) {
    std::fprintf(stderr, "run_events: %s\n", why.c_str());
    return 1;
}

}  // namespace

int main() {
    try {
        int retyped = 0;
        // "(?i)new password: " matches inside "Retype new password: " as
        // well; the search reports the match that starts first, which there
        // is the retype pattern. That one must cover the whole prompt: were
        // it only "retype", the rest of the prompt would be left behind and
        // answered a second time by the first event.
        auto [output, status] =
            run(fake_passwd, 30s, withexitstatus,
                event_list{{"(?i)new password: ", "n3w-Secret\n"},
                           {"(?i)retype new password: ", callback([&](run_state& st) -> callback_value {
                                ++retyped;
                                st.child.sendline("n3w-Secret");
                                return false;  // go on; true ends the run
                            })}});
        if (status != 0) return fail("the command failed; it printed:\n" + output);
        if (retyped != 1) return fail("the callback ran " + std::to_string(retyped) + " times");
        if (output.find("password updated") == std::string::npos)
            return fail("no confirmation in the output:\n" + output);
        if (output.find("n3w-Secret") != std::string::npos)
            return fail("the password was echoed:\n" + output);

        std::string listing = run("ls -l /tmp");  // output only
        if (listing.rfind("total", 0) != 0) return fail("unexpected listing:\n" + listing);
        auto [log, code] = run("sh -c 'echo testing; exit 3'", withexitstatus);  // the default time-out
        if (log != "testing\r\n" || code != 3) return fail("unexpected run of a failing command:\n" + log);
    } catch (const std::exception& e) {
        return fail(e.what());
    }
    std::puts("run_events: ok");
    return 0;
}

// One command in step with a REPL's prompt, beside the same line sent and
// its answer expected by hand on a session tuned for latency; the medians
// of the two are printed with their ratio and the ratio aimed at.
//
//   build/bench/repl_bench [round trips]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include <ptypilot/ptypilot.hpp>

namespace {

using namespace ptypilot;

double seconds(const std::function<void()>& f) {
    const auto t0 = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Both sides alternate, so that a busy machine slows both alike.
void compare(const char* name, int trips, const std::function<void()>& ours,
             const std::function<void()>& hand, double target) {
    std::vector<double> a, b;
    for (int i = 0; i < trips; ++i) {
        a.push_back(seconds(ours));
        b.push_back(seconds(hand));
    }
    const double ma = median(a), mb = median(b);
    std::printf("%-28s execute %8.1f us  send + expect %8.1f us  ratio %5.2f   target <= %.2f %s\n", name,
                ma * 1e6, mb * 1e6, ma / mb, target, ma / mb <= target ? "met" : "MISSED");
    std::fflush(stdout);
}

// The lowest-latency settings a user would choose by hand; the echo is off
// from the start, as the repl has it, so both read the same bytes.
spawn tuned(const std::string& program, const std::vector<std::string>& arguments) {
    std::vector<std::string> words{"-c", "stty -echo && exec \"$0\" \"$@\"", program};
    words.insert(words.end(), arguments.begin(), arguments.end());
    spawn s("/bin/sh", argument_list(std::move(words)),
            {.env = env_map{{"TERM", "dumb"}, {"PATH", "/usr/bin:/bin"}, {"PS1", "$ "}}});
    s.maxread = 65536;
    s.delaybeforesend = 0;
    s.delayafterread = 0;
    return s;
}

void fail(const char* what) {
    std::fprintf(stderr, "repl_bench: %s\n", what);
    std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
    const int trips = argc > 1 ? std::atoi(argv[1]) : 2000;

    repl calc = repl::bc();
    spawn bc = tuned("bc", {"-q"});
    compare(
        "bc: 6*7", trips,
        [&] {
            if (calc.execute("6*7", 10).output != "42\r\n") fail("bc: wrong answer from execute");
        },
        [&] {
            bc.send("6*7\n");
            bc.expect_exact("42\r\n", 10);
        },
        1.2);

    repl sh = repl::shell("dash");
    spawn dash = tuned("dash", {"-i"});
    dash.expect_exact("$ ", 10);
    compare(
        "dash: echo hi", trips,
        [&] {
            if (sh.execute("echo hi", 10).output != "hi\r\n") fail("dash: wrong answer from execute");
        },
        [&] {
            dash.send("echo hi\n");
            dash.expect_exact("hi\r\n$ ", 10);
        },
        1.2);
}

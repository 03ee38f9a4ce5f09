// One command in step with a REPL's prompt, beside the same line sent and
// its answer expected by hand on a session tuned for latency; the medians
// of the two are printed with their ratio and the ratio aimed at. bc shows
// no prompt: its repl ends the command's line with a key that bc's line
// editor expands into a short call, which bc runs, printing the token the
// repl waits for; the others answer with their prompt alone. The second bc
// row sends those same bytes by hand to a bc with the same key, so it shows
// what the repl itself adds, and the first row's remainder is what bc's
// running and printing of the call cost.
//
//   build/bench/repl_bench [round trips]
#include <sys/resource.h>
#include <unistd.h>

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

// This process's CPU time (user and system): on a loaded machine the wall
// time of a 50 us round trip is mostly other processes' turn.
double cpu_now() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Both sides alternate trip by trip, so that a busy machine slows both alike;
// the ratio is the median of the trips' paired ratios.
void compare(const char* name, int trips, const std::function<void()>& ours,
             const std::function<void()>& hand, double target) {
    std::vector<double> a, b, ratio;
    double cpu_a = 0, cpu_b = 0;
    for (int i = 0; i < trips; ++i) {
        for (int side = 0; side < 2; ++side) {
            const double c0 = cpu_now();
            const auto t0 = std::chrono::steady_clock::now();
            (side == 0 ? ours : hand)();
            const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
            (side == 0 ? a : b).push_back(wall);
            (side == 0 ? cpu_a : cpu_b) += cpu_now() - c0;
        }
        ratio.push_back(a.back() / b.back());
    }
    const double r = median(ratio);
    std::printf(
        "%-16s execute %7.1f us  send + expect %7.1f us  ratio %5.2f (target <= %.2f %s)  CPU per trip %5.1f "
        "us "
        "vs %5.1f us\n",
        name, median(a) * 1e6, median(b) * 1e6, r, target, r <= target ? "met" : "MISSED",
        cpu_a / trips * 1e6, cpu_b / trips * 1e6);
    std::fflush(stdout);
}

// The lowest-latency settings a user would choose by hand, and nothing
// else; the echo is off from the start, as the repl has it, so both read the
// same bytes (with it on, bc's and python3's line editor would echo every
// character by itself, which only the hand-tuned side would pay).
spawn tuned(const std::string& program, const std::vector<std::string>& arguments,
            const std::string& inputrc = "/dev/null") {
    std::vector<std::string> words{"-c", "stty -echo && exec \"$0\" \"$@\"", program};
    words.insert(words.end(), arguments.begin(), arguments.end());
    spawn s(
        "/bin/sh", argument_list(std::move(words)),
        {.env = env_map{{"TERM", "dumb"}, {"PATH", "/usr/bin:/bin"}, {"PS1", "$ "}, {"INPUTRC", inputrc}}});
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

    // What the repl sends to bc and waits for, with its settings: the key,
    // the call and the history setting of repl::bc(), a token as long as its
    // own.
    char inputrc[] = "/tmp/repl_bench-inputrc-XXXXXX";
    const int rc = ::mkstemp(inputrc);
    const std::string binding = "\"\\C-]\": \";z()\\n\"\n";
    if (rc < 0 || ::write(rc, binding.data(), binding.size()) != static_cast<ssize_t>(binding.size()))
        fail("cannot write an inputrc");
    ::close(rc);
    const std::string token = "ptypilot0123456789abcdef";
    spawn bc_line = tuned("bc", {"-q"}, inputrc);
    bc_line.send("history = 0\ndefine void z() { print \"" + token + "\\n\" }\nz()\n");
    bc_line.expect_exact(token + "\r\n", 10);
    ::unlink(inputrc);  // read by bc's line editor at its start
    const auto prompt = std::make_shared<searcher_re>(
        compiled_pattern_list{regex(token + "\r\n"), sentinel::eof, sentinel::timeout});
    compare(
        "bc: same line", trips,
        [&] {
            if (calc.execute("6*7", 10).output != "42\r\n") fail("bc: wrong answer from execute");
        },
        [&] {
            bc_line.send("6*7\x1d");
            if (bc_line.expect_loop(prompt, 10) != 0 || bc_line.before_str() != "42\r\n")
                fail("bc: wrong answer to the same line");
        },
        1.2);

    repl py = repl::python("/usr/bin/python3");
    spawn python = tuned("/usr/bin/python3", {"-i", "-q"});
    python.expect_exact(">>> ", 10);
    compare(
        "python3: 6*7", trips,
        [&] {
            if (py.execute("6*7", 10).output != "42\r\n") fail("python3: wrong answer from execute");
        },
        [&] {
            python.send("6*7\n");
            python.expect_exact("42\r\n>>> ", 10);
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

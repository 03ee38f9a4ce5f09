// The README's "Many sessions, sessions over a descriptor, and event loops",
// run as written (the regions between "// README begin" and "// README end";
// the test ptypilot_readme_snippets holds the README to them). The router,
// the switch and the console are small shell scripts; the serial device is a
// pseudo-terminal whose other end answers as a modem would.
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include <ptypilot/ptypilot.hpp>
using namespace ptypilot;
using namespace std::chrono_literals;

namespace {

int fail(const std::string& why) {
    std::fprintf(stderr, "readme_sessions: %s\n", why.c_str());
    return 1;
}

spawn prompting(const std::string& prompt) {
    return spawn("/bin/sh", {"-c", "printf '" + prompt + "'; read x"}, {.timeout = 10s});
}

int many_sessions() {
    spawn router = prompting("router# ");
    spawn switch1 = prompting("switch1> ");
    spawn console = prompting("login: ");
    // clang-format off
    // README begin
    std::vector<expect_target> targets = {
        {router, {"router# ", sentinel::eof}},               // the session's timeout
        {switch1, {"switch1> ", sentinel::timeout}, 5s},     // its own time-out
        {console, std::make_shared<searcher_string>(exact_input{"login: "}.list()), std::nullopt},
    };
    for (const expect_outcome& o : expect_many(targets))     // o.session: position in targets
        std::cout << targets[o.session].session->before_str() << " -> entry " << o.index << "\n";
    // README end
    // clang-format on
    // Each session with an outcome has its match; a round has one at least.
    if (router.after_str() != "router# " && switch1.after_str() != "switch1> " &&
        console.after_str() != "login: ")
        return fail("expect_many reported no outcome");
    return 0;
}

// A pseudo-terminal stands in for the serial line: its other end answers
// "OK" to "AT", as a modem does.
int over_a_descriptor() {
    const int line = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (line < 0 || ::grantpt(line) != 0 || ::unlockpt(line) != 0) return fail("no pseudo-terminal");
    termios raw{};
    ::tcgetattr(line, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(line, TCSANOW, &raw);
    const std::string device_name = ::ptsname(line);
    const char* device = device_name.c_str();
    const pid_t modem_pid = ::fork();
    if (modem_pid == 0) {
        std::string heard;
        char c;
        while (heard.find("AT\r") == std::string::npos && ::read(line, &c, 1) == 1) heard += c;
        const char ok[] = "OK\r\n";
        ::_exit(::write(line, ok, sizeof ok - 1) == sizeof ok - 1 ? 0 : 1);
    }
    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return fail("no pipe");
    const int from_program = pipe_fds[0], to_program = pipe_fds[1];
    {
        // clang-format off
        // README begin
        int fd = ::open(device, O_RDWR | O_NOCTTY | O_CLOEXEC);   // device: "/dev/ttyUSB0", say; + termios: cfmakeraw, cfsetspeed
        spawn modem = spawn::from_fd(fd, {.timeout = 5s});                   // owns fd: close() closes it
        modem.send("AT\r");
        modem.expect_exact("OK\r\n");
        spawn svc = spawn::from_fds(from_program, to_program, {}, descriptor_close::leave);  // close() leaves both
        // README end
        // clang-format on
        svc.send("ping\n");
        svc.expect_exact("ping\n");  // read back from the other end of the pipe
    }
    ::close(from_program);
    ::close(to_program);
    int status = 0;
    ::waitpid(modem_pid, &status, 0);
    ::close(line);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return fail("the modem heard no AT");
    return 0;
}

int in_an_event_loop() {
    spawn s("/bin/sh", {"-c", "printf 'one $ '; printf 'two $ '; printf 'three'"}, {.timeout = 10s});
    std::vector<std::string> seen;
    auto handle = [&](const std::string& text) { seen.push_back(text); };
    bool finished = false;
    // clang-format off
    // README begin
    auto prompt = std::make_shared<searcher_re>(s.compile_pattern_list({"\\$ ", sentinel::eof}));
    // The loop watches every descriptor, with a timer of step_interval() if it has one
    // (a plain poll() stands in for the event loop here):
    std::vector<pollfd> fds;
    for (int fd : s.wait_descriptors()) fds.push_back({fd, POLLIN, 0});
    const int wait_ms = s.step_interval() ? static_cast<int>(*s.step_interval() * 1000) : -1;
    while (!finished && ::poll(fds.data(), fds.size(), wait_ms) >= 0)   // readable, or the timer
        for (step_result r; (r = s.expect_step(prompt)).status != step_status::nothing;)
            if (r.status == step_status::matched) handle(s.before_str()); else { finished = true; break; }
    // README end
    // clang-format on
    if (seen != std::vector<std::string>{"one ", "two "}) return fail("the steps saw other prompts");
    return 0;
}

}  // namespace

int main() {
    try {
        if (many_sessions() != 0 || over_a_descriptor() != 0 || in_an_event_loop() != 0) return 1;
    } catch (const std::exception& e) {
        return fail(e.what());
    }
    std::puts("readme_sessions: ok");
    return 0;
}

// ptypilot: run a program on a new pseudo-terminal and hand the terminal to
// the user until the program ends or Ctrl-] is typed.
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>

#include <ptypilot/spawn.hpp>

#include "launcher/grammar.hpp"
#include "launcher/signals.hpp"

namespace {

using ptypilot::launcher::signal_inbox;

void say(const std::string& line) { std::cout << line << std::endl; }

// Answers the signals that came while the relay ran. An ending one ends the
// relay. A stop stops the launcher right here, the user's terminal already
// back in its own mode, until it is continued; then the relay takes raw mode
// again. A stop followed by SIGCONT has already happened (the kernel stopped
// the launcher when the repeated signal found the default action).
bool answer(signal_inbox& inbox, int& ending) {
    for (auto sigs = inbox.take(); !sigs.empty(); sigs = inbox.take()) {
        int stop = 0;
        for (const int sig : sigs) {
            if (ptypilot::launcher::is_ending(sig)) {
                if (ending == 0) ending = sig;
            } else {
                stop = sig == SIGCONT ? 0 : sig;
            }
        }
        if (ending != 0) return false;
        if (stop != 0) ptypilot::launcher::raise_default(stop);
        for (const int sig : sigs) inbox.rearm(sig);
    }
    return true;
}

// Relays until the child ends, the user leaves, or a signal or a hang-up
// ends the launcher (`ending` then names the signal to end by).
int relay(ptypilot::spawn& launch, signal_inbox& inbox, int& ending) {
    ptypilot::interact_options options;
    options.follow_window_size = true;
    options.wake_fd = inbox.fd();
    options.on_wake = [&] { return answer(inbox, ending); };
    try {
        const std::string ctrl_bracket(1, '\x1d');
        if (launch.interact(ctrl_bracket, nullptr, nullptr, options) == ptypilot::interact_end::hangup) {
            ending = SIGHUP;
            // Nobody is left to relay to: the child ends now, and with SIGHUP
            // ignored at start its end is the launcher's exit code.
            launch.close();
        }
    } catch (const std::exception& e) {
        say(std::string("Failed to run the program: ") + e.what());
        if (!launch.exitstatus && !launch.signalstatus) return 1;
    }
    // A child ended by a signal reports 128 + the signal, as shells do.
    if (launch.signalstatus) return 128 + *launch.signalstatus;
    return launch.exitstatus.value_or(0);
}

// A standard stream the caller closed would be taken by the first
// descriptor made (the signal pipe: the relay would read it as the keyboard,
// and the child's output as signals). /dev/null takes its place: a closed
// input is empty input, a closed output takes everything.
void fill_closed_standard_streams() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // The lowest free number: `fd` itself, those below are open by now.
        const int opened = ::open("/dev/null", (fd == 0 ? O_RDONLY : O_WRONLY) | O_CLOEXEC);
        if (opened != fd) std::_Exit(1);
    }
}

}  // namespace

int main(int argc, char** argv) {
    fill_closed_standard_streams();
    // A closed standard output must show as an error of the relay instead of
    // killing the launcher silently. The child starts with SIGPIPE at its
    // default again.
    ::signal(SIGPIPE, SIG_IGN);
    // An ignored SIGCHLD survives exec and has the kernel reap the child
    // unasked, and its end could never be learnt.
    ::signal(SIGCHLD, SIG_DFL);

    if (argc < 2) {
        say("No program specified");
        return 1;
    }
    const auto req = ptypilot::launcher::parse_words(std::vector<std::string>(argv + 1, argv + argc));
    if (req.query != ptypilot::launcher::launcher_query::none) {
        std::cout << (req.query == ptypilot::launcher::launcher_query::help
                          ? ptypilot::launcher::usage()
                          : ptypilot::launcher::version_text())
                  << std::flush;
        return std::cout ? 0 : 1;
    }
    if (req.cmdline.empty()) {
        say("No program to run!");
        return 1;
    }
    const std::string cmd = req.cmdline.front();
    std::vector<std::string> args(req.cmdline.begin() + 1, req.cmdline.end());

    // Caught before the start: a signal that comes meanwhile is answered
    // once the relay runs.
    signal_inbox inbox;
    std::unique_ptr<ptypilot::spawn> launch;
    try {
        // The user's size from the start: a program that reads its size
        // once, as it starts, must find the user's.
        ptypilot::window_size window;
        winsize ws{};
        if (::ioctl(STDIN_FILENO, TIOCGWINSZ, &ws) == 0 && (ws.ws_row != 0 || ws.ws_col != 0))
            window = {ws.ws_row, ws.ws_col};
        launch = std::make_unique<ptypilot::spawn>(
            cmd, args,
            ptypilot::spawn_options{.cwd = req.working_directory(), .env = req.env, .window = window});
    } catch (const std::exception& e) {
        say(std::string("Failed to launch the program: ") + e.what());
        return 1;
    }
    int ending = 0;
    const int code = relay(*launch, inbox, ending);
    // The session is released (closing it ends a child still running) before
    // the launcher goes, whichever way it goes.
    launch.reset();
    for (const int sig : inbox.take())
        if (ending == 0 && ptypilot::launcher::is_ending(sig)) ending = sig;
    if (ending != 0) ptypilot::launcher::raise_default(ending);
    return code;
}

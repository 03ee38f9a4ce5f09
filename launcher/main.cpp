// ptypilot: run a program on a new pseudo-terminal and hand the terminal to
// the user until the program ends or Ctrl-] is typed.
#include <signal.h>

#include <cstdio>
#include <iostream>
#include <memory>

#include <ptypilot/spawn.hpp>

#include "launcher/grammar.hpp"

namespace {

void say(const std::string& line) { std::cout << line << std::endl; }

int relay(ptypilot::spawn& launch) {
    try {
        launch.interact();
    } catch (const std::exception& e) {
        say(std::string("Failed to run the program: ") + e.what());
        if (!launch.exitstatus && !launch.signalstatus) return 1;
    }
    // A child ended by a signal reports 128 + the signal, as shells do.
    if (launch.signalstatus) return 128 + *launch.signalstatus;
    return launch.exitstatus.value_or(0);
}

}  // namespace

int main(int argc, char** argv) {
    // A closed standard output must show as an error of the relay instead of
    // killing the launcher silently. The child starts with SIGPIPE at its
    // default again.
    ::signal(SIGPIPE, SIG_IGN);

    if (argc < 2) {
        say("No program specified");
        return 1;
    }
    const auto req = ptypilot::launcher::parse_words(std::vector<std::string>(argv + 1, argv + argc));
    if (req.cmdline.empty()) {
        say("No program to run!");
        return 1;
    }
    const std::string cmd = req.cmdline.front();
    std::vector<std::string> args(req.cmdline.begin() + 1, req.cmdline.end());

    std::unique_ptr<ptypilot::spawn> launch;
    try {
        launch = std::make_unique<ptypilot::spawn>(cmd, args, ptypilot::defaults::timeout,
                                                   ptypilot::defaults::maxread, std::nullopt, nullptr,
                                                   req.working_directory(), req.env);
    } catch (const std::exception& e) {
        say(std::string("Failed to launch the program: ") + e.what());
        return 1;
    }
    // The session is released (closing it ends a child still running) before
    // the status goes back to the shell.
    const int code = relay(*launch);
    launch.reset();
    return code;
}

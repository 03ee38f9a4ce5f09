// Starting the child: argument vector, working directory, lookup, and the
// fork with a new pseudo-terminal.
#include <ptypilot/spawn.hpp>
#include <ptypilot/split_command_line.hpp>
#include <ptypilot/which.hpp>

#include <sys/syscall.h>
#include <unistd.h>

#include <iostream>

#include "session/fork_pty.hpp"
#include "session/session_state.hpp"
#include "session/start_plan.hpp"

namespace ptypilot {

namespace {

// The argument vector: a command given alone is split into words; given with
// arguments it is one word.
std::vector<std::string> argument_words(const std::string& command, std::vector<std::string> args) {
    if (args.empty()) {
        auto words = split_command_line(command);
        if (words.empty()) throw std::out_of_range("list index out of range");
        return words;
    }
    args.insert(args.begin(), command);
    return args;
}

// "<" + the words joined with one blank + ">".
std::string display_name(const std::vector<std::string>& words) {
    std::string joined(1, '<');
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (i != 0) joined += ' ';
        joined += words[i];
    }
    joined += '>';
    return joined;
}

}  // namespace

void spawn::_spawn(std::string command_, std::vector<std::string> args_) {
    std::vector<std::string> words = argument_words(command_, std::move(args_));
    command = words.front();
    args = words;

    // The calling process itself moves, so that the lookup below is made from
    // there and the child inherits the directory.
    if (cwd && !cwd->empty() && ::chdir(cwd->c_str()) != 0)
        *stdout_ << "Warning: Failed to change working directory" << std::endl;

    const auto found = which(words.front());
    if (!found) throw ExceptionPty("The command was not found or was not executable: " + words.front() + ".");
    command = *found;
    (*args)[0] = *found;
    words[0] = *found;

    name = display_name(words);

    if (pid) throw std::logic_error("The pid member should be None.");

    const detail::start_plan plan(std::move(words), env);
    detail::exec_plan exec = plan.exec();
    exec.rows = start_winsize.first;
    exec.columns = start_winsize.second;
    detail::started_child child = detail::start_child(exec, use_native_pty_fork);
    pid = child.pid;
    state_->master = std::move(child.master);
    child_fd = state_->master.get();
    // Lets the relay sleep until the child ends instead of polling for it.
    state_->pidfd.reset(static_cast<int>(::syscall(SYS_pidfd_open, child.pid, 0)));
    terminated = false;
    closed = false;
}

}  // namespace ptypilot

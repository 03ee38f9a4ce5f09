// Starting the child: argument vector, working directory, lookup, and the
// fork with a new pseudo-terminal.
#include <ptypilot/spawn.hpp>
#include <ptypilot/split_command_line.hpp>

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <iostream>
#include <stdexcept>

#include "os/off_standard_streams.hpp"
#include "os/unique_fd.hpp"
#include "session/abandoned_children.hpp"
#include "session/fork_pty.hpp"
#include "session/pty_child.hpp"
#include "session/session_state.hpp"
#include "session/start_plan.hpp"
#include "session/which_in.hpp"

namespace ptypilot {

namespace {

bool holds_nul(const std::string& s) { return s.find('\0') != std::string::npos; }

// Each of these becomes a C string on its way to the child, where a NUL byte
// would silently cut it short, and an environment name that is empty or holds
// '=' would become some other entry: refused before anything starts.
void check_input(const std::string& command, const std::vector<std::string>& args,
                 const std::optional<std::string>& cwd, const std::optional<env_map>& env) {
    const auto refuse = [](const std::string& what) { throw std::invalid_argument("ptypilot: " + what); };
    if (holds_nul(command)) refuse("the command holds a NUL byte");
    for (std::size_t i = 0; i < args.size(); ++i)
        if (holds_nul(args[i])) refuse("argument " + std::to_string(i + 1) + " holds a NUL byte");
    if (cwd && holds_nul(*cwd)) refuse("the working directory holds a NUL byte");
    if (!env) return;
    for (const auto& [name, value] : *env) {
        if (name.empty()) refuse("an environment name is empty");
        if (holds_nul(name)) refuse("an environment name holds a NUL byte");
        if (name.find('=') != std::string::npos) refuse("environment name \"" + name + "\" holds '='");
        if (holds_nul(value)) refuse("the value of environment name \"" + name + "\" holds a NUL byte");
    }
}

// The child's directory, or nothing when it cannot be entered. The child
// enters it itself: a chdir here would move every thread of the caller, whose
// other starts would then inherit it.
detail::unique_fd open_directory(const std::string& path) {
    detail::unique_fd dir(::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    // O_PATH asks for no permission; looking up "." in the directory needs
    // the search permission that entering it does.
    if (dir && ::faccessat(dir.get(), ".", X_OK, AT_EACCESS) != 0) dir.reset();
    return dir;
}

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
    if (!state_->source->has_child()) throw std::logic_error("A session over a descriptor starts no child.");
    detail::reap_abandoned_children();
    check_input(command_, args_, cwd, env);
    std::vector<std::string> words = argument_words(command_, std::move(args_));
    // A session already started is refused below, after the same checks as
    // ever; the fields go on describing the child it runs.
    const bool started = pid.has_value();
    if (!started) {
        command = words.front();
        args = words;
    }

    detail::unique_fd dir;
    if (cwd && !cwd->empty()) {
        dir = open_directory(*cwd);
        if (!dir) *stdout_ << "Warning: Failed to change working directory" << std::endl;
    }

    // Relative names are found from where the child will run.
    const auto found = detail::which_in(dir ? dir.get() : AT_FDCWD, words.front());
    if (!found) throw ExceptionPty("The command was not found or was not executable: " + words.front() + ".");
    words[0] = *found;
    if (started) throw std::logic_error("The pid member should be None.");
    command = *found;
    (*args)[0] = *found;
    name = display_name(words);

    const detail::start_plan plan(std::move(words), env);
    detail::exec_plan exec = plan.exec();
    exec.dir_fd = dir.get();
    exec.rows = state_->start_window.rows;
    exec.columns = state_->start_window.columns;
    exec.ignore_sighup = ignore_sighup;
    detail::started_child child = detail::start_child(exec, use_native_pty_fork);
    pid = child.pid;
    // Lets the relay sleep until the child ends instead of polling for it.
    // Kept off 0-2, where the relay would read it as the user's terminal;
    // without a free number the session goes on without one.
    detail::unique_fd pidfd = detail::off_standard_streams(
        detail::unique_fd(static_cast<int>(::syscall(SYS_pidfd_open, child.pid, 0))));
    state_->source = std::make_unique<detail::pty_child>(std::move(child.master), std::move(pidfd));
    child_fd = state_->source->input_fd();
    terminated = false;
    closed = false;
}

}  // namespace ptypilot

// Starting the child: argument vector, working directory, lookup, and the
// fork with a new pseudo-terminal.
#include <ptypilot/command_line.hpp>
#include <ptypilot/spawn.hpp>

#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <iostream>

#include "session/child.hpp"
#include "session/system_error.hpp"
#include "session/unique_fd.hpp"

extern char** environ;

namespace ptypilot {

namespace {

using detail::unique_fd;

// Owns the argv and envp arrays handed to the child, built before the fork.
struct c_strings {
    std::vector<std::string> storage;
    std::vector<char*> pointers;

    explicit c_strings(std::vector<std::string> words) : storage(std::move(words)) {
        pointers.reserve(storage.size() + 1);
        for (auto& s : storage) pointers.push_back(s.data());
        pointers.push_back(nullptr);
    }
};

// Blocks every signal for the life of the guard, so that no handler of the
// caller's runs in the child before it has reset the dispositions.
class signal_block {
public:
    signal_block() {
        sigset_t all;
        ::sigfillset(&all);
        ::pthread_sigmask(SIG_SETMASK, &all, &old_);
    }
    ~signal_block() { ::pthread_sigmask(SIG_SETMASK, &old_, nullptr); }
    signal_block(const signal_block&) = delete;
    signal_block& operator=(const signal_block&) = delete;

private:
    sigset_t old_;
};

void set_cloexec(int fd) { detail::check(::fcntl(fd, F_SETFD, FD_CLOEXEC)); }

// Waits until the child has exec'd (the pipe closes) or reports a failure.
std::optional<detail::child_report> read_report(int fd) {
    detail::child_report report{};
    const ssize_t n = detail::retry_eintr([&] { return ::read(fd, &report, sizeof report); });
    if (n == static_cast<ssize_t>(sizeof report)) return report;
    return std::nullopt;
}

void reap(pid_t pid) {
    int st = 0;
    detail::retry_eintr([&] { return ::waitpid(pid, &st, 0); });
}

[[noreturn]] void throw_child_failure(const detail::child_report& report, const std::string& tty_name) {
    switch (static_cast<detail::child_failure>(report.failure)) {
        case detail::child_failure::not_disconnected:
            throw ExceptionPty("Error! We are not disconnected from a controlling tty.");
        case detail::child_failure::open_child_pty:
            throw ExceptionPty("Error! Could not open child pty, " + tty_name);
        case detail::child_failure::open_dev_tty:
            throw ExceptionPty("Error! Could not open controlling tty, /dev/tty");
        case detail::child_failure::exec:
        case detail::child_failure::os_error: break;
    }
    detail::throw_errno(report.err);
}

}  // namespace

void spawn::_spawn(std::string command_, std::vector<std::string> args_) {
    std::vector<std::string> words;
    if (args_.empty()) {
        words = split_command_line(command_);
        if (words.empty()) throw std::out_of_range("list index out of range");
        command_ = words.front();
    } else {
        words = std::move(args_);
        words.insert(words.begin(), command_);
    }
    command = command_;
    args = words;

    // The calling process itself moves, so that the lookup below is made from
    // there and the child inherits the directory.
    if (cwd && !cwd->empty() && ::chdir(cwd->c_str()) != 0)
        *stdout_ << "Warning: Failed to change working directory" << std::endl;

    const auto found = which(command_);
    if (!found) throw ExceptionPty("The command was not found or was not executable: " + command_ + ".");
    command = *found;
    (*args)[0] = *found;
    words[0] = *found;

    name = "<";
    for (std::size_t i = 0; i < words.size(); ++i) name += (i ? " " : "") + words[i];
    name += ">";

    if (pid) throw std::logic_error("The pid member should be None.");

    // Everything the child needs is built now: after the fork it may not
    // allocate. A path found through an empty PATH entry is relative to the
    // current directory, which is where execve looks for a name without "/".
    const std::string path = found->find('/') == std::string::npos ? "./" + *found : *found;
    c_strings argv(words);
    std::optional<c_strings> envp;
    if (env) {
        std::vector<std::string> entries;
        entries.reserve(env->size());
        for (const auto& [k, v] : *env) entries.push_back(k + "=" + v);
        envp.emplace(std::move(entries));
    }

    int pipe_fds[2];
    detail::check(::pipe2(pipe_fds, O_CLOEXEC));
    unique_fd report_read(pipe_fds[0]);
    unique_fd report_write(pipe_fds[1]);
    // With the caller's standard streams closed the pipe could land on 0-2,
    // which the child overwrites with the terminal before it could report.
    if (report_write.get() <= 2)
        report_write.reset(detail::check(::fcntl(report_write.get(), F_DUPFD_CLOEXEC, 3)));

    detail::exec_plan plan{};
    plan.path = path.c_str();
    plan.argv = argv.pointers.data();
    plan.envp = envp ? envp->pointers.data() : environ;
    plan.report_fd = report_write.get();

    unique_fd master;
    unique_fd tty;  // substitute start only
    std::string tty_name;
    pid_t child = -1;
    if (use_native_pty_fork) {
        int fd = -1;
        int err = 0;
        {
            signal_block block;
            child = ::forkpty(&fd, nullptr, nullptr, nullptr);
            if (child == 0) detail::run_child(plan);
            err = errno;
        }
        if (child < 0) throw ExceptionPty("Error! pty.fork() failed: " + detail::errno_text(err));
        master.reset(fd);
        set_cloexec(master.get());
    } else {
        int parent_fd = -1;
        int child_fd_ = -1;
        if (::openpty(&parent_fd, &child_fd_, nullptr, nullptr, nullptr) != 0 || parent_fd < 0 ||
            child_fd_ < 0)
            throw ExceptionPty("Error! Could not open pty with os.openpty().");
        master.reset(parent_fd);
        tty.reset(child_fd_);
        set_cloexec(master.get());
        set_cloexec(tty.get());
        char tty_path[PATH_MAX];
        if (const int err = ::ttyname_r(tty.get(), tty_path, sizeof tty_path); err != 0)
            detail::throw_errno(err);
        tty_name = tty_path;
        plan.tty_fd = tty.get();
        plan.tty_name = tty_name.c_str();
        {
            signal_block block;
            child = ::fork();
            if (child == 0) detail::run_child(plan);
        }
        if (child < 0) throw ExceptionPty("Error! Failed os.fork().");
        tty.reset();
    }

    report_write.reset();
    if (const auto report = read_report(report_read.get())) {
        reap(child);
        throw_child_failure(*report, tty_name);
    }

    pid = child;
    child_fd = master.release();
    fd_released_ = false;
    // Lets the relay sleep until the child ends instead of polling for it.
    pidfd_ = static_cast<int>(::syscall(SYS_pidfd_open, child, 0));
    terminated = false;
    closed = false;
}

}  // namespace ptypilot

// The two ways of forking with a new pty, and the report of the child's fate.
#include "session/fork_pty.hpp"

#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <optional>
#include <string>

#include <ptypilot/errors.hpp>

#include "session/eintr.hpp"
#include "session/system_error.hpp"

namespace ptypilot::detail {

namespace {

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

void set_cloexec(int fd) { check(::fcntl(fd, F_SETFD, FD_CLOEXEC)); }

struct forked {
    pid_t pid = -1;
    unique_fd master;
    std::string tty_name;  // substitute start only, for its error messages
};

forked fork_native(const exec_plan& plan) {
    forked out;
    int fd = -1;
    int err = 0;
    {
        signal_block block;
        out.pid = ::forkpty(&fd, nullptr, nullptr, nullptr);
        if (out.pid == 0) run_child(plan);
        err = errno;
    }
    if (out.pid < 0) throw ExceptionPty("Error! pty.fork() failed: " + errno_text(err));
    out.master.reset(fd);
    set_cloexec(out.master.get());
    return out;
}

forked fork_substitute(exec_plan plan) {
    forked out;
    int parent_fd = -1;
    int child_fd = -1;
    if (::openpty(&parent_fd, &child_fd, nullptr, nullptr, nullptr) != 0 || parent_fd < 0 || child_fd < 0)
        throw ExceptionPty("Error! Could not open pty with os.openpty().");
    out.master.reset(parent_fd);
    const unique_fd tty(child_fd);
    set_cloexec(out.master.get());
    set_cloexec(tty.get());
    char tty_path[PATH_MAX];
    if (const int err = ::ttyname_r(tty.get(), tty_path, sizeof tty_path); err != 0) throw_errno(err);
    out.tty_name = tty_path;
    plan.tty_fd = tty.get();
    plan.tty_name = out.tty_name.c_str();
    {
        signal_block block;
        out.pid = ::fork();
        if (out.pid == 0) run_child(plan);
    }
    if (out.pid < 0) throw ExceptionPty("Error! Failed os.fork().");
    return out;
}

// Waits until the child has exec'd (the pipe closes) or reports a failure.
std::optional<child_report> read_report(int fd) {
    child_report report{};
    const ssize_t n = retry_eintr([&] { return ::read(fd, &report, sizeof report); });
    if (n == static_cast<ssize_t>(sizeof report)) return report;
    return std::nullopt;
}

void reap(pid_t pid) {
    int st = 0;
    retry_eintr([&] { return ::waitpid(pid, &st, 0); });
}

[[noreturn]] void throw_child_failure(const child_report& report, const std::string& tty_name) {
    switch (static_cast<child_failure>(report.failure)) {
        case child_failure::not_disconnected:
            throw ExceptionPty("Error! We are not disconnected from a controlling tty.");
        case child_failure::open_child_pty:
            throw ExceptionPty("Error! Could not open child pty, " + tty_name);
        case child_failure::open_dev_tty:
            throw ExceptionPty("Error! Could not open controlling tty, /dev/tty");
        case child_failure::exec:
        case child_failure::os_error: break;
    }
    throw_errno(report.err);
}

}  // namespace

started_child start_child(exec_plan plan, bool native) {
    int pipe_fds[2];
    check(::pipe2(pipe_fds, O_CLOEXEC));
    unique_fd report_read(pipe_fds[0]);
    unique_fd report_write(pipe_fds[1]);
    // With the caller's standard streams closed the pipe could land on 0-2,
    // which the child overwrites with the terminal before it could report.
    if (report_write.get() <= 2) report_write.reset(check(::fcntl(report_write.get(), F_DUPFD_CLOEXEC, 3)));
    plan.report_fd = report_write.get();

    forked child = native ? fork_native(plan) : fork_substitute(plan);
    report_write.reset();
    if (const auto report = read_report(report_read.get())) {
        reap(child.pid);
        throw_child_failure(*report, child.tty_name);
    }
    return {child.pid, std::move(child.master)};
}

}  // namespace ptypilot::detail

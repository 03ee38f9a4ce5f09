// The two ways of forking with a new pty, and the report of the child's fate.
#include "session/fork_pty.hpp"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <string>

#include <ptypilot/errors.hpp>

#include "os/eintr.hpp"
#include "os/off_standard_streams.hpp"
#include "os/system_error.hpp"

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

// fork() copies the caller's page tables, which grow with its memory: a
// program holding thousands of sessions paid milliseconds for each start.
// The child shares the caller's memory instead, on a stack of its own, and
// this thread is suspended until the child has exec'd or ended, as with
// vfork. run_child() writes nothing of the caller's but its report, and the
// caller's signal handlers cannot run in it (every signal is blocked until
// it has reset them). Returns the pid, or -1 with errno.
pid_t clone_child(const exec_plan& plan) {
    constexpr std::size_t stack_size = 256 * 1024;
    void* stack = ::mmap(nullptr, stack_size, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK | MAP_NORESERVE, -1, 0);
    if (stack == MAP_FAILED) return -1;
    const int files = plan.shared_table_tty != nullptr ? CLONE_FILES : 0;
    const pid_t pid = ::clone(&clone_entry, static_cast<char*>(stack) + stack_size,
                              CLONE_VM | CLONE_VFORK | files | SIGCHLD, const_cast<exec_plan*>(&plan));
    const int err = errno;
    ::munmap(stack, stack_size);
    errno = err;
    return pid;
}

// A system call of the start that failed (out of descriptors, say) is a
// std::system_error like every other, so that callers can tell EMFILE from
// ENOMEM; the text stays the one the start has always shown.
[[noreturn]] void throw_fork_failure(int err) {
    throw_errno(err, "Error! pty.fork() failed: " + errno_text(err));
}

struct forked {
    pid_t pid = -1;
    unique_fd master;
    std::string tty_name;  // substitute start only, for its error messages
};

struct pty_pair {
    unique_fd master;
    unique_fd tty;             // the child's side
    char path[PATH_MAX] = {};  // the child side's, when known
};

// Cleared for good once a child could not leave the shared table (a kernel
// before 5.9, a sandbox that refuses close_range, a /dev/pts elsewhere).
std::atomic<bool> own_table_works{true};

// Lets the child start on the caller's table when its terminal can be
// opened again by a path that leads to it.
void share_table_if_possible(exec_plan& plan, const pty_pair& pty) {
    struct stat st {};
    if (!own_table_works.load(std::memory_order_relaxed) || pty.path[0] == '\0' ||
        ::fstat(pty.tty.get(), &st) != 0)
        return;
    plan.shared_table_tty = pty.path;
    plan.tty_device = st.st_rdev;
}

// Both sides are close-on-exec from the moment they exist: another thread
// may fork and exec at any time, and its program must not get the session's
// terminal (it would read everything typed there, passwords included).
// Returns errno on failure.
int open_pty_pair(pty_pair& pair) {
    pair.master = off_standard_streams(unique_fd(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC)));
    if (!pair.master || ::grantpt(pair.master.get()) != 0 || ::unlockpt(pair.master.get()) != 0) return errno;
    pair.tty.reset(::ioctl(pair.master.get(), TIOCGPTPEER, O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (pair.tty && ::ptsname_r(pair.master.get(), pair.path, sizeof pair.path) != 0) pair.path[0] = '\0';
    if (pair.tty) return 0;
    if (errno != EINVAL && errno != ENOTTY) return errno;
    // Before Linux 4.13 the child side can only be opened by its path.
    if (const int err = ::ptsname_r(pair.master.get(), pair.path, sizeof pair.path); err != 0) return err;
    pair.tty.reset(::open(pair.path, O_RDWR | O_NOCTTY | O_CLOEXEC));
    return pair.tty ? 0 : errno;
}

forked fork_native(exec_plan plan, bool share) {
    forked out;
    pty_pair pty;
    if (const int err = open_pty_pair(pty); err != 0) throw_fork_failure(err);
    plan.tty_fd = pty.tty.get();
    if (share) share_table_if_possible(plan, pty);
    int err = 0;
    {
        signal_block block;
        out.pid = clone_child(plan);
        err = errno;
    }
    if (out.pid < 0) throw_fork_failure(err);
    out.master = std::move(pty.master);
    return out;
}

forked fork_substitute(exec_plan plan, bool share) {
    forked out;
    pty_pair pty;
    if (const int err = open_pty_pair(pty); err != 0)
        throw_errno(err, "Error! Could not open pty with os.openpty().");
    if (const int err = ::ttyname_r(pty.tty.get(), pty.path, sizeof pty.path); err != 0) throw_errno(err);
    out.tty_name = pty.path;
    plan.tty_fd = pty.tty.get();
    plan.tty_name = out.tty_name.c_str();
    if (share) share_table_if_possible(plan, pty);
    int err = 0;
    {
        signal_block block;
        out.pid = clone_child(plan);
        err = errno;
    }
    if (out.pid < 0) throw_errno(err, "Error! Failed os.fork().");
    out.master = std::move(pty.master);
    return out;
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
            throw_errno(report.err, "Error! Could not open child pty, " + tty_name);
        case child_failure::open_dev_tty:
            throw_errno(report.err, "Error! Could not open controlling tty, /dev/tty");
        case child_failure::native_terminal: throw_fork_failure(report.err);
        case child_failure::exec:
        case child_failure::os_error:
        case child_failure::no_own_table: break;
    }
    throw_errno(report.err);
}

}  // namespace

started_child start_child(exec_plan plan, bool native) {
    child_report report{};
    plan.report = &report;
    const auto fork_once = [&](bool share) {
        return native ? fork_native(plan, share) : fork_substitute(plan, share);
    };
    // clone() returns once the child has exec'd or ended: its report is in.
    forked child = fork_once(true);
    if (static_cast<child_failure>(report.failure) == child_failure::no_own_table) {
        reap(child.pid);
        own_table_works.store(false, std::memory_order_relaxed);
        report = {};
        child = fork_once(false);
    }
    if (report.failure != 0) {
        reap(child.pid);
        throw_child_failure(report, child.tty_name);
    }
    return {child.pid, std::move(child.master)};
}

}  // namespace ptypilot::detail

// Runs in the forked child: async-signal-safe calls only.
#include "session/before_exec.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <linux/close_range.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

namespace ptypilot::detail {

namespace {

// The caller is suspended until the child execs or ends, so it reads the
// report only once this write is done.
[[noreturn]] void fail(const exec_plan& plan, child_failure why, int err) noexcept {
    plan.report->failure = static_cast<int>(why);
    plan.report->err = err;
    ::_exit(127);
}

// close_range needs Linux 5.9; older kernels get the /proc listing, read with
// raw getdents64 because opendir allocates.
void close_from_3() noexcept {
    if (::syscall(SYS_close_range, 3u, ~0u, 0u) == 0) return;

    const int dir = ::open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        alignas(8) char buf[4096];
        for (;;) {
            const long n = ::syscall(SYS_getdents64, dir, buf, sizeof buf);
            if (n <= 0) break;
            for (long off = 0; off < n;) {
                struct linux_dirent64 {
                    std::uint64_t d_ino;
                    std::int64_t d_off;
                    unsigned short d_reclen;
                    unsigned char d_type;
                    char d_name[1];
                };
                const auto* d = reinterpret_cast<const linux_dirent64*>(buf + off);
                int fd = 0;
                bool numeric = d->d_name[0] != '\0';
                for (const char* p = d->d_name; *p != '\0'; ++p) {
                    if (*p < '0' || *p > '9') {
                        numeric = false;
                        break;
                    }
                    fd = fd * 10 + (*p - '0');
                }
                if (numeric && fd >= 3 && fd != dir) ::close(fd);
                off += d->d_reclen;
            }
        }
        ::close(dir);
        return;
    }
    // No /proc either: close up to the soft limit, bounded when unlimited.
    rlimit lim{};
    rlim_t top = 65536;
    if (::getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur != RLIM_INFINITY && lim.rlim_cur < top)
        top = lim.rlim_cur;
    for (rlim_t fd = 3; fd < top; ++fd) ::close(static_cast<int>(fd));
}

// The substitute start's way: checks that setsid really left the caller's
// terminal behind, and acquires the new one by opening it.
void make_controlling_tty_by_hand(const exec_plan& plan) noexcept {
    int fd = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0) ::close(fd);

    if (::setsid() == -1) fail(plan, child_failure::os_error, errno);

    fd = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0) {
        ::close(fd);
        fail(plan, child_failure::not_disconnected, 0);
    }
    // The first terminal a session leader opens becomes its controlling one.
    fd = ::open(plan.tty_name, O_RDWR | O_CLOEXEC);
    if (fd < 0) fail(plan, child_failure::open_child_pty, errno);
    ::close(fd);

    fd = ::open("/dev/tty", O_WRONLY | O_CLOEXEC);
    if (fd < 0) fail(plan, child_failure::open_dev_tty, errno);
    ::close(fd);
}

// The native start's way, as login_tty does it.
void make_controlling_tty(const exec_plan& plan, int tty) noexcept {
    if (::setsid() == -1 || ::ioctl(tty, TIOCSCTTY, 0) == -1)
        fail(plan, child_failure::native_terminal, errno);
}

// Leaves the caller's descriptor table with a copy of 0-2 alone (the kernel
// copies no more than that) and opens the terminal anew in it.
int own_table_with_terminal(const exec_plan& plan) noexcept {
    if (::syscall(SYS_close_range, 3u, ~0u, CLOSE_RANGE_UNSHARE) != 0)
        fail(plan, child_failure::no_own_table, errno);
    const int tty = ::open(plan.shared_table_tty, O_RDWR | O_NOCTTY | O_CLOEXEC);
    struct stat st {};
    // A /dev/pts of another mount would give some other terminal.
    if (tty < 0 || ::fstat(tty, &st) != 0 || st.st_rdev != plan.tty_device)
        fail(plan, child_failure::no_own_table, errno);
    return tty;
}

}  // namespace

void run_child(const exec_plan& plan) noexcept {
    // First, while the directory's descriptor cannot yet have been replaced
    // by the terminal (it is on 0-2 when the caller has closed those). The
    // parent has checked that the directory can be entered, so a failure
    // here is a change made since then, reported like any other.
    if (plan.dir_fd >= 0 && ::fchdir(plan.dir_fd) == -1) fail(plan, child_failure::os_error, errno);
    // Nothing may be opened or closed before this while the table is the
    // caller's.
    const int tty = plan.shared_table_tty != nullptr ? own_table_with_terminal(plan) : plan.tty_fd;

    if (plan.tty_name != nullptr)
        make_controlling_tty_by_hand(plan);
    else
        make_controlling_tty(plan, tty);
    for (int target = 0; target <= 2; ++target) {
        // dup2 onto itself does nothing, so the close-on-exec the terminal
        // was born with has to be cleared by hand there.
        const int r = tty == target ? ::fcntl(target, F_SETFD, 0) : ::dup2(tty, target);
        if (r == -1) fail(plan, child_failure::os_error, errno);
    }
    if (tty > 2) ::close(tty);

    winsize ws{};
    ws.ws_row = plan.rows;
    ws.ws_col = plan.columns;
    ::ioctl(STDOUT_FILENO, TIOCSWINSZ, &ws);

    if (plan.shared_table_tty == nullptr) close_from_3();

    // Handlers of the parent would run the parent's code here; everything
    // starts at its default except SIGHUP, unless asked, so that the program
    // survives the parent closing its side of the terminal.
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig)
        if (sig != SIGKILL && sig != SIGSTOP) ::sigaction(sig, &dfl, nullptr);
    if (plan.ignore_sighup) {
        struct sigaction ign {};
        ign.sa_handler = SIG_IGN;
        ::sigaction(SIGHUP, &ign, nullptr);
    }

    // The parent blocked every signal around the fork; unblock only now that
    // no handler of the parent's is left to run.
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);

    ::execve(plan.path, plan.argv, plan.envp);
    fail(plan, child_failure::exec, errno);
}

int clone_entry(void* plan) noexcept { run_child(*static_cast<const exec_plan*>(plan)); }

}  // namespace ptypilot::detail

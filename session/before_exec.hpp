// What the forked child does between fork and exec. Everything it needs is
// prepared by the parent beforehand: the child itself only makes plain system
// calls (no allocation, no exceptions, no locks).
#pragma once

#include <ptypilot/defaults.hpp>

namespace ptypilot::detail {

// Why a start failed in the child, sent to the parent over a close-on-exec
// pipe together with errno.
enum class child_failure : int {
    exec = 1,              // errno of execve
    os_error = 2,          // errno of setsid, dup2 and the like
    not_disconnected = 3,  // still has a controlling terminal after setsid
    open_child_pty = 4,    // the child side of the pty could not be opened
    open_dev_tty = 5,      // /dev/tty could not be opened afterwards
    native_terminal = 6,   // errno of setsid or TIOCSCTTY on the native start
};

struct child_report {
    int failure;
    int err;
};

struct exec_plan {
    const char* path;  // what to execve
    char* const* argv;
    char* const* envp;
    int report_fd;  // write end of the report pipe (close-on-exec)
    // The directory the child enters, or -1 to stay in the caller's.
    int dir_fd = -1;
    // The child side of the pty (close-on-exec), which becomes the child's
    // controlling terminal and standard streams.
    int tty_fd = -1;
    // Substitute start only: the device path of the child side, opened by
    // hand to make it the controlling terminal.
    const char* tty_name = nullptr;
    // The size of the terminal the program starts with.
    unsigned short rows = defaults::rows;
    unsigned short columns = defaults::columns;
    // SIGHUP ignored across the exec rather than left at its default.
    bool ignore_sighup = true;
};

// Never returns: execs the program or reports the failure and _exits.
[[noreturn]] void run_child(const exec_plan& plan) noexcept;
// run_child() as the entry of a clone(): `plan` is the exec_plan.
int clone_entry(void* plan) noexcept;

}  // namespace ptypilot::detail

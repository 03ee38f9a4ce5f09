// What the forked child does between fork and exec. Everything it needs is
// prepared by the parent beforehand: the child itself only makes plain system
// calls (no allocation, no exceptions, no locks).
#pragma once

#include <sys/types.h>

#include <ptypilot/defaults.hpp>

namespace ptypilot::detail {

// Why a start failed in the child, written into the caller's memory (which
// the child shares until it execs) together with errno.
enum class child_failure : int {
    exec = 1,              // errno of execve
    os_error = 2,          // errno of setsid, dup2 and the like
    not_disconnected = 3,  // still has a controlling terminal after setsid
    open_child_pty = 4,    // the child side of the pty could not be opened
    open_dev_tty = 5,      // /dev/tty could not be opened afterwards
    native_terminal = 6,   // errno of setsid or TIOCSCTTY on the native start
    // The descriptor table could not be left, or the terminal's path does not
    // lead to the terminal: the start is made again with a copy of the table.
    no_own_table = 7,
};

struct child_report {
    int failure;
    int err;
};

struct exec_plan {
    const char* path;  // what to execve
    char* const* argv;
    char* const* envp;
    child_report* report;  // where a failure is written before the child _exits
    // The directory the child enters, or -1 to stay in the caller's.
    int dir_fd = -1;
    // The child side of the pty (close-on-exec), which becomes the child's
    // controlling terminal and standard streams.
    int tty_fd = -1;
    // Substitute start only: the device path of the child side, opened by
    // hand to make it the controlling terminal.
    const char* tty_name = nullptr;
    // When set, the child starts on the caller's descriptor table (CLONE_FILES)
    // and leaves it keeping only 0-2, then opens its terminal by this path and
    // checks that it is `tty_device`. Copying a table of thousands of
    // descriptors into the child, only for exec to close them, cost a start
    // milliseconds in a program holding many sessions.
    const char* shared_table_tty = nullptr;
    dev_t tty_device = 0;
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

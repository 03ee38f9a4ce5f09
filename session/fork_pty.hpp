// Forking a child with a new pseudo-terminal, and learning whether it became
// the program.
#pragma once

#include <sys/types.h>

#include "os/unique_fd.hpp"
#include "session/before_exec.hpp"

namespace ptypilot::detail {

struct started_child {
    pid_t pid;
    unique_fd master;  // the parent side of the pty
};

// Forks the child on a new pty and returns once it has exec'd the program.
// `native` makes the pty the child's controlling terminal as forkpty would;
// otherwise it is acquired by opening it, with the substitute start's checks.
// A failure in the child (exec, or the controlling terminal) is thrown here,
// after the child has been reaped.
started_child start_child(exec_plan plan, bool native);

}  // namespace ptypilot::detail

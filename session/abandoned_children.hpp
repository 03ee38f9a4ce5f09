// Children that outlived their session, still to be reaped.
#pragma once

#include <sys/types.h>

#include "os/unique_fd.hpp"

namespace ptypilot::detail {

// A released session whose child had not ended yet (a SIGKILL that takes a
// while to tear down a large process, or a child that could not be ended)
// leaves it here: nobody else will wait for it. `pidfd` (empty without one)
// names exactly that child even if someone else reaps it and its pid is
// taken again.
void abandon_child(pid_t pid, unique_fd pidfd) noexcept;

// Reaps, without waiting, the abandoned children that have ended since; each
// start and each release of a session calls it, so none stays a zombie for
// longer than the program goes on using sessions.
void reap_abandoned_children() noexcept;

}  // namespace ptypilot::detail

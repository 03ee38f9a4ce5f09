// Writing to the pty master without the risk of sleeping forever.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string_view>

namespace ptypilot::detail {

// Writes all of `data` to `fd`, waiting for room, but stops as soon as the
// child (whose pidfd is `pidfd`, -1 without one) has ended and the terminal
// takes no more: a writer that sleeps in the kernel when the child's side is
// closed is never woken. Returns the count written, or -1 with errno (EIO
// when the child ended before anything was written). Without a pidfd (no
// child, or a kernel without pidfds) a reader that has gone is EPIPE, never
// SIGPIPE, and a non-blocking descriptor is waited for. A child without a
// pidfd is watched through `ended` instead (empty: no child), asked between
// slices of the wait for room.
ssize_t write_to_child(int fd, int pidfd, std::string_view data, const std::function<bool()>& ended = {});

}  // namespace ptypilot::detail

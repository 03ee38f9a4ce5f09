// The one wait on descriptors: ppoll until they are ready or a deadline
// passes, going on after a signal with the time left.
#pragma once

#include <poll.h>

#include <span>

#include "os/clock.hpp"

namespace ptypilot::detail {

// ppoll's count: above 0 when some are ready (their revents say which), 0
// once `until` has passed (every revents 0), -1 with errno on a failure,
// never EINTR. A deadline without a limit waits until one is ready; one that
// has passed still looks once, without waiting.
int poll_until(std::span<pollfd> fds, const deadline& until) noexcept;

}  // namespace ptypilot::detail

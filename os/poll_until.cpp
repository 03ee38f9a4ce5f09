#include "os/poll_until.hpp"

#include <cerrno>

namespace ptypilot::detail {

int poll_until(std::span<pollfd> fds, const deadline& until) noexcept {
    for (;;) {
        const auto left = until.remaining();
        const timespec ts = to_timespec(left.value_or(0.0));
        const int r = ::ppoll(fds.data(), fds.size(), left ? &ts : nullptr, nullptr);
        if (r >= 0 || errno != EINTR) return r;
    }
}

}  // namespace ptypilot::detail

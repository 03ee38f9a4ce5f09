// Waiting for descriptors, restarted after signals with the remaining time.
//
// poll() stands in for select(): select() cannot watch a descriptor numbered
// FD_SETSIZE (1024) or above, which a process with many sessions reaches.
#include "os/ready_wait.hpp"

#include <poll.h>

#include "os/clock.hpp"
#include "os/system_error.hpp"

namespace ptypilot::detail {

ready_lists select_ready(const std::vector<int>& iwtd, const std::vector<int>& owtd,
                         const std::vector<int>& ewtd, std::optional<double> timeout_) {
    std::vector<pollfd> fds;
    fds.reserve(iwtd.size() + owtd.size() + ewtd.size());
    // select() refuses a bad descriptor, while poll() would silently skip a
    // negative one and wait on the rest.
    auto add = [&](const std::vector<int>& list, short events) {
        for (const int fd : list) {
            if (fd < 0) throw_errno(EBADF);
            fds.push_back(pollfd{fd, events, 0});
        }
    };
    add(iwtd, POLLIN);
    add(owtd, POLLOUT);
    add(ewtd, POLLPRI);

    const double end_time = timeout_ ? now() + *timeout_ : 0.0;
    for (;;) {
        timespec ts = to_timespec(timeout_.value_or(0.0));
        const int n = ::ppoll(fds.data(), fds.size(), timeout_ ? &ts : nullptr, nullptr);
        if (n >= 0) break;
        if (errno != EINTR) throw_errno();
        if (timeout_) {
            *timeout_ = end_time - now();
            if (*timeout_ < 0) return {};
        }
    }

    ready_lists ready;
    std::size_t i = 0;
    // Like select(), count a hung-up or failed descriptor as readable: the
    // read that follows reports what happened.
    for (const int fd : iwtd) {
        const short re = fds[i++].revents;
        if (re & POLLNVAL) throw_errno(EBADF);
        if (re & (POLLIN | POLLHUP | POLLERR)) ready.r.push_back(fd);
    }
    for (const int fd : owtd) {
        const short re = fds[i++].revents;
        if (re & POLLNVAL) throw_errno(EBADF);
        if (re & (POLLOUT | POLLERR | POLLHUP)) ready.w.push_back(fd);
    }
    for (const int fd : ewtd) {
        const short re = fds[i++].revents;
        if (re & POLLNVAL) throw_errno(EBADF);
        if (re & POLLPRI) ready.e.push_back(fd);
    }
    return ready;
}

}  // namespace ptypilot::detail

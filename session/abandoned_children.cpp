#include "session/abandoned_children.hpp"

#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <mutex>
#include <vector>

#include "os/eintr.hpp"

namespace ptypilot::detail {

namespace {

struct abandoned {
    pid_t pid;
    unique_fd pidfd;
};

// Sessions live in any thread. Never destroyed: a session released while
// static objects are being destroyed may still come here.
std::mutex& guard() {
    static auto* const m = new std::mutex;
    return *m;
}
std::vector<abandoned>& children() {
    static auto* const list = new std::vector<abandoned>;
    return *list;
}
std::atomic<bool> any{false};

// Whether the child has been reaped now, or is no longer ours to reap.
bool reaped(const abandoned& child) {
    if (child.pidfd) {
        siginfo_t info{};
        const int r = retry_eintr([&] {
            return ::waitid(P_PIDFD, static_cast<id_t>(child.pidfd.get()), &info, WEXITED | WNOHANG);
        });
        if (r == 0) return info.si_pid != 0;  // 0: still running
        if (errno != EINVAL) return true;     // gone (ECHILD: someone else reaped it)
        // A kernel with pidfds but without this wait: by the pid.
    }
    int status = 0;
    return retry_eintr([&] { return ::waitpid(child.pid, &status, WNOHANG); }) != 0;
}

}  // namespace

void abandon_child(pid_t pid, unique_fd pidfd) noexcept {
    try {
        const std::lock_guard<std::mutex> lock(guard());
        children().push_back({pid, std::move(pidfd)});
        any.store(true);
    } catch (...) {
        // Out of memory: the child stays a zombie, as it would have anyway.
    }
}

void reap_abandoned_children() noexcept {
    if (!any.load()) return;
    const std::lock_guard<std::mutex> lock(guard());
    const int saved = errno;
    auto& list = children();
    list.erase(std::remove_if(list.begin(), list.end(), reaped), list.end());
    any.store(!list.empty());
    errno = saved;
}

}  // namespace ptypilot::detail

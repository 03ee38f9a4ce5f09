// The one way a system call is retried after a signal interrupted it.
#pragma once

#include <cerrno>

namespace ptypilot::detail {

// Calls `call` again for as long as it fails with EINTR. Allocates nothing,
// so the forked child may use it too. Never for close(): on Linux the number
// is gone even when close() reports EINTR.
template <class F>
auto retry_eintr(F&& call) {
    for (;;) {
        auto result = call();
        if (!(result == -1 && errno == EINTR)) return result;
    }
}

}  // namespace ptypilot::detail

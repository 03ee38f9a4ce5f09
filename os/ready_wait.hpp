// Waiting for descriptors, restarted after signals with the remaining time.
#pragma once

#include <optional>
#include <vector>

namespace ptypilot::detail {

// The ready descriptors of each kind.
struct ready_lists {
    std::vector<int> r, w, e;
};

// select() with its meaning (a hung-up descriptor counts as readable, a
// negative or closed one is EBADF) on descriptors of any number. A signal
// restarts the wait with the time left; no value waits without limit.
ready_lists select_ready(const std::vector<int>& iwtd, const std::vector<int>& owtd,
                         const std::vector<int>& ewtd, std::optional<double> timeout);

}  // namespace ptypilot::detail

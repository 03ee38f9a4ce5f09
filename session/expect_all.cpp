// Waiting until every session of a group, or of a list, has an outcome.
#include <ptypilot/session_group.hpp>

#include <algorithm>
#include <stdexcept>

#include "os/clock.hpp"
#include "session/session_group_impl.hpp"

namespace ptypilot {

std::vector<group_outcome> expect_all(session_group& group, std::optional<seconds_value> timeout) {
    session_group::impl& g = *group.impl_;
    const detail::deadline end(
        detail::checked_timeout(timeout ? std::optional<double>(timeout->count()) : std::nullopt));
    std::vector<group_outcome> all;
    bool expired = false;
    while (g.armed > 0) {
        auto left = end.remaining();
        if (left && !(*left > 0)) {
            // Each member still waiting gets one last read, then its time-out.
            if (!expired) g.expire_all();
            expired = true;
            left = 0.0;
        }
        auto got = g.wait(left);
        all.insert(all.end(), std::make_move_iterator(got.begin()), std::make_move_iterator(got.end()));
    }
    return all;
}

std::vector<group_outcome> expect_all(std::span<const expect_target> targets,
                                      std::optional<seconds_value> timeout) {
    session_group group;
    for (std::size_t i = 0; i < targets.size(); ++i) {
        const expect_target& t = targets[i];
        if (t.session == nullptr || !t.searcher)
            throw std::invalid_argument("expect_all(): a target without a session or a strategy");
        // The target's time-out is already in seconds, -1 standing for the session's.
        group.add(i, *t.session, t.searcher,
                  t.timeout ? std::optional<seconds_value>(*t.timeout) : std::nullopt, t.searchwindowsize);
    }
    return expect_all(group, timeout);
}

}  // namespace ptypilot

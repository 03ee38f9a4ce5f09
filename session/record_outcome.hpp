// End of file or a time-out as the outcome of an expect call, shared by the
// stream's and the screen's expect loops.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <variant>

#include <ptypilot/spawn.hpp>

namespace ptypilot::detail {

// Records the outcome in the session's fields; the list position when the
// pattern list named it.
inline std::optional<int> record_outcome(spawn& s, sentinel outcome, int listed_at, std::string before) {
    s.before = std::move(before);
    s.after = outcome;
    if (listed_at >= 0) {
        s.match = outcome;
        s.match_index = listed_at;
        return listed_at;
    }
    s.match = std::monostate{};
    s.match_index.reset();
    return std::nullopt;
}

}  // namespace ptypilot::detail

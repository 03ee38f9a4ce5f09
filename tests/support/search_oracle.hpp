// What a search over a buffer must answer, written straight from the rules
// and as plainly as possible: every pattern searched over the whole buffer;
// the earliest start wins, ties go to the earlier entry, and a match that
// begins at the very end of the buffer does not count. The differential test
// and the search fuzzer both hold the strategies to it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <ptypilot/searcher.hpp>

namespace search_oracle {

struct answer {
    int index = -1;
    std::size_t start = 0;
    std::size_t end = 0;
    // Group spans too: they caught PCRE2 JIT bugs that leave group 0 alone.
    std::vector<ptypilot::match_result::span> groups;

    bool operator==(const answer&) const = default;
};

inline std::ostream& operator<<(std::ostream& os, const answer& a) {
    os << "index " << a.index;
    if (a.index >= 0) {
        os << " at " << a.start << ".." << a.end << " groups";
        for (const auto& [s, e] : a.groups) os << " " << static_cast<long>(s) << ".." << static_cast<long>(e);
    }
    return os;
}

inline answer answer_of(int index, const ptypilot::match_result& m) {
    answer a{index, m.start(), m.end(), {}};
    for (std::size_t g = 0; g < m.size(); ++g) a.groups.emplace_back(m.start(g), m.end(g));
    return a;
}

// A regex search from the window's start (no window: from 0).
inline answer rescan(const std::vector<std::pair<int, ptypilot::regex>>& searches, std::string_view buffer,
                     std::optional<long> window = std::nullopt) {
    const std::size_t n = buffer.size();
    std::size_t searchstart = 0;
    if (window)
        searchstart = *window < 0 ? n + 1 : n - std::min<std::size_t>(n, static_cast<std::size_t>(*window));
    answer best;
    std::size_t first_match = n;
    for (const auto& [index, rx] : searches) {
        if (searchstart > n) continue;
        const auto m = rx.search(buffer, searchstart);
        if (!m || m->start() >= first_match) continue;
        first_match = m->start();
        best = answer_of(index, *m);
    }
    return best;
}

// The plainest substring search: every position from `from`, every string.
inline answer naive_string(const std::vector<std::pair<int, std::string>>& strings, std::string_view buffer,
                           std::size_t from) {
    for (std::size_t pos = from; pos < buffer.size(); ++pos)
        for (const auto& [index, s] : strings)
            if (buffer.size() - pos >= s.size() && buffer.compare(pos, s.size(), s) == 0)
                return answer{index, pos, pos + s.size(), {}};
    return {};
}

}  // namespace search_oracle

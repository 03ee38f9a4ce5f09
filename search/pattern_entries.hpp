// How both search strategies take their pattern list apart.
#pragma once

#include <utility>
#include <variant>
#include <vector>

#include <ptypilot/errors.hpp>

namespace ptypilot::detail {

// The entries that are patterns, each with its list position, in list order.
// A sentinel entry sets `eof_index` or `timeout_index` to its position
// instead; when one is listed twice, its last position counts.
template <class Pattern>
std::vector<std::pair<int, Pattern>> pattern_entries(const std::vector<std::variant<Pattern, sentinel>>& list,
                                                     int& eof_index, int& timeout_index) {
    std::vector<std::pair<int, Pattern>> patterns;
    int n = 0;
    for (const auto& entry : list) {
        if (const auto* s = std::get_if<sentinel>(&entry))
            (*s == sentinel::eof ? eof_index : timeout_index) = n;
        else
            patterns.emplace_back(n, std::get<Pattern>(entry));
        ++n;
    }
    return patterns;
}

}  // namespace ptypilot::detail

// The text that both search strategies render of themselves.
#pragma once

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

namespace ptypilot::detail {

// Lines keyed by list position (the header by -1), sorted by key and joined
// by newlines with none after the last; sentinel lines are added here.
inline std::string describe(std::vector<std::pair<int, std::string>> lines, const char* header, int eof_index,
                            int timeout_index) {
    lines.emplace_back(-1, header);
    if (eof_index >= 0) lines.emplace_back(eof_index, "    " + std::to_string(eof_index) + ": EOF");
    if (timeout_index >= 0)
        lines.emplace_back(timeout_index, "    " + std::to_string(timeout_index) + ": TIMEOUT");
    std::sort(lines.begin(), lines.end());
    std::string out;
    for (const auto& [key, line] : lines) {
        if (!out.empty()) out += '\n';
        out += line;
    }
    return out;
}

}  // namespace ptypilot::detail

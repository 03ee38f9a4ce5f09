// Exact substring search over the received text.
#include <ptypilot/searcher.hpp>

#include "search/pattern_entries.hpp"
#include "search/searcher_description.hpp"

namespace ptypilot {

searcher_string::searcher_string(const std::vector<entry>& strings)
    : _strings(detail::pattern_entries(strings, eof_index, timeout_index)) {}

namespace {

// Where a search with the offset -k begins: k bytes back from the end,
// clamped at 0; and -0 is the absolute offset 0, the whole buffer.
std::size_t back_from_end(std::size_t size, std::size_t k) { return k == 0 || k >= size ? 0 : size - k; }

}  // namespace

int searcher_string::search(std::string_view buffer, std::size_t freshlen,
                            std::optional<long> searchwindowsize) {
    const std::size_t absurd_match = buffer.size();
    std::size_t first_match = absurd_match;
    int best_index = -1;
    const std::string* best_match = nullptr;
    for (const auto& [index, s] : _strings) {
        std::size_t from = 0;
        if (!searchwindowsize) {
            // Fresh text plus len(s) bytes before it: enough to catch a match
            // straddling the old and new text.
            from = back_from_end(buffer.size(), freshlen + s.size());
        } else if (const long w = *searchwindowsize; w >= 0) {
            from = back_from_end(buffer.size(), static_cast<std::size_t>(w));
        } else {
            // A negative window makes a positive, absolute offset: -w, written
            // so that it cannot overflow at LONG_MIN.
            from = static_cast<std::size_t>(-(w + 1)) + 1;
        }
        const std::size_t n = buffer.find(s, from);
        if (n != std::string_view::npos && n < first_match) {
            first_match = n;
            best_index = index;
            best_match = &s;
        }
    }
    if (first_match == absurd_match) return -1;
    match = match_result(*best_match, first_match, {{first_match, first_match + best_match->size()}});
    start = first_match;
    end = first_match + best_match->size();
    return best_index;
}

std::string searcher_string::str() const {
    std::vector<std::pair<int, std::string>> lines;
    for (const auto& [index, s] : _strings)
        lines.emplace_back(index, "    " + std::to_string(index) + ": \"" + s + "\"");
    return detail::describe(std::move(lines), "searcher_string:", eof_index, timeout_index);
}

}  // namespace ptypilot

#include "search/searcher_bytes.hpp"

#include <vector>

#include "search/searcher_description.hpp"

namespace ptypilot::detail {

searcher_bytes::searcher_bytes(std::size_t n, const searcher_re::entry& delimiter)
    : n_(n), delimiter_({delimiter}) {
    // The delimiter is entry 1 of the list; a sentinel there is its outcome.
    if (delimiter_.eof_index == 0) eof_index = 1;
    if (delimiter_.timeout_index == 0) timeout_index = 1;
}

int searcher_bytes::search(std::string_view buffer, std::size_t freshlen,
                           std::optional<long> searchwindowsize) {
    return pick(buffer, searchwindowsize, delimiter_.search(buffer, freshlen, searchwindowsize));
}

int searcher_bytes::search_appended(std::string_view buffer, std::size_t freshlen,
                                    std::optional<long> searchwindowsize) {
    return pick(buffer, searchwindowsize, delimiter_.search_appended(buffer, freshlen, searchwindowsize));
}

int searcher_bytes::pick(std::string_view buffer, std::optional<long> searchwindowsize, int delimiter_index) {
    const std::size_t len = buffer.size();
    // Where a match may start, as for a regex: len - w with a window (past
    // the end for a negative one), 0 without.
    std::size_t from = 0;
    if (searchwindowsize)
        from = *searchwindowsize < 0
                   ? len + 1
                   : len - std::min<std::size_t>(len, static_cast<std::size_t>(*searchwindowsize));
    // n bytes that cannot start at `from` cannot start later either.
    const bool bytes_found = from < len && len - from >= n_;
    const bool delimiter_found = delimiter_index == 0;
    // The earliest start wins; at the same start, the bytes (entry 0) do.
    if (bytes_found && (!delimiter_found || from <= *delimiter_.start)) {
        start = from;
        end = from + n_;
        match = match_result(std::string(buffer.substr(from, n_)), from, {{from, from + n_}});
        return 0;
    }
    if (!delimiter_found) return -1;
    start = delimiter_.start;
    end = delimiter_.end;
    match = delimiter_.match;
    return 1;
}

std::string searcher_bytes::str() const {
    std::vector<std::pair<int, std::string>> lines;
    lines.emplace_back(0, "    0: re.compile(\".{" + std::to_string(n_) + "}\")");
    for (const auto& entry : delimiter_._searches)
        lines.emplace_back(1, "    1: re.compile(\"" + entry.second.pattern() + "\")");
    return describe(std::move(lines), "searcher_re:", eof_index, timeout_index);
}

}  // namespace ptypilot::detail

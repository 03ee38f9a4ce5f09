// The search behind reading n bytes: the first n bytes, or the delimiter if
// it comes first. Counting bytes needs no regex (and a count of more than
// PCRE2's repeat limits could not be written as one).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include <ptypilot/searcher.hpp>

namespace ptypilot::detail {

// Answers like a searcher_re over the list [".{n}" with DOTALL, delimiter].
class searcher_bytes : public search_strategy {
public:
    searcher_bytes(std::size_t n, const searcher_re::entry& delimiter);

    int search(std::string_view buffer, std::size_t freshlen,
               std::optional<long> searchwindowsize = std::nullopt) override;
    int search_appended(std::string_view buffer, std::size_t freshlen,
                        std::optional<long> searchwindowsize = std::nullopt) override;
    std::string str() const override;

private:
    int pick(std::string_view buffer, std::optional<long> searchwindowsize, int delimiter_index);

    std::size_t n_;
    searcher_re delimiter_;
};

}  // namespace ptypilot::detail

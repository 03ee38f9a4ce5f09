// Search strategies: find which entry of a pattern list matches earliest in
// the text received so far.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include <ptypilot/errors.hpp>
#include <ptypilot/regex.hpp>

namespace ptypilot {

class search_strategy {
public:
    virtual ~search_strategy() = default;

    // List position of the winning entry, or -1. `freshlen` is how many bytes
    // at the end of `buffer` arrived since the previous search; a window of
    // no value means the strategy's own window.
    virtual int search(std::string_view buffer, std::size_t freshlen,
                       std::optional<long> searchwindowsize = std::nullopt) = 0;

    // The same answer as search(), for a caller that promises that `buffer`
    // is the buffer of its previous search with `freshlen` bytes appended
    // (what the expect loop does after each read): a strategy may then go on
    // where the previous search stopped instead of starting over.
    virtual int search_appended(std::string_view buffer, std::size_t freshlen,
                                std::optional<long> searchwindowsize = std::nullopt) {
        return search(buffer, freshlen, searchwindowsize);
    }

    // The multi-line description embedded in a session's text dump.
    virtual std::string str() const = 0;

    int eof_index = -1;
    int timeout_index = -1;
    // Absent until the first successful search; only a success writes them.
    std::optional<std::size_t> start;
    std::optional<std::size_t> end;
    // The last match: for plain strings, group 0 is the pattern itself.
    std::optional<match_result> match;
};

// Exact substring search. Without a window each pattern looks only at the
// fresh text and the len(pattern) bytes before it.
class searcher_string : public search_strategy {
public:
    using entry = std::variant<std::string, sentinel>;

    explicit searcher_string(const std::vector<entry>& strings);

    int search(std::string_view buffer, std::size_t freshlen,
               std::optional<long> searchwindowsize = std::nullopt) override;
    std::string str() const override;

    // (list position, pattern) for every entry that is not a sentinel.
    std::vector<std::pair<int, std::string>> _strings;
};

// Regular-expression search. Without a window the result is that of searching
// the whole buffer from offset 0; search_appended() resumes each pattern where
// a match could still begin instead of rescanning from 0.
class searcher_re : public search_strategy {
public:
    using entry = std::variant<regex, sentinel>;

    explicit searcher_re(const std::vector<entry>& patterns);
    ~searcher_re() override;
    searcher_re(searcher_re&&) noexcept;
    searcher_re& operator=(searcher_re&&) noexcept;

    int search(std::string_view buffer, std::size_t freshlen,
               std::optional<long> searchwindowsize = std::nullopt) override;
    int search_appended(std::string_view buffer, std::size_t freshlen,
                        std::optional<long> searchwindowsize = std::nullopt) override;
    std::string str() const override;

    // (list position, compiled expression) for every entry that is not a
    // sentinel.
    std::vector<std::pair<int, regex>> _searches;

    // Diagnostic: the offset in the current buffer before which entry i of
    // _searches is known not to match, however the buffer grows.
    std::size_t resume_offset(std::size_t i) const;

private:
    struct state;
    std::unique_ptr<state> state_;
};

}  // namespace ptypilot

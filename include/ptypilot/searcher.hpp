/// \file
/// Search strategies: find which entry of a pattern list matches earliest in
/// the text received so far.
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
#include <ptypilot/export.hpp>
#include <ptypilot/regex.hpp>

namespace ptypilot {

/// How an expect call looks for its pattern list in the received text. A
/// strategy takes the list apart into its patterns and its sentinels (whose
/// positions it keeps in eof_index and timeout_index) and is asked after
/// every read. Of the matches, the one that starts earliest wins, and of two
/// that start at the same place, the one listed first. spawn::expect_loop()
/// takes any strategy; searcher_string and searcher_re are the two that the
/// expect calls build.
class PTYPILOT_API search_strategy {
public:
    /// Strategies are held and destroyed through pointers to this base.
    virtual ~search_strategy() = default;

    /// List position of the winning entry, or -1. `freshlen` is how many bytes
    /// at the end of `buffer` arrived since the previous search; a window of
    /// no value means the strategy's own window. A success records `start`,
    /// `end` and `match`.
    virtual int search(std::string_view buffer, std::size_t freshlen,
                       std::optional<long> searchwindowsize = std::nullopt) = 0;

    /// The same answer as search(), for a caller that promises that `buffer`
    /// is the buffer of its previous search with `freshlen` bytes appended
    /// (what the expect loop does after each read): a strategy may then go on
    /// where the previous search stopped instead of starting over.
    virtual int search_appended(std::string_view buffer, std::size_t freshlen,
                                std::optional<long> searchwindowsize = std::nullopt) {
        return search(buffer, freshlen, searchwindowsize);
    }

    /// The multi-line description embedded in a session's text dump.
    virtual std::string str() const = 0;

    /// List position of sentinel::eof in the pattern list; -1 when it is not
    /// there. Listed twice, the last position counts.
    int eof_index = -1;
    /// List position of sentinel::timeout in the pattern list; -1 when it is
    /// not there. Listed twice, the last position counts.
    int timeout_index = -1;
    /// Offset in the buffer where the last match starts. Absent until the
    /// first successful search; only a success writes it.
    std::optional<std::size_t> start;
    /// Offset in the buffer just past the end of the last match; absent and
    /// written like `start`.
    std::optional<std::size_t> end;
    /// The last match: for plain strings, group 0 is the pattern itself.
    std::optional<match_result> match;
};

/// Exact substring search. Without a window each pattern looks only at the
/// fresh text and the len(pattern) bytes before it.
class PTYPILOT_API searcher_string : public search_strategy {
public:
    /// An entry of its pattern list: a plain string or a sentinel.
    using entry = std::variant<std::string, sentinel>;

    /// A strategy for the pattern list `strings`.
    explicit searcher_string(const std::vector<entry>& strings);

    /// The earliest occurrence of any string. A `searchwindowsize` w looks
    /// only at the last w bytes of `buffer` (0: all of it).
    int search(std::string_view buffer, std::size_t freshlen,
               std::optional<long> searchwindowsize = std::nullopt) override;
    /// `searcher_string:`, then a line per entry in list order.
    std::string str() const override;

    /// (list position, pattern) for every entry that is not a sentinel.
    std::vector<std::pair<int, std::string>> _strings;
};

/// Regular-expression search. Without a window the result is that of searching
/// the whole buffer from offset 0; search_appended() resumes each pattern where
/// a match could still begin instead of rescanning from 0.
class PTYPILOT_API searcher_re : public search_strategy {
public:
    /// An entry of its pattern list: a compiled regex or a sentinel.
    using entry = std::variant<regex, sentinel>;

    /// A strategy for the pattern list `patterns`; each regex keeps its own flags.
    explicit searcher_re(const std::vector<entry>& patterns);
    /// Frees the state kept between searches.
    ~searcher_re() override;
    /// Moves the patterns and the state kept between searches.
    searcher_re(searcher_re&&) noexcept;
    /// Moves the patterns and the state kept between searches.
    searcher_re& operator=(searcher_re&&) noexcept;

    /// The leftmost match of any pattern, `freshlen` unused. A
    /// `searchwindowsize` w counts only matches that start in the last w bytes
    /// of `buffer` (0: none can).
    int search(std::string_view buffer, std::size_t freshlen,
               std::optional<long> searchwindowsize = std::nullopt) override;
    /// The answer of search(), going on from where each pattern's previous
    /// search left off when `buffer` only grew by `freshlen` bytes.
    int search_appended(std::string_view buffer, std::size_t freshlen,
                        std::optional<long> searchwindowsize = std::nullopt) override;
    /// `searcher_re:`, then a line per entry in list order.
    std::string str() const override;

    /// (list position, compiled expression) for every entry that is not a
    /// sentinel.
    std::vector<std::pair<int, regex>> _searches;

    /// Diagnostic: the offset in the current buffer before which entry i of
    /// _searches is known not to match, however the buffer grows.
    std::size_t resume_offset(std::size_t i) const;

private:
    struct state;
    std::unique_ptr<state> state_;
};

}  // namespace ptypilot

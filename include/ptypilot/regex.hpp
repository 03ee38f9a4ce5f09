// A compiled regular expression over bytes (PCRE2, 8-bit) that keeps its
// source text and flags, and the result of one match.
//
// Patterns are written the way Python users write them: `(?P<name>...)`,
// `(?P=name)`, lookbehind, `\A`, and `\Z` meaning the very end of the text.
// Bytes are bytes: no UTF-8 decoding, and case folding covers ASCII letters
// only.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ptypilot {

namespace detail {
struct regex_code;
}

// Thrown for a pattern that does not compile. what() reads, for example,
//   invalid regular expression "a(b" at offset 3: missing closing parenthesis
class regex_error : public std::invalid_argument {
public:
    regex_error(const std::string& what, std::string pattern, std::size_t offset);
    const std::string& pattern() const noexcept { return pattern_; }
    // Offset in the pattern's source text at which the fault was found.
    std::size_t offset() const noexcept { return offset_; }

private:
    std::string pattern_;
    std::size_t offset_;
};

// One match. It owns a copy of the text it covers, so it stays valid after the
// searched buffer is gone. Asking for a group the pattern does not have throws
// std::out_of_range; a group that exists but took no part has no value.
class match_result {
public:
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);
    using span = std::pair<std::size_t, std::size_t>;

    // Offsets into the searched text; npos for a group that took no part.
    std::size_t start(std::size_t group = 0) const;
    std::size_t end(std::size_t group = 0) const;
    std::optional<std::string> group(std::size_t n = 0) const;
    std::optional<std::string> group(std::string_view name) const;
    std::string str() const { return group(0).value_or(std::string()); }
    // Number of groups, group 0 included.
    std::size_t size() const noexcept { return spans_.size(); }

    match_result() = default;
    // `text` is the searched text from offset `base` on, long enough to cover
    // every span; `code` resolves group names (null: no named groups).
    match_result(std::string text, std::size_t base, std::vector<span> spans,
                 std::shared_ptr<const detail::regex_code> code = nullptr);

private:
    std::string text_;
    std::size_t base_ = 0;
    std::vector<span> spans_;
    std::shared_ptr<const detail::regex_code> code_;
};

// Copies share the compiled program, which is never modified once built, so
// a regex is cheap to copy and may be searched from several threads at once.
class regex {
public:
    enum flag : unsigned {
        none = 0,
        dotall = 1u << 0,      // `.` matches a newline too
        ignorecase = 1u << 1,  // ASCII letters only
        multiline = 1u << 2,   // `^` and `$` at every line
    };

    // Throws regex_error.
    explicit regex(std::string_view pattern, unsigned flags = none);

    // The source text exactly as given.
    const std::string& pattern() const noexcept;
    unsigned flags() const noexcept;

    // Leftmost match that begins at or after `start`, run over the whole
    // subject so that anchors and lookbehind see what lies before `start`.
    // Throws std::runtime_error when the engine gives up (a match or memory
    // limit was hit).
    std::optional<match_result> search(std::string_view subject, std::size_t start = 0) const;

    const std::shared_ptr<const detail::regex_code>& code() const noexcept { return code_; }

private:
    std::shared_ptr<const detail::regex_code> code_;
};

}  // namespace ptypilot

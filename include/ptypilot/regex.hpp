/// \file
/// A compiled regular expression over bytes (PCRE2, 8-bit) that keeps its
/// source text and flags, and the result of one match.
///
/// Patterns are written the way Python users write them: `(?P<name>...)`,
/// `(?P=name)`, lookbehind, `\A`, and `\Z` meaning the very end of the text.
/// Bytes are bytes: no UTF-8 decoding, and case folding covers ASCII letters
/// only.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <ptypilot/export.hpp>

namespace ptypilot {

namespace detail {
struct regex_code;
}

/// Thrown for a pattern that does not compile. what() reads, for example,
/// `invalid regular expression "a(b" at offset 3: missing closing parenthesis`.
class PTYPILOT_API regex_error : public std::invalid_argument {
public:
    /// An error with the text `what` about the source text `pattern`, whose
    /// fault was found at `offset`.
    regex_error(const std::string& what, std::string pattern, std::size_t offset);
    /// The source text of the pattern that did not compile.
    const std::string& pattern() const noexcept { return pattern_; }
    /// Offset in the pattern's source text at which the fault was found.
    std::size_t offset() const noexcept { return offset_; }

private:
    std::string pattern_;
    std::size_t offset_;
};

/// One match. It owns a copy of the text it covers, so it stays valid after the
/// searched buffer is gone. Asking for a group the pattern does not have throws
/// std::out_of_range; a group that exists but took no part has no value.
class PTYPILOT_API match_result {
public:
    /// The offset of a group that took no part.
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);
    /// A group's offsets in the searched text: (start, end), end one past its last byte.
    using span = std::pair<std::size_t, std::size_t>;

    /// Offset into the searched text where `group` (0: the whole match) starts;
    /// npos for a group that took no part.
    std::size_t start(std::size_t group = 0) const;
    /// Offset into the searched text just past the end of `group`; npos for a
    /// group that took no part.
    std::size_t end(std::size_t group = 0) const;
    /// The text of group `n` (0: the whole match); no value when it took no part.
    std::optional<std::string> group(std::size_t n = 0) const;
    /// The text of the group written `(?P<name>...)`; no value when it took no
    /// part (of several groups of that name, the first that took part answers).
    std::optional<std::string> group(std::string_view name) const;
    /// The text of the whole match.
    std::string str() const { return group(0).value_or(std::string()); }
    /// Number of groups, group 0 included.
    std::size_t size() const noexcept { return spans_.size(); }

    /// A result without any group, not even group 0.
    match_result() = default;
    /// A result made of its parts: `spans` holds each group's offsets in the
    /// searched text (group 0 first). `text` is the searched text from offset
    /// `base` on, long enough to cover every span; `code` resolves group names
    /// (null: no named groups).
    match_result(std::string text, std::size_t base, std::vector<span> spans,
                 std::shared_ptr<const detail::regex_code> code = nullptr);

private:
    std::string text_;
    std::size_t base_ = 0;
    std::vector<span> spans_;
    std::shared_ptr<const detail::regex_code> code_;
};

/// A compiled regular expression with its source text and flags (syntax: see
/// the file's description). Copies share the compiled program, which is never
/// modified once built, so a regex is cheap to copy and may be searched from
/// several threads at once.
class PTYPILOT_API regex {
public:
    /// Compile flags, combined with `|`.
    enum flag : unsigned {
        none = 0,              ///< No flag.
        dotall = 1u << 0,      ///< `.` matches a newline too
        ignorecase = 1u << 1,  ///< Case is ignored, for ASCII letters only
        multiline = 1u << 2,   ///< `^` and `$` at every line
    };

    /// Compiles `pattern` with `flags`, a combination of flag values. Throws
    /// regex_error when it does not compile.
    explicit regex(std::string_view pattern, unsigned flags = none);

    /// The source text exactly as given.
    const std::string& pattern() const noexcept;
    /// The flags it was compiled with.
    unsigned flags() const noexcept;

    /// Leftmost match that begins at or after `start`, run over the whole
    /// subject so that anchors and lookbehind see what lies before `start`;
    /// no value when there is none. Throws std::runtime_error when the engine
    /// gives up (a match or memory limit was hit).
    std::optional<match_result> search(std::string_view subject, std::size_t start = 0) const;

    /// The compiled program, shared by every copy (the search strategies use it).
    const std::shared_ptr<const detail::regex_code>& code() const noexcept { return code_; }

private:
    std::shared_ptr<const detail::regex_code> code_;
};

}  // namespace ptypilot

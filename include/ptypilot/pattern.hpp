/// \file
/// What the expect operations look for: an entry of a pattern list is a regex
/// source string, a compiled regex, or one of the two sentinels.
#pragma once

#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <ptypilot/errors.hpp>
#include <ptypilot/export.hpp>
#include <ptypilot/regex.hpp>

namespace ptypilot {

/// One entry of a pattern list for `expect`. A source string is compiled
/// when the call is made, with `.` matching a newline too and, when the
/// session's `ignorecase` is set, ignoring the case of ASCII letters; a
/// compiled regex keeps its own flags.
class PTYPILOT_API pattern {
public:
    /// What an entry holds: a regex source string, a compiled regex or a sentinel.
    using value_type = std::variant<std::string, regex, sentinel>;

    /// A regex source string.
    pattern(const char* source) : value_(std::string(source)) {}
    /// A regex source string.
    pattern(std::string source) : value_(std::move(source)) {}
    /// A regex source string.
    pattern(std::string_view source) : value_(std::string(source)) {}
    /// A compiled regex, which keeps its own flags.
    pattern(regex compiled) : value_(std::move(compiled)) {}
    /// End of file or the time-out as an outcome.
    pattern(sentinel s) : value_(s) {}
    /// The same as sentinel::eof; the error object is not kept.
    pattern(const EOF_&) : value_(sentinel::eof) {}
    /// The same as sentinel::timeout; the error object is not kept.
    pattern(const TIMEOUT&) : value_(sentinel::timeout) {}

    // Out of line: inlined into a caller's push_back of a temporary, the
    // variant's move made g++ 12 at -O2 warn that the string alternative
    // "may be used uninitialized" when a sentinel was the one held (a false
    // positive of its -Wmaybe-uninitialized; the move reads the string only
    // when it is the alternative held).
    /// Copies the entry.
    pattern(const pattern&);
    /// Moves the entry.
    pattern(pattern&&) noexcept;
    /// Copies the entry.
    pattern& operator=(const pattern&);
    /// Moves the entry.
    pattern& operator=(pattern&&) noexcept;
    /// Releases the entry.
    ~pattern();

    /// The entry as it was given.
    const value_type& value() const noexcept { return value_; }
    /// Whether the entry is the sentinel `s`.
    bool is(sentinel s) const noexcept {
        const auto* p = std::get_if<sentinel>(&value_);
        return p != nullptr && *p == s;
    }

private:
    value_type value_;
};

/// A list of patterns: the position of an entry, from 0, is what `expect`
/// returns when that entry is satisfied.
using pattern_list = std::vector<pattern>;

/// How a pattern reads in a session's text dump: a source string as it is, a
/// compiled regex as `re.compile("source")`, a sentinel by its name.
PTYPILOT_API std::string to_string(const pattern& p);

}  // namespace ptypilot

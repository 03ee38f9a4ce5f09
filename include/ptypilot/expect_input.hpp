/// \file
/// What the expect operations accept: one pattern or a list of them, written
/// at the call site as plainly as possible.
#pragma once

#include <concepts>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <ptypilot/errors.hpp>
#include <ptypilot/export.hpp>
#include <ptypilot/pattern.hpp>
#include <ptypilot/searcher.hpp>

namespace ptypilot {

/// What `expect` accepts: one pattern, a list of them, or no value (an empty
/// list, which only end of file or a time-out can end).
class PTYPILOT_API pattern_input {
public:
    /// One pattern, a list of one entry: a regex source string, a compiled
    /// regex or a sentinel.
    template <class T>
    requires std::constructible_from<pattern, T> pattern_input(T&& single)
        : list_{pattern(std::forward<T>(single))} {}
    /// A list written in braces, kinds mixed: `{"ok", "fail(ed)?", sentinel::eof}`.
    pattern_input(std::initializer_list<pattern> list) : list_(list) {}
    /// A pattern list built beforehand.
    pattern_input(pattern_list list) : list_(std::move(list)) {}
    /// Regex source strings, for a list built at run time.
    pattern_input(const std::vector<std::string>& sources) : list_(sources.begin(), sources.end()) {}
    /// Compiled regexes, each keeping its own flags.
    pattern_input(const std::vector<regex>& compiled) : list_(compiled.begin(), compiled.end()) {}
    /// No pattern at all: the empty list.
    pattern_input(std::nullopt_t) {}

    /// The entries, in the order given.
    const pattern_list& list() const noexcept { return list_; }

private:
    pattern_list list_;
};

/// An entry for `expect_exact`: a plain string or a sentinel.
class PTYPILOT_API exact_pattern {
public:
    /// A plain string, found byte for byte.
    exact_pattern(const char* s) : value_(std::string(s)) {}
    /// A plain string, found byte for byte.
    exact_pattern(std::string s) : value_(std::move(s)) {}
    /// A plain string, found byte for byte.
    exact_pattern(std::string_view s) : value_(std::string(s)) {}
    /// End of file or the time-out as an outcome.
    exact_pattern(sentinel s) : value_(s) {}
    /// The same as sentinel::eof; the error object is not kept.
    exact_pattern(const EOF_&) : value_(sentinel::eof) {}
    /// The same as sentinel::timeout; the error object is not kept.
    exact_pattern(const TIMEOUT&) : value_(sentinel::timeout) {}

    /// The entry: the string or the sentinel.
    const searcher_string::entry& value() const noexcept { return value_; }

private:
    searcher_string::entry value_;
};

/// What `expect_exact` accepts: one string or sentinel, or a sequence of them.
class PTYPILOT_API exact_input {
public:
    /// One string or sentinel, a list of one entry.
    template <class T>
    requires std::constructible_from<exact_pattern, T> exact_input(T&& single)
        : list_{exact_pattern(std::forward<T>(single)).value()} {}
    /// A list written in braces, strings and sentinels mixed.
    exact_input(std::initializer_list<exact_pattern> list) { append(list); }
    /// A list built beforehand, strings and sentinels mixed.
    exact_input(const std::vector<exact_pattern>& list) { append(list); }
    /// Plain strings, for a list built at run time.
    exact_input(const std::vector<std::string>& list) : list_(list.begin(), list.end()) {}

    /// The entries, in the order given.
    const std::vector<searcher_string::entry>& list() const noexcept { return list_; }

private:
    template <class Range>
    void append(const Range& list) {
        list_.reserve(list.size());
        for (const auto& p : list) list_.push_back(p.value());
    }
    std::vector<searcher_string::entry> list_;
};

/// Patterns as `expect_list` takes them: compiled, ready to search
/// (spawn::compile_pattern_list() makes them from a pattern_input).
using compiled_pattern_list = std::vector<searcher_re::entry>;

}  // namespace ptypilot

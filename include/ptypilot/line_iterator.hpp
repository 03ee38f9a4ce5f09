/// \file
/// Reading a session's lines with a range-for: the iterator spawn::begin()
/// returns. spawn.hpp brings it along.
#pragma once

#include <cstddef>
#include <iterator>
#include <optional>
#include <string>
#include <utility>

#include <ptypilot/spawn.hpp>

namespace ptypilot {

/// Input iterator over the session's lines, as a range-for over a spawn
/// uses it; each step calls next(), and may wait for output.
class spawn::line_iterator {
public:
    using iterator_category = std::input_iterator_tag;  ///< Each line is read once.
    using value_type = std::string;                     ///< A line, with its line ending.
    using difference_type = std::ptrdiff_t;             ///< Required of an iterator.
    using pointer = const std::string*;                 ///< Pointer to the current line.
    using reference = const std::string&;               ///< The current line.

    /// The end of the lines.
    line_iterator() = default;
    /// At the first line of `s`, read at once (the end when there is none).
    explicit line_iterator(spawn* s) : session_(s) { ++*this; }
    /// The current line, with its line ending.
    reference operator*() const { return line_; }
    /// Pointer to the current line.
    pointer operator->() const { return &line_; }
    /// Reads the next line; after the last it equals the end.
    line_iterator& operator++() {
        auto line = session_->next();
        if (line)
            line_ = std::move(*line);
        else
            session_ = nullptr;
        return *this;
    }
    /// The same as prefix ++ (an input iterator returns nothing here).
    void operator++(int) { ++*this; }
    /// Equal when both are at the end, or both read the same session.
    bool operator==(const line_iterator& other) const { return session_ == other.session_; }

private:
    spawn* session_ = nullptr;
    std::string line_;
};

inline spawn::line_iterator spawn::begin() { return line_iterator(this); }
inline spawn::line_iterator spawn::end() { return line_iterator(); }

}  // namespace ptypilot

// What the expect operations look for: an entry of a pattern list is a regex
// source string, a compiled regex, or one of the two sentinels.
#pragma once

#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <ptypilot/errors.hpp>
#include <ptypilot/regex.hpp>

namespace ptypilot {

class pattern {
public:
    using value_type = std::variant<std::string, regex, sentinel>;

    pattern(const char* source) : value_(std::string(source)) {}
    pattern(std::string source) : value_(std::move(source)) {}
    pattern(std::string_view source) : value_(std::string(source)) {}
    pattern(regex compiled) : value_(std::move(compiled)) {}
    pattern(sentinel s) : value_(s) {}
    pattern(const EOF_&) : value_(sentinel::eof) {}
    pattern(const TIMEOUT&) : value_(sentinel::timeout) {}

    const value_type& value() const noexcept { return value_; }
    bool is(sentinel s) const noexcept {
        const auto* p = std::get_if<sentinel>(&value_);
        return p != nullptr && *p == s;
    }

private:
    value_type value_;
};

using pattern_list = std::vector<pattern>;

// How a pattern reads in a session's text dump.
std::string to_string(const pattern& p);

}  // namespace ptypilot

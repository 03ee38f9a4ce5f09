// How a pattern list entry reads in a session's text dump.
#include <ptypilot/pattern.hpp>

namespace ptypilot {

pattern::pattern(const pattern&) = default;
pattern::pattern(pattern&&) noexcept = default;
pattern& pattern::operator=(const pattern&) = default;
pattern& pattern::operator=(pattern&&) noexcept = default;
pattern::~pattern() = default;

std::string to_string(const pattern& p) {
    struct visitor {
        std::string operator()(const std::string& s) const { return s; }
        std::string operator()(const regex& r) const { return "re.compile(\"" + r.pattern() + "\")"; }
        std::string operator()(sentinel s) const { return to_string(s); }
    };
    return std::visit(visitor{}, p.value());
}

}  // namespace ptypilot

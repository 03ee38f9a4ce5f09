// How many cells libvterm gives a character.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>

struct VTerm;

namespace ptypilot::detail {

// libvterm's own answer, which its screen does not always tell: the
// character (UTF-8, a base with any combining marks) is written at the start
// of a row of a terminal of its own, and the cursor's move is its width.
class char_width {
public:
    char_width() = default;
    ~char_width();
    char_width(const char_width&) = delete;
    char_width& operator=(const char_width&) = delete;

    // 0, 1 or 2.
    int of(std::string_view character);

private:
    VTerm* probe_ = nullptr;  // made when first needed
    std::unordered_map<std::string, int> known_;
};

}  // namespace ptypilot::detail

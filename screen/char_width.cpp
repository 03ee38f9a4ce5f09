#include "screen/char_width.hpp"

#include <vterm.h>

#include <new>

namespace ptypilot::detail {

char_width::~char_width() {
    if (probe_ != nullptr) vterm_free(probe_);
}

int char_width::of(std::string_view character) {
    if (const auto it = known_.find(std::string(character)); it != known_.end()) return it->second;
    if (probe_ == nullptr) {
        probe_ = vterm_new(1, 8);
        if (probe_ == nullptr) throw std::bad_alloc();
        vterm_set_utf8(probe_, 1);
        vterm_state_reset(vterm_obtain_state(probe_), 1);
    }
    const std::string line = "\x1b[H" + std::string(character) + "\x1b[K";
    vterm_input_write(probe_, line.data(), line.size());
    VTermPos pos{};
    vterm_state_get_cursorpos(vterm_obtain_state(probe_), &pos);
    // Output can hold any number of different characters: the answers kept
    // stay few.
    if (known_.size() >= 4096) known_.clear();
    known_.emplace(character, pos.col);
    return pos.col;
}

}  // namespace ptypilot::detail

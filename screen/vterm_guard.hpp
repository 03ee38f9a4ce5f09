// A guard in front of libvterm's parser against output it mishandles.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "screen/char_width.hpp"

namespace ptypilot::detail {

// libvterm 0.1.4 goes wrong on two kinds of control sequence (ESC [ ...) that
// any program can write:
// - it keeps a sequence's parameters in an array of 16 without a bound check,
//   so 16 or more separators write past its memory: the guard drops the
//   separators past the 15th (no program means so many);
// - REP (ESC [ n b, repeat the last character) loops forever when that
//   character has no width, or none was written yet, and can write through
//   a null pointer when it is wide: the guard makes such a REP a sequence
//   libvterm ignores (xterm too repeats nothing in the first two cases; a
//   wide character is then shown once).
// It follows libvterm's parser across the pieces the output comes in, far
// enough to know where sequences and strings begin and end.
class vterm_guard {
public:
    static constexpr int most_separators = 15;

    // With `watch_repeats` false (a parser that draws nothing), only the
    // separators are counted.
    explicit vterm_guard(bool watch_repeats);
    ~vterm_guard();
    vterm_guard(const vterm_guard&) = delete;
    vterm_guard& operator=(const vterm_guard&) = delete;

    // `bytes` as the parser may take them: a view of `bytes` itself when
    // nothing had to change, otherwise of `scratch`. With `restores`, the
    // offsets in the result just after each sequence that may put the cursor
    // back where it was saved (ESC 8, and the CSI h, l and u sequences among
    // which the alternate screen's switches are).
    std::string_view pass(std::string_view bytes, std::string& scratch,
                          std::vector<std::size_t>* restores = nullptr);

    // Whether the parser is between sequences, where a sequence of the
    // screen's own may come in without cutting one of the program's.
    bool at_ground() const noexcept { return state_ == state::text; }
    // The larger bound of the scroll region the program last set (ESC [ t ; b
    // r); 0 when it set none or reset it that way. Never less than libvterm's
    // region (a reset by other means is not followed), which is what counts.
    int scroll_region_extent() const noexcept { return region_extent_; }

private:
    // The states of libvterm's parser that matter here.
    enum class state : unsigned char {
        text,
        escape,
        string,
        string_escape,
        leader,
        parameters,
        intermediates
    };

    void note_text(std::string_view text);
    bool repeat_is_safe();

    bool watch_repeats_;
    state state_ = state::text;
    int separators_ = 0;
    bool plain_ = true;       // no leader and no intermediate byte in this sequence
    int params_[2] = {0, 0};  // the sequence's first two parameters
    int param_index_ = 0;
    int region_extent_ = 0;
    // The last character written as text, as the bytes that encode it; empty
    // before the first.
    std::string last_char_;
    char_width width_;
};

}  // namespace ptypilot::detail

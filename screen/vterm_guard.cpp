// Following libvterm's parser just far enough to keep it out of trouble.
#include "screen/vterm_guard.hpp"

#include <vterm.h>

#include <algorithm>
#include <new>

namespace ptypilot::detail {

vterm_guard::vterm_guard(bool watch_repeats) : watch_repeats_(watch_repeats) {}

vterm_guard::~vterm_guard() = default;

void vterm_guard::note_text(std::string_view text) {
    // The last byte that libvterm draws: controls, NUL and DEL are not text.
    std::size_t end = text.size();
    while (end > 0) {
        const auto c = static_cast<unsigned char>(text[end - 1]);
        if (c >= 0x20 && c != 0x7f) break;
        --end;
    }
    if (end == 0) return;
    // Back to the first byte of that character.
    std::size_t begin = end - 1;
    while (begin > 0 && end - begin < 4 && (static_cast<unsigned char>(text[begin]) & 0xc0) == 0x80) --begin;
    last_char_.assign(text.substr(begin, end - begin));
}

bool vterm_guard::repeat_is_safe() {
    if (last_char_.empty()) return false;
    const auto first = static_cast<unsigned char>(last_char_[0]);
    if (first >= 0x20 && first < 0x7f) return true;
    // Only a narrow character is safe: repeating a wide one, libvterm can
    // draw the last copy half past the row's end, through a null pointer.
    return width_.of(last_char_) == 1;
}

std::string_view vterm_guard::pass(std::string_view bytes, std::string& scratch,
                                   std::vector<std::size_t>* restores) {
    bool copying = false;
    std::size_t kept = 0;  // bytes from here on are still to be copied once copying
    // Notes that the sequence whose final byte was just read (at i - 1) may
    // restore the cursor.
    auto restore_after = [&](std::size_t i) {
        if (restores != nullptr) restores->push_back(copying ? scratch.size() + (i - kept) : i);
    };
    // Replaces the byte just read (at i - 1) by `with`, or drops it.
    auto change_last = [&](std::size_t i, std::string_view with) {
        if (!copying) scratch.clear();
        copying = true;
        scratch.append(bytes.substr(kept, i - 1 - kept));
        scratch.append(with);
        kept = i;
    };
    std::size_t i = 0;
    while (i < bytes.size()) {
        if (state_ == state::text) {
            // Only an ESC begins a sequence; what lies before it is text.
            std::size_t esc = bytes.find('\x1b', i);
            if (esc == std::string_view::npos) esc = bytes.size();
            if (watch_repeats_) note_text(bytes.substr(i, esc - i));
            i = esc;
            if (i == bytes.size()) break;
        }
        const auto c = static_cast<unsigned char>(bytes[i++]);
        if (c == 0x1b) {
            state_ = state_ == state::string ? state::string_escape : state::escape;
            continue;
        }
        if (c == 0x18 || c == 0x1a) {
            state_ = state::text;  // CAN and SUB cancel whatever was begun
            continue;
        }
        if (c < 0x20 || c == 0x7f) {
            // Controls run, and NUL and DEL are skipped, in any state; BEL
            // ends a string.
            if (c == 0x07 && state_ == state::string) state_ = state::text;
            continue;
        }
        if (state_ == state::string) continue;
        if (state_ == state::string_escape) {
            if (c == '\\') {
                state_ = state::text;  // ST
                continue;
            }
            state_ = state::escape;
        }
        if (state_ == state::escape) {
            // Intermediates and bytes of 0x80 and above leave the parser
            // waiting; "[", "P" and "]" begin a sequence or a string
            // whatever came between; anything else ends the escape.
            if (c == '[') {
                state_ = state::leader;
                separators_ = 0;
                plain_ = true;
                params_[0] = params_[1] = 0;
                param_index_ = 0;
            } else if (c == 'P' || c == ']') {
                state_ = state::string;
            } else if (c >= 0x30 && c < 0x80) {
                if (c == '8') restore_after(i);
                state_ = state::text;
            }
            continue;
        }
        if (state_ == state::leader) {
            if (c >= 0x3c && c <= 0x3f) {
                plain_ = false;
                continue;
            }
            state_ = state::parameters;
        }
        if (state_ == state::parameters) {
            if (c >= '0' && c <= '9') {
                if (param_index_ < 2)
                    params_[param_index_] = std::min(params_[param_index_] * 10 + (c - '0'), 99999);
                continue;
            }
            if (c == ';' || c == ':') {
                if (param_index_ < 2) ++param_index_;
                if (separators_ < most_separators)
                    ++separators_;
                else
                    change_last(i, "");
                continue;
            }
            state_ = state::intermediates;
        }
        // Intermediates, then the final byte, which ends the sequence.
        if (c >= 0x20 && c <= 0x2f) {
            plain_ = false;
            continue;
        }
        if (c == 'b' && plain_ && watch_repeats_ && !repeat_is_safe()) change_last(i, "~");
        if (c == 'r' && plain_) region_extent_ = std::max(params_[0], params_[1]);
        if (c == 'h' || c == 'l' || c == 'u') restore_after(i);
        state_ = state::text;
    }
    if (!copying) return bytes;
    scratch.append(bytes.substr(kept));
    return scratch;
}

}  // namespace ptypilot::detail

// Keys, paste and clicks through libvterm's keyboard and mouse.
#include "screen/key_input.hpp"

#include <vterm.h>

#include <memory>
#include <new>
#include <stdexcept>

namespace ptypilot::detail {

namespace {

VTermModifier mods_of(modifiers m) {
    return static_cast<VTermModifier>(static_cast<int>(m) & VTERM_ALL_MODS_MASK);
}

VTermKey vterm_key_of(key k) {
    switch (k) {
        case key::enter: return VTERM_KEY_ENTER;
        case key::tab: return VTERM_KEY_TAB;
        case key::backspace: return VTERM_KEY_BACKSPACE;
        case key::escape: return VTERM_KEY_ESCAPE;
        case key::up: return VTERM_KEY_UP;
        case key::down: return VTERM_KEY_DOWN;
        case key::left: return VTERM_KEY_LEFT;
        case key::right: return VTERM_KEY_RIGHT;
        case key::insert: return VTERM_KEY_INS;
        case key::del: return VTERM_KEY_DEL;
        case key::home: return VTERM_KEY_HOME;
        case key::end: return VTERM_KEY_END;
        case key::page_up: return VTERM_KEY_PAGEUP;
        case key::page_down: return VTERM_KEY_PAGEDOWN;
        default: break;
    }
    const int n = static_cast<int>(k) - static_cast<int>(key::f1) + 1;
    if (n < 1 || n > 12) throw std::invalid_argument("no such key");
    return static_cast<VTermKey>(VTERM_KEY_FUNCTION(n));
}

void append(const char* s, std::size_t len, void* user) { static_cast<std::string*>(user)->append(s, len); }

// A terminal of its own, fresh from a reset: every mode as it starts.
template <class Press>
std::string in_normal_modes(Press press) {
    const std::unique_ptr<VTerm, void (*)(VTerm*)> vt(vterm_new(1, 2), vterm_free);
    if (!vt) throw std::bad_alloc();
    vterm_set_utf8(vt.get(), 1);
    std::string out;
    vterm_output_set_callback(vt.get(), append, &out);
    vterm_state_reset(vterm_obtain_state(vt.get()), 1);
    press(vt.get());
    return out;
}

}  // namespace

void press_key(VTerm* vt, key k, modifiers m) { vterm_keyboard_key(vt, vterm_key_of(k), mods_of(m)); }

void press_character(VTerm* vt, char32_t c, modifiers m) {
    if (c > 0x10ffff || (c >= 0xd800 && c <= 0xdfff)) throw std::invalid_argument("not a Unicode character");
    vterm_keyboard_unichar(vt, c, mods_of(m));
}

void press_paste(VTerm* vt, std::string_view text, std::string& out) {
    // libvterm brackets only when the program asked; the text between goes
    // as it is.
    vterm_keyboard_start_paste(vt);
    out.append(text);
    vterm_keyboard_end_paste(vt);
}

void press_click(VTerm* vt, screen_position at, mouse_button b, modifiers m) {
    vterm_mouse_move(vt, at.row, at.column, mods_of(m));
    vterm_mouse_button(vt, static_cast<int>(b), true, mods_of(m));
    vterm_mouse_button(vt, static_cast<int>(b), false, mods_of(m));
}

std::string normal_key_bytes(key k, modifiers m) {
    return in_normal_modes([&](VTerm* vt) { press_key(vt, k, m); });
}

std::string normal_character_bytes(char32_t c, modifiers m) {
    return in_normal_modes([&](VTerm* vt) { press_character(vt, c, m); });
}

}  // namespace ptypilot::detail

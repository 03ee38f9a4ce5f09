// What a person does at the keyboard and the mouse, encoded by libvterm as
// the program's modes ask for it.
#pragma once

#include <string>
#include <string_view>

#include <ptypilot/keys.hpp>
#include <ptypilot/screen.hpp>

struct VTerm;

namespace ptypilot::detail {

// Each pushes the encoding into libvterm's output, as its keyboard would.
// std::invalid_argument for a code point that is no character.
void press_key(VTerm* vt, key k, modifiers m);
void press_character(VTerm* vt, char32_t c, modifiers m);
void press_paste(VTerm* vt, std::string_view text, std::string& out);
void press_click(VTerm* vt, screen_position at, mouse_button b, modifiers m);

// The encodings of a terminal in its normal modes (cursor and keypad keys
// in the normal mode, no bracketed paste), for a session without a screen.
std::string normal_key_bytes(key k, modifiers m);
std::string normal_character_bytes(char32_t c, modifiers m);

}  // namespace ptypilot::detail

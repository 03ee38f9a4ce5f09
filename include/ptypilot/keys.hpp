/// \file
/// Keys, modifiers and mouse buttons as a person presses them, for sessions
/// and the emulator to encode as the program asked for them.
#pragma once

#include <cstdint>

namespace ptypilot {

/// A key with a name of its own; any other key is the character it types
/// (send_key() takes a char32_t for those).
enum class key : std::uint8_t {
    enter,      ///< Return: "\r".
    tab,        ///< "\t".
    backspace,  ///< DEL (0x7f), as xterm sends it.
    escape,     ///< ESC alone.
    up,         ///< The cursor keys: CSI A in the normal mode, SS3 A in the application mode.
    down,       ///< See `up`.
    left,       ///< See `up`.
    right,      ///< See `up`.
    insert,     ///< Insert: CSI 2 ~.
    del,        ///< Delete: CSI 3 ~ (`delete` is a keyword).
    home,       ///< Home: CSI H, or SS3 H in the application mode.
    end,        ///< End: CSI F, or SS3 F in the application mode.
    page_up,    ///< CSI 5 ~.
    page_down,  ///< CSI 6 ~.
    f1,         ///< The function keys: SS3 P to S for F1 to F4, CSI n ~ for the others.
    f2,         ///< See `f1`.
    f3,         ///< See `f1`.
    f4,         ///< See `f1`.
    f5,         ///< See `f1`.
    f6,         ///< See `f1`.
    f7,         ///< See `f1`.
    f8,         ///< See `f1`.
    f9,         ///< See `f1`.
    f10,        ///< See `f1`.
    f11,        ///< See `f1`.
    f12,        ///< See `f1`.
};

/// Shift, Alt and Ctrl held with a key or a click; combine with `|`.
enum class modifiers : std::uint8_t {
    none = 0,   ///< No modifier.
    shift = 1,  ///< Shift.
    alt = 2,    ///< Alt (Meta): ESC before a character.
    ctrl = 4,   ///< Ctrl: a letter becomes its control character.
};

/// Both sets of modifiers held at once.
constexpr modifiers operator|(modifiers a, modifiers b) noexcept {
    return static_cast<modifiers>(static_cast<std::uint8_t>(a) | static_cast<std::uint8_t>(b));
}

/// A mouse button, as the program's mouse reports number them.
enum class mouse_button : std::uint8_t {
    left = 1,    ///< The first button.
    middle = 2,  ///< The second button.
    right = 3,   ///< The third button.
};

}  // namespace ptypilot

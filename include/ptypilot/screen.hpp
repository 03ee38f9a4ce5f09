/// \file
/// The rendered screen of a terminal: what a person would see after the bytes
/// a program wrote were interpreted, not the bytes themselves.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <ptypilot/export.hpp>
#include <ptypilot/keys.hpp>

namespace ptypilot {

/// The colour of a cell's text or background: the terminal's default, an entry
/// of the 256-colour palette (0-7 the basic colours of SGR 30-37, 8-15 their
/// bright forms of SGR 90-97), or 24-bit RGB.
struct PTYPILOT_API color {
    /// Which of the three a colour is.
    enum class kind : std::uint8_t {
        default_color,  ///< The terminal's default for text or background.
        palette,        ///< An entry of the 256-colour palette: `index`.
        rgb             ///< 24-bit colour: `red`, `green`, `blue`.
    };

    kind type = kind::default_color;  ///< Which kind of colour this is.
    std::uint8_t index = 0;           ///< The palette entry; 0 for the other kinds.
    std::uint8_t red = 0;             ///< Red, 0 unless rgb.
    std::uint8_t green = 0;           ///< Green, 0 unless rgb.
    std::uint8_t blue = 0;            ///< Blue, 0 unless rgb.

    /// Palette entry `i`.
    static constexpr color from_palette(std::uint8_t i) noexcept { return {kind::palette, i, 0, 0, 0}; }
    /// The 24-bit colour (`r`, `g`, `b`).
    static constexpr color from_rgb(std::uint8_t r, std::uint8_t g, std::uint8_t b) noexcept {
        return {kind::rgb, 0, r, g, b};
    }
    /// Whether this is the terminal's default colour.
    constexpr bool is_default() const noexcept { return type == kind::default_color; }
    /// The same kind and the same value.
    friend constexpr bool operator==(const color&, const color&) = default;
};

/// The basic palette entries by name, for comparisons that read well.
namespace colors {
inline constexpr color black = color::from_palette(0);    ///< SGR 30 and 40.
inline constexpr color red = color::from_palette(1);      ///< SGR 31 and 41.
inline constexpr color green = color::from_palette(2);    ///< SGR 32 and 42.
inline constexpr color yellow = color::from_palette(3);   ///< SGR 33 and 43.
inline constexpr color blue = color::from_palette(4);     ///< SGR 34 and 44.
inline constexpr color magenta = color::from_palette(5);  ///< SGR 35 and 45.
inline constexpr color cyan = color::from_palette(6);     ///< SGR 36 and 46.
inline constexpr color white = color::from_palette(7);    ///< SGR 37 and 47.
}  // namespace colors

/// One character cell and how it is drawn.
struct PTYPILOT_API cell {
    /// UTF-8: the character with any combining marks after it; " " for a blank
    /// cell (never written, or erased); "" for the right half of a wide
    /// character, whose text stands in the cell to its left.
    std::string text = " ";
    /// 1; 2 for the left half of a wide character, 0 for its right half.
    int width = 1;
    bool bold = false;       ///< Bold (SGR 1).
    bool italic = false;     ///< Italic (SGR 3).
    bool underline = false;  ///< Underlined: single, double or curly (SGR 4, 21).
    bool blink = false;      ///< Blinking (SGR 5).
    bool reverse = false;    ///< Foreground and background swapped when shown (SGR 7).
    bool strike = false;     ///< Struck through (SGR 9).
    color foreground;        ///< The text's colour, as set (before `reverse`).
    color background;        ///< The background's colour, as set (before `reverse`).

    /// The same text, width, attributes and colours.
    friend bool operator==(const cell&, const cell&) = default;
};

/// A place on the screen, counted from 0: row 0 is the top, column 0 the left.
struct PTYPILOT_API screen_position {
    int row = 0;     ///< From the top, 0 first.
    int column = 0;  ///< From the left, 0 first.
    /// The same row and column.
    friend constexpr bool operator==(const screen_position&, const screen_position&) = default;
};

/// Where a match lies on the screen: the cell of its first character, and the
/// cell just past its last one (on the row of the last character).
struct PTYPILOT_API screen_span {
    screen_position begin;  ///< The cell of the first character.
    screen_position end;    ///< The cell just past the last character.
    /// The same two cells.
    friend constexpr bool operator==(const screen_span&, const screen_span&) = default;
};

/// A snapshot of a screen: `rows` × `columns` cells, row by row. As text, a
/// row is its cells' texts in order, without its trailing blanks, so a wide
/// character appears once and a row left empty reads "".
struct PTYPILOT_API screen_view {
    int rows = 0;                ///< How many rows the screen has.
    int columns = 0;             ///< How many columns the screen has.
    std::vector<cell> cells;     ///< Row by row: `cells[row * columns + column]`.
    screen_position cursor;      ///< Where the cursor is.
    bool cursor_visible = true;  ///< Whether the program shows the cursor.

    /// The cell at `row`, `column`; std::out_of_range outside the screen.
    const cell& at(int row, int column) const;
    /// The cell at `p`; std::out_of_range outside the screen.
    const cell& at(screen_position p) const { return at(p.row, p.column); }
    /// The text of one row; std::out_of_range outside the screen.
    std::string row_text(int row) const;
    /// Every row's text, top to bottom.
    std::vector<std::string> lines() const;
    /// The rows' texts joined by "\n" (none after the last): what expect_screen
    /// searches.
    std::string text() const;
    /// The column of the cell that holds byte `offset` of row_text(row); an
    /// offset at or past the end of that text gives the column just past its
    /// last character.
    int column_at(int row, std::size_t offset) const;
    /// The cell where `needle` first begins on one row, searching row by row
    /// from the top; no value when no row holds it.
    std::optional<screen_position> find(std::string_view needle) const;
};

/// How a session's screen behaves beyond showing the output.
struct PTYPILOT_API screen_options {
    /// Answer the program's terminal queries (cursor position DSR 6n, device
    /// status 5n, primary and secondary device attributes) from the emulator,
    /// as a real terminal would, so that programs that wait for an answer go
    /// on. Off by default: the screen then only watches.
    bool answer_queries = false;
};

namespace detail {
class terminal;
}

/// `c` as a person reads it: "default", "palette(N)" or "#rrggbb".
PTYPILOT_API std::string to_string(const color& c);
/// `c`'s text, in quotes, then what differs from a blank cell: width,
/// attributes and colours ("\"a\" bold fg palette(1)").
PTYPILOT_API std::string to_string(const cell& c);
/// "(row R, column C)".
PTYPILOT_API std::string to_string(const screen_position& p);
/// "(row R, column C) to (row R, column C)".
PTYPILOT_API std::string to_string(const screen_span& s);
/// The size, the cursor, then every row's text on a line of its own.
PTYPILOT_API std::string to_string(const screen_view& v);
/// Writes to_string(c); GoogleTest prints values with it.
PTYPILOT_API std::ostream& operator<<(std::ostream& os, const color& c);
/// Writes to_string(c).
PTYPILOT_API std::ostream& operator<<(std::ostream& os, const cell& c);
/// Writes to_string(p).
PTYPILOT_API std::ostream& operator<<(std::ostream& os, const screen_position& p);
/// Writes to_string(s).
PTYPILOT_API std::ostream& operator<<(std::ostream& os, const screen_span& s);
/// Writes to_string(v).
PTYPILOT_API std::ostream& operator<<(std::ostream& os, const screen_view& v);

/// A terminal emulator on its own: bytes a program wrote go in, the screen it
/// would show comes out. UTF-8 throughout; the alternate screen of full-screen
/// programs is kept apart from the normal one as xterm keeps it; no scrollback
/// (rows scrolled off the top are gone). Answers the emulated terminal would
/// send back (to a cursor position query, say) are dropped unless
/// set_answering() keeps them.
class PTYPILOT_API virtual_terminal {
public:
    /// Rows must lie between 1 and max_side, columns between min_columns and
    /// max_side (std::out_of_range).
    static constexpr int max_side = 1000;
    /// The fewest columns: a wide character must fit on a row.
    static constexpr int min_columns = 2;

    /// A blank screen of `rows` × `columns`, the cursor at the top left.
    virtual_terminal(int rows, int columns);
    /// Releases the emulator.
    ~virtual_terminal();
    /// Takes the other's screen; the one moved from may only be assigned to
    /// or destroyed.
    virtual_terminal(virtual_terminal&&) noexcept;
    /// Takes the other's screen; the one moved from may only be assigned to
    /// or destroyed.
    virtual_terminal& operator=(virtual_terminal&&) noexcept;
    virtual_terminal(const virtual_terminal&) = delete;
    virtual_terminal& operator=(const virtual_terminal&) = delete;

    /// Interprets `bytes` as the next output of the program; a sequence cut
    /// between two calls is taken up where it stopped.
    void feed(std::string_view bytes);
    /// As a terminal window resized by the user: what fits is kept.
    void resize(int rows, int columns);
    /// How many rows the screen has.
    int rows() const noexcept;
    /// How many columns the screen has.
    int columns() const noexcept;

    /// What the screen shows now.
    screen_view view() const;
    /// view().text(), without copying the cells.
    std::string text() const;

    /// The bytes that pressing `k` with `m` sends the program, as the modes
    /// it set ask for them (application cursor keys, keypad mode).
    std::string key_bytes(key k, modifiers m = modifiers::none);
    /// The same for the key that types `character` (a Unicode code point;
    /// std::invalid_argument for one that is no character). Ctrl with a
    /// letter gives its control character; write the letter in lower case.
    std::string key_bytes(char32_t character, modifiers m = modifiers::none);
    /// `text` as a paste sends it: between the bracketed-paste markers when
    /// the program turned bracketed paste on, as it is otherwise.
    std::string paste_bytes(std::string_view text);
    /// A click (press and release) of `button` on the cell `at`, reported as
    /// the program's mouse mode asks; std::logic_error while the program has
    /// not turned mouse reporting on, std::out_of_range off the screen.
    std::string click_bytes(screen_position at, mouse_button button = mouse_button::left,
                            modifiers m = modifiers::none);
    /// Whether the program has turned mouse reporting on.
    bool mouse_reporting() const noexcept;
    /// With `on`, the answers to the program's queries (cursor position DSR
    /// 6n, device status 5n, primary and secondary device attributes) are
    /// kept for take_answers(); off (the start), they are dropped.
    void set_answering(bool on);
    /// The answers kept since the last call, oldest first, for the caller to
    /// send the program.
    std::string take_answers();

private:
    std::unique_ptr<detail::terminal> impl_;
};

/// `bytes` without its terminal escape sequences (CSI, OSC, DCS and the other
/// ESC sequences: colours, cursor motion, titles, bracketed-paste switches).
/// Text and control characters such as "\r", "\n", "\t" and "\b" stay; NUL and
/// DEL, which a terminal ignores, go. An unfinished sequence at the end is
/// dropped.
PTYPILOT_API std::string strip_escapes(std::string_view bytes);

}  // namespace ptypilot

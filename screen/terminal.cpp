// libvterm's screen, and the rendered copy that searching and snapshots read.
#include "screen/terminal.hpp"

#include <vterm.h>

#include <algorithm>
#include <new>
#include <utility>

#include "screen/key_input.hpp"
#include <stdexcept>

namespace ptypilot::detail {

namespace {

// What libvterm puts in the right half of a wide character.
constexpr std::uint32_t wide_continuation = static_cast<std::uint32_t>(-1);

void append_utf8(std::string& out, std::uint32_t c) {
    // libvterm decodes the five- and six-byte forms that UTF-8 no longer has.
    if (c > 0x10ffff) c = 0xfffd;
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xc0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3f));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xe0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
        out += static_cast<char>(0x80 | (c & 0x3f));
    } else {
        out += static_cast<char>(0xf0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3f));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
        out += static_cast<char>(0x80 | (c & 0x3f));
    }
}

color color_of(const VTermColor& c, bool is_default) {
    if (is_default) return {};
    if (VTERM_COLOR_IS_INDEXED(&c)) return color::from_palette(c.indexed.idx);
    return color::from_rgb(c.rgb.red, c.rgb.green, c.rgb.blue);
}

void convert(const VTermScreenCell& in, cell& out) {
    out.text.clear();
    for (int i = 0; i < VTERM_MAX_CHARS_PER_CELL && in.chars[i] != 0; ++i) append_utf8(out.text, in.chars[i]);
    if (out.text.empty()) out.text = " ";
    out.width = static_cast<unsigned char>(in.width);  // libvterm keeps it in a plain char
    out.bold = in.attrs.bold != 0;
    out.italic = in.attrs.italic != 0;
    out.underline = in.attrs.underline != VTERM_UNDERLINE_OFF;
    out.blink = in.attrs.blink != 0;
    out.reverse = in.attrs.reverse != 0;
    out.strike = in.attrs.strike != 0;
    out.foreground = color_of(in.fg, VTERM_COLOR_IS_DEFAULT_FG(&in.fg));
    out.background = color_of(in.bg, VTERM_COLOR_IS_DEFAULT_BG(&in.bg));
}

}  // namespace

struct terminal_callbacks {
    static int damage(VTermRect rect, void* user) {
        static_cast<terminal*>(user)->mark_rows(rect.start_row, rect.end_row);
        return 1;
    }
    static int settermprop(VTermProp prop, VTermValue* value, void* user) {
        if (prop == VTERM_PROP_CURSORVISIBLE)
            static_cast<terminal*>(user)->cursor_visible_ = value->boolean != 0;
        if (prop == VTERM_PROP_MOUSE) static_cast<terminal*>(user)->mouse_ = value->number;
        return 1;
    }
    // Everything libvterm would send the program: the encoding of a key
    // being pressed, or else an answer to one of its queries.
    static void output(const char* bytes, std::size_t length, void* user) {
        auto& t = *static_cast<terminal*>(user);
        if (t.keys_ != nullptr)
            t.keys_->append(bytes, length);
        else if (t.answering_ && t.answers_.size() < most_answers)
            t.answers_.append(bytes, length);
    }
    // A program that floods queries and never reads its input gets no more
    // than this kept for it.
    static constexpr std::size_t most_answers = 4096;
    static constexpr VTermScreenCallbacks table = {
        damage, nullptr, nullptr, settermprop, nullptr, nullptr, nullptr, nullptr,
    };
};

void terminal::check_size(long rows, long columns) {
    // libvterm 0.1.4 writes through a null pointer when a wide character
    // comes to a screen of one column.
    constexpr long most = virtual_terminal::max_side;
    if (rows < 1 || rows > most || columns < virtual_terminal::min_columns || columns > most)
        throw std::out_of_range("the screen's rows must lie between 1 and " + std::to_string(most) +
                                ", its columns between " + std::to_string(virtual_terminal::min_columns) +
                                " and " + std::to_string(most));
}

terminal::terminal(int rows, int columns) {
    check_size(rows, columns);
    vt_ = vterm_new(rows, columns);
    if (vt_ == nullptr) throw std::bad_alloc();
    vterm_set_utf8(vt_, 1);
    vterm_output_set_callback(vt_, terminal_callbacks::output, this);
    screen_ = vterm_obtain_screen(vt_);
    vterm_screen_set_callbacks(screen_, &terminal_callbacks::table, this);
    // Damage is gathered into one rectangle until the next refresh asks for
    // it, instead of a call for every character drawn.
    vterm_screen_set_damage_merge(screen_, VTERM_DAMAGE_SCREEN);
    vterm_screen_enable_altscreen(screen_, 1);
    vterm_screen_reset(screen_, 1);
    shown_.rows = rows;
    shown_.columns = columns;
    reset_copy();
    refresh();
}

terminal::~terminal() { vterm_free(vt_); }

namespace {

// The length of the UTF-8 form that `lead` begins, as libvterm decodes it
// (the five- and six-byte forms included); 0 for a byte that begins none.
std::size_t utf8_length(unsigned char lead) {
    if (lead >= 0xc0 && lead < 0xe0) return 2;
    if (lead >= 0xe0 && lead < 0xf0) return 3;
    if (lead >= 0xf0 && lead < 0xf8) return 4;
    if (lead >= 0xf8 && lead < 0xfc) return 5;
    if (lead >= 0xfc && lead < 0xfe) return 6;
    return 0;
}

bool continuation(unsigned char c) { return (c & 0xc0) == 0x80; }

// How many bytes at the end of `bytes` begin a UTF-8 character that the
// bytes do not finish.
std::size_t unfinished_utf8(std::string_view bytes) {
    std::size_t continuations = 0;
    std::size_t i = bytes.size();
    while (i > 0 && continuations < 5 && continuation(static_cast<unsigned char>(bytes[i - 1]))) {
        --i;
        ++continuations;
    }
    if (i == 0) return 0;
    const std::size_t length = utf8_length(static_cast<unsigned char>(bytes[i - 1]));
    return continuations + 1 < length ? continuations + 1 : 0;
}

// `bytes` as libvterm 0.1.4 may take them. Its UTF-8 decoder takes a code
// point below U+00A0 written in more than one byte (the C1 controls, or an
// overlong form of any control) for a character of width -1, which moves
// the cursor off the screen and, in insert mode, cells out of bounds; and it
// finishes a character across the controls and escape sequences that come
// between its bytes, which makes such code points too. A terminal shows
// nothing for the first and U+FFFD for an unfinished character.
std::string_view sane_utf8(std::string_view bytes, std::string& scratch) {
    const auto is_high = [](char c) { return (c & 0x80) != 0; };
    std::size_t i =
        static_cast<std::size_t>(std::find_if(bytes.begin(), bytes.end(), is_high) - bytes.begin());
    if (i == bytes.size()) return bytes;  // ASCII, as most output is
    // Copied only from the first change on: UTF-8 as terminals mostly get it
    // needs none.
    std::string out;
    std::size_t kept = 0;  // bytes from here on are still to be copied once copying
    const auto change = [&](std::size_t at, std::size_t n, std::string_view with) {
        if (out.empty()) out.reserve(bytes.size());
        out.append(bytes.substr(kept, at - kept));
        out.append(with);
        kept = at + n;
    };
    while (i < bytes.size()) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        const std::size_t length = utf8_length(lead);
        if (length == 0) {
            // ASCII up to the next high byte, or a byte libvterm shows as
            // U+FFFD on its own.
            i = lead < 0x80
                    ? static_cast<std::size_t>(
                          std::find_if(bytes.begin() + static_cast<std::ptrdiff_t>(i), bytes.end(), is_high) -
                          bytes.begin())
                    : i + 1;
            continue;
        }
        std::size_t n = 1;
        std::uint32_t code = lead & (0x7fu >> length);
        while (n < length && i + n < bytes.size() && continuation(static_cast<unsigned char>(bytes[i + n]))) {
            code = (code << 6) | (static_cast<unsigned char>(bytes[i + n]) & 0x3fu);
            ++n;
        }
        if (n < length)
            change(i, n, "\xef\xbf\xbd");  // cut short by what follows
        else if (code < 0xa0)
            change(i, n, "");
        i += n;
    }
    if (kept == 0) return bytes;
    out.append(bytes.substr(kept));
    scratch = std::move(out);
    return scratch;
}

}  // namespace

void terminal::feed(std::string_view bytes) {
    // libvterm 0.1.4 draws U+FFFD for a UTF-8 character split between two
    // writes, as reads from a pty split them: the start of an unfinished one
    // waits here for the rest.
    std::string joined;
    if (!held_.empty()) {
        joined = held_ + std::string(bytes);
        bytes = joined;
        held_.clear();
    }
    const std::size_t unfinished = unfinished_utf8(bytes);
    held_.assign(bytes.substr(bytes.size() - unfinished));
    bytes.remove_suffix(unfinished);
    bytes = sane_utf8(bytes, joined);
    std::string guarded;
    // A cursor saved before the screen lost rows may lie past its last row,
    // and libvterm 0.1.4 puts it back there: once the screen has shrunk, each
    // sequence that may restore it is followed by a look, while the parser
    // is between sequences.
    std::vector<std::size_t> restores;
    bytes = guard_.pass(bytes, guarded, shrunk_ ? &restores : nullptr);
    std::size_t from = 0;
    for (const std::size_t to : restores) {
        vterm_input_write(vt_, bytes.data() + from, to - from);
        from = to;
        keep_cursor_on_screen(false);
    }
    if (from < bytes.size()) vterm_input_write(vt_, bytes.data() + from, bytes.size() - from);
}

void terminal::reset_copy() {
    const auto rows = static_cast<std::size_t>(shown_.rows);
    shown_.cells.assign(rows * static_cast<std::size_t>(shown_.columns), cell{});
    row_text_.assign(rows, std::string());
    row_start_.clear();
    stale_.assign(rows, 1);
    any_stale_ = true;
}

// A sequence of the screen's own. Between two feeds the parser may be in
// the middle of one of the program's sequences: that one is cancelled first
// (its rest then shows as text), a small price for what these avert. Passed
// through the guard, which follows the parser.
void terminal::feed_sequence(const std::string& sequence) {
    std::string own = guard_.at_ground() ? sequence : "\x18" + sequence;
    std::string scratch;
    const std::string_view passed = guard_.pass(own, scratch);
    vterm_input_write(vt_, passed.data(), passed.size());
}

// Moves a cursor that lies off the screen to its nearest place on it. With
// `between_feeds` false the parser is between sequences in the middle of a
// feed, and the move goes straight to it, the guard's place being the feed's
// end.
void terminal::keep_cursor_on_screen(bool between_feeds) {
    VTermPos cursor{};
    vterm_state_get_cursorpos(vterm_obtain_state(vt_), &cursor);
    const int row = std::clamp(cursor.row, 0, shown_.rows - 1);
    const int column = std::clamp(cursor.col, 0, shown_.columns - 1);
    if (row == cursor.row && column == cursor.col) return;
    const std::string move = "\x1b[" + std::to_string(row + 1) + ";" + std::to_string(column + 1) + "H";
    if (between_feeds)
        feed_sequence(move);
    else
        vterm_input_write(vt_, move.data(), move.size());
}

void terminal::resize(int rows, int columns) {
    check_size(rows, columns);
    if (rows == shown_.rows && columns == shown_.columns) return;
    if (rows < shown_.rows || columns < shown_.columns) shrunk_ = true;
    if (rows < guard_.scroll_region_extent()) {
        // libvterm 0.1.4 keeps a scroll region that reaches past the new
        // last row, and then writes past its rows: the region goes back to
        // the whole screen, as xterm's does on a resize. That homes the
        // cursor, which goes back where it was.
        VTermPos cursor{};
        vterm_state_get_cursorpos(vterm_obtain_state(vt_), &cursor);
        feed_sequence("\x1b[r\x1b[" + std::to_string(cursor.row + 1) + ";" + std::to_string(cursor.col + 1) +
                      "H");
    }
    // The copy is sized first: libvterm reports damage while it resizes.
    shown_.rows = rows;
    shown_.columns = columns;
    reset_copy();
    vterm_set_size(vt_, rows, columns);
    // Keeping the lowest written row in sight, libvterm 0.1.4 can move the
    // cursor above the first row, where every later character goes astray.
    keep_cursor_on_screen(true);
    refresh();
}

void terminal::mark_rows(int from, int to) noexcept {
    from = std::max(from, 0);
    to = std::min(to, static_cast<int>(stale_.size()));
    for (int r = from; r < to; ++r) stale_[static_cast<std::size_t>(r)] = 1;
    if (from < to) any_stale_ = true;
}

bool terminal::render_row(int row) {
    bool changed = false;
    cell fresh;
    const std::size_t first = static_cast<std::size_t>(row) * static_cast<std::size_t>(shown_.columns);
    for (int col = 0; col < shown_.columns; ++col) {
        VTermScreenCell in{};
        vterm_screen_get_cell(screen_, VTermPos{row, col}, &in);
        if (in.chars[0] == wide_continuation) {
            const cell* left = col > 0 ? &shown_.cells[first + static_cast<std::size_t>(col) - 1] : nullptr;
            if (left != nullptr && left->width == 2) {
                // Drawn as part of the character to its left, with its attributes.
                fresh = *left;
                fresh.text.clear();
                fresh.width = 0;
            } else {
                // The right half of a character whose left half was deleted
                // (libvterm keeps it): a blank.
                in.chars[0] = 0;
                in.width = 1;
                convert(in, fresh);
            }
        } else {
            convert(in, fresh);
            // libvterm calls any character wide whose right neighbour is the
            // right half of a wide one, even a narrow one written over that
            // one's left half.
            if (fresh.width == 2 && (fresh.text.size() == 1 || widths_.of(fresh.text) != 2)) fresh.width = 1;
        }
        cell& have = shown_.cells[first + static_cast<std::size_t>(col)];
        if (fresh != have) {
            std::swap(have, fresh);
            changed = true;
        }
    }
    if (changed) row_text_[static_cast<std::size_t>(row)] = shown_.row_text(row);
    return changed;
}

void terminal::join_rows() {
    text_.clear();
    row_start_.resize(row_text_.size());
    for (std::size_t r = 0; r < row_text_.size(); ++r) {
        if (r != 0) text_ += '\n';
        row_start_[r] = text_.size();
        text_ += row_text_[r];
    }
}

bool terminal::refresh() {
    vterm_screen_flush_damage(screen_);
    bool changed = false;
    if (any_stale_) {
        for (int r = 0; r < shown_.rows; ++r) {
            if (stale_[static_cast<std::size_t>(r)] == 0) continue;
            stale_[static_cast<std::size_t>(r)] = 0;
            if (render_row(r)) changed = true;
        }
        any_stale_ = false;
        if (changed || row_start_.size() != row_text_.size()) join_rows();
    }
    VTermPos pos{};
    vterm_state_get_cursorpos(vterm_obtain_state(vt_), &pos);
    const screen_position cursor{pos.row, pos.col};
    if (cursor != shown_.cursor || cursor_visible_ != shown_.cursor_visible) {
        shown_.cursor = cursor;
        shown_.cursor_visible = cursor_visible_;
        changed = true;
    }
    return changed;
}

screen_position terminal::position_of(std::size_t offset) const {
    // The row whose text starts last at or before the offset.
    const auto after = std::upper_bound(row_start_.begin(), row_start_.end(), offset);
    const int row = after == row_start_.begin() ? 0 : static_cast<int>(after - row_start_.begin()) - 1;
    return {row, shown_.column_at(row, offset - row_start_[static_cast<std::size_t>(row)])};
}

template <class Press>
std::string terminal::encoded(Press press) {
    std::string out;
    keys_ = &out;
    try {
        press(out);
    } catch (...) {
        keys_ = nullptr;
        throw;
    }
    keys_ = nullptr;
    return out;
}

std::string terminal::key_bytes(key k, modifiers m) {
    return encoded([&](std::string&) { press_key(vt_, k, m); });
}

std::string terminal::character_bytes(char32_t c, modifiers m) {
    return encoded([&](std::string&) { press_character(vt_, c, m); });
}

std::string terminal::paste_bytes(std::string_view text) {
    return encoded([&](std::string& out) { press_paste(vt_, text, out); });
}

std::string terminal::click_bytes(screen_position at, mouse_button b, modifiers m) {
    if (mouse_ == 0) throw std::logic_error("a click: the program has not turned mouse reporting on");
    if (at.row < 0 || at.row >= shown_.rows || at.column < 0 || at.column >= shown_.columns)
        throw std::out_of_range("a click: the cell lies off the screen");
    return encoded([&](std::string&) { press_click(vt_, at, b, m); });
}

void terminal::set_answering(bool on) noexcept {
    answering_ = on;
    if (!on) answers_.clear();
}

std::string terminal::take_answers() { return std::exchange(answers_, std::string()); }

}  // namespace ptypilot::detail

// libvterm's screen, and the rendered copy that searching and snapshots read.
#include "screen/terminal.hpp"

#include <vterm.h>

#include <algorithm>
#include <new>
#include <stdexcept>

namespace ptypilot::detail {

namespace {

// What libvterm puts in the right half of a wide character.
constexpr std::uint32_t wide_continuation = static_cast<std::uint32_t>(-1);

void append_utf8(std::string& out, std::uint32_t c) {
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
    out.width = in.width;
    out.bold = in.attrs.bold != 0;
    out.italic = in.attrs.italic != 0;
    out.underline = in.attrs.underline != VTERM_UNDERLINE_OFF;
    out.blink = in.attrs.blink != 0;
    out.reverse = in.attrs.reverse != 0;
    out.strike = in.attrs.strike != 0;
    out.foreground = color_of(in.fg, VTERM_COLOR_IS_DEFAULT_FG(&in.fg));
    out.background = color_of(in.bg, VTERM_COLOR_IS_DEFAULT_BG(&in.bg));
}

// Replies the terminal would send to the program (to a query of the cursor's
// place, say): the emulator only watches, so they go nowhere.
void drop_output(const char*, std::size_t, void*) {}

}  // namespace

struct terminal_callbacks {
    static int damage(VTermRect rect, void* user) {
        static_cast<terminal*>(user)->mark_rows(rect.start_row, rect.end_row);
        return 1;
    }
    static int settermprop(VTermProp prop, VTermValue* value, void* user) {
        if (prop == VTERM_PROP_CURSORVISIBLE)
            static_cast<terminal*>(user)->cursor_visible_ = value->boolean != 0;
        return 1;
    }
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
    vterm_output_set_callback(vt_, drop_output, nullptr);
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

// How many bytes at the end of `bytes` begin a UTF-8 character that the
// bytes do not finish.
std::size_t unfinished_utf8(std::string_view bytes) {
    std::size_t continuations = 0;
    std::size_t i = bytes.size();
    while (i > 0 && continuations < 3 && (static_cast<unsigned char>(bytes[i - 1]) & 0xc0) == 0x80) {
        --i;
        ++continuations;
    }
    if (i == 0) return 0;
    const auto lead = static_cast<unsigned char>(bytes[i - 1]);
    const std::size_t length = lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : lead >= 0xc0 ? 2 : 1;
    return continuations + 1 < length ? continuations + 1 : 0;
}

// Whether the UTF-8 character at `i` is U+0080 to U+009F, a C1 control.
bool c1_at(std::string_view bytes, std::size_t i) {
    if (i + 1 >= bytes.size() || bytes[i] != '\xc2') return false;
    const auto next = static_cast<unsigned char>(bytes[i + 1]);
    return next >= 0x80 && next < 0xa0;
}

// `bytes` without the C1 controls written as UTF-8 characters: libvterm 0.1.4
// takes them for characters of width -1 and, in insert mode, moves cells by
// that width out of bounds. A terminal shows nothing for them.
std::string_view without_c1(std::string_view bytes, std::string& scratch) {
    std::size_t at = bytes.find('\xc2');
    while (at != std::string_view::npos && !c1_at(bytes, at)) at = bytes.find('\xc2', at + 1);
    if (at == std::string_view::npos) return bytes;
    std::string kept(bytes.substr(0, at));
    for (std::size_t i = at; i < bytes.size(); ++i) {
        if (c1_at(bytes, i))
            ++i;
        else
            kept += bytes[i];
    }
    scratch = std::move(kept);
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
    bytes = without_c1(bytes, joined);
    std::string guarded;
    bytes = guard_.pass(bytes, guarded);
    if (!bytes.empty()) vterm_input_write(vt_, bytes.data(), bytes.size());
}

void terminal::reset_copy() {
    const auto rows = static_cast<std::size_t>(shown_.rows);
    shown_.cells.assign(rows * static_cast<std::size_t>(shown_.columns), cell{});
    row_text_.assign(rows, std::string());
    row_start_.clear();
    stale_.assign(rows, 1);
    any_stale_ = true;
}

void terminal::resize(int rows, int columns) {
    check_size(rows, columns);
    if (rows == shown_.rows && columns == shown_.columns) return;
    // The copy is sized first: libvterm reports damage while it resizes.
    shown_.rows = rows;
    shown_.columns = columns;
    reset_copy();
    vterm_set_size(vt_, rows, columns);
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
        if (in.chars[0] == wide_continuation && col > 0) {
            // Drawn as part of the character to its left, with its attributes.
            fresh = shown_.cells[first + static_cast<std::size_t>(col) - 1];
            fresh.text.clear();
            fresh.width = 0;
        } else {
            convert(in, fresh);
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

}  // namespace ptypilot::detail

// The emulator behind every screen: libvterm's screen layer, and a rendered
// copy of it brought up to date only when someone looks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <ptypilot/keys.hpp>
#include <ptypilot/screen.hpp>

#include "screen/char_width.hpp"
#include "screen/vterm_guard.hpp"

struct VTerm;
struct VTermScreen;

namespace ptypilot::detail {

class terminal {
public:
    terminal(int rows, int columns);
    ~terminal();
    terminal(const terminal&) = delete;
    terminal& operator=(const terminal&) = delete;

    // std::out_of_range for a size virtual_terminal does not take.
    static void check_size(long rows, long columns);

    // Costs the emulator's work and nothing more: the rendered copy is only
    // brought up to date by refresh().
    void feed(std::string_view bytes);
    void resize(int rows, int columns);
    int rows() const noexcept { return shown_.rows; }
    int columns() const noexcept { return shown_.columns; }

    // Brings the rendered copy up to date; true when what the screen shows
    // (a cell, the cursor's place or visibility) differs from what the copy
    // showed before.
    bool refresh();

    // The rendered copy as of the last refresh().
    const screen_view& view() const noexcept { return shown_; }
    const std::string& text() const noexcept { return text_; }
    // The cell of the character at byte `offset` of text(); an offset at the
    // end of a row's text gives the cell just past its last character.
    screen_position position_of(std::size_t offset) const;

    // The bytes a person's keys, paste and click send the program, as its
    // modes ask for them.
    std::string key_bytes(key k, modifiers m);
    std::string character_bytes(char32_t c, modifiers m);
    std::string paste_bytes(std::string_view text);
    // std::logic_error while the program has not turned mouse reporting on,
    // std::out_of_range for a cell off the screen.
    std::string click_bytes(screen_position at, mouse_button b, modifiers m);
    bool mouse_reporting() const noexcept { return mouse_ != 0; }

    // With answering on, the answers libvterm gives the program's queries
    // (cursor position, device status and attributes) are kept for
    // take_answers(); otherwise they are dropped.
    void set_answering(bool on) noexcept;
    bool answering() const noexcept { return answering_; }
    std::string take_answers();
    bool has_answers() const noexcept { return !answers_.empty(); }

private:
    void mark_rows(int from, int to) noexcept;
    void feed_sequence(const std::string& sequence);
    void keep_cursor_on_screen(bool between_feeds);
    void reset_copy();
    bool render_row(int row);
    void join_rows();
    template <class Press>
    std::string encoded(Press press);

    VTerm* vt_ = nullptr;
    VTermScreen* screen_ = nullptr;
    screen_view shown_;
    std::vector<std::string> row_text_;
    std::vector<std::size_t> row_start_;  // offset of each row's text in text_
    std::string text_;
    std::string held_;  // the start of a UTF-8 character the last feed did not finish
    vterm_guard guard_{true};
    char_width widths_;
    std::vector<std::uint8_t> stale_;  // rows the emulator touched since the last refresh
    bool any_stale_ = true;
    bool cursor_visible_ = true;  // as the program last set it
    bool shrunk_ = false;         // the screen has lost rows or columns since it was made
    int mouse_ = 0;               // the mouse reporting the program asked for, as libvterm numbers it
    bool answering_ = false;
    std::string answers_;
    std::string* keys_ = nullptr;  // where libvterm's output goes while a key is encoded

    friend struct terminal_callbacks;
};

}  // namespace ptypilot::detail

/// \file
/// A screen as a picture: plain text, ANSI text that draws it again, SVG, and
/// a self-contained HTML page; and golden screens for tests.
#pragma once

#include <string>

#include <ptypilot/export.hpp>
#include <ptypilot/screen.hpp>

namespace ptypilot {

/// Every row's text (screen_view::lines()), each ending in "\n".
PTYPILOT_API std::string to_text(const screen_view& v);
/// Text with SGR sequences that, written to a blank terminal of the same
/// size, draws the same cells (text, attributes, colours) and puts the
/// cursor where it was, shown or hidden.
PTYPILOT_API std::string to_ansi(const screen_view& v);
/// An SVG image of the screen: one cell is 10 by 20 pixels, text in a
/// monospace font, light grey on black by default, the palette as xterm's,
/// attributes as drawn (bold, italic, underline, strike, reverse; blink as
/// shown), wide characters over two cells, the cursor as a light block
/// under its cell when shown.
PTYPILOT_API std::string to_svg(const screen_view& v);
/// A complete HTML page that needs nothing else: the SVG image inline.
PTYPILOT_API std::string to_html(const screen_view& v);

/// What compare_with_snapshot() looks at.
struct PTYPILOT_API snapshot_options {
    /// Besides the text, the cells that differ from a blank one (attributes
    /// and colours), one run of alike cells a line.
    bool attributes = false;
};

/// The snapshot form of `v`: to_text(v), and with `attributes` a line
/// "R:C-C <cell>" for each run of alike cells of a row that differ from a
/// blank one.
PTYPILOT_API std::string snapshot_of(const screen_view& v, const snapshot_options& options = {});

/// Compares snapshot_of(v, options) with the snapshot stored at `path`: ""
/// when they are the same, otherwise a readable diff, line by line ("-"
/// stored, "+" now); a missing file is a mismatch. With the environment
/// variable PTYPILOT_UPDATE_SNAPSHOTS set to a non-empty value the snapshot
/// is written to `path` instead, and "" returned. Throws std::system_error
/// when it cannot be written.
PTYPILOT_API std::string compare_with_snapshot(const screen_view& v, const std::string& path,
                                               const snapshot_options& options = {});

}  // namespace ptypilot

// A screen drawn again: as ANSI text for a terminal, as SVG and HTML for a
// browser.
#include <ptypilot/screen_picture.hpp>

#include <cstdio>

namespace ptypilot {

namespace {

const cell blank;

bool same_look(const cell& a, const cell& b) {
    return a.bold == b.bold && a.italic == b.italic && a.underline == b.underline && a.blink == b.blink &&
           a.reverse == b.reverse && a.strike == b.strike && a.foreground == b.foreground &&
           a.background == b.background;
}

void add_color(std::string& sgr, const color& c, int base) {
    if (c.is_default()) return;
    if (c.type == color::kind::palette && c.index < 8)
        sgr += ";" + std::to_string(base + c.index);
    else if (c.type == color::kind::palette && c.index < 16)
        sgr += ";" + std::to_string(base + 60 + c.index - 8);
    else if (c.type == color::kind::palette)
        sgr += ";" + std::to_string(base + 8) + ";5;" + std::to_string(c.index);
    else
        sgr += ";" + std::to_string(base + 8) + ";2;" + std::to_string(c.red) + ";" +
               std::to_string(c.green) + ";" + std::to_string(c.blue);
}

// The SGR sequence that sets the look of `c` from nothing.
std::string sgr_of(const cell& c) {
    std::string sgr = "\x1b[0";
    const std::pair<bool, const char*> flags[] = {{c.bold, ";1"},  {c.italic, ";3"},  {c.underline, ";4"},
                                                  {c.blink, ";5"}, {c.reverse, ";7"}, {c.strike, ";9"}};
    for (const auto& [on, code] : flags)
        if (on) sgr += code;
    add_color(sgr, c.foreground, 30);
    add_color(sgr, c.background, 40);
    return sgr + "m";
}

const cell& at(const screen_view& v, int row, int column) {
    return v.cells[static_cast<std::size_t>(row) * static_cast<std::size_t>(v.columns) +
                   static_cast<std::size_t>(column)];
}

// xterm's palette: the 16 basic colours, a 6x6x6 cube, 24 greys.
std::string rgb_of(const color& c, bool foreground) {
    char out[8];
    if (c.type == color::kind::rgb) {
        std::snprintf(out, sizeof out, "#%02x%02x%02x", c.red, c.green, c.blue);
        return out;
    }
    if (c.is_default()) return foreground ? "#d0d0d0" : "#000000";
    static const char* const basic[16] = {"#000000", "#cd0000", "#00cd00", "#cdcd00", "#0000ee", "#cd00cd",
                                          "#00cdcd", "#e5e5e5", "#7f7f7f", "#ff0000", "#00ff00", "#ffff00",
                                          "#5c5cff", "#ff00ff", "#00ffff", "#ffffff"};
    if (c.index < 16) return basic[c.index];
    int r = 0, g = 0, b = 0;
    if (c.index < 232) {
        const int i = c.index - 16;
        auto level = [](int n) { return n == 0 ? 0 : 55 + 40 * n; };
        r = level(i / 36);
        g = level(i / 6 % 6);
        b = level(i % 6);
    } else {
        r = g = b = 8 + 10 * (c.index - 232);
    }
    std::snprintf(out, sizeof out, "#%02x%02x%02x", r, g, b);
    return out;
}

void append_escaped(std::string& out, const std::string& text) {
    for (const char ch : text) {
        switch (ch) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            default: out += ch;
        }
    }
}

constexpr int cell_width = 10;
constexpr int cell_height = 20;

}  // namespace

std::string to_text(const screen_view& v) {
    std::string out;
    for (int r = 0; r < v.rows; ++r) out += v.row_text(r) + "\n";
    return out;
}

std::string to_ansi(const screen_view& v) {
    std::string out = "\x1b[0m";
    const cell* look = &blank;
    for (int r = 0; r < v.rows; ++r) {
        if (r != 0) out += "\r\n";
        // Blanks that look like blanks at the end of a row need no drawing.
        int end = v.columns;
        while (end > 0 && at(v, r, end - 1) == blank) --end;
        for (int c = 0; c < end; ++c) {
            const cell& here = at(v, r, c);
            if (here.width == 0) continue;  // drawn with its left half
            if (!same_look(here, *look)) {
                out += sgr_of(here);
                look = &here;
            }
            out += here.text;
        }
    }
    out +=
        "\x1b[0m\x1b[" + std::to_string(v.cursor.row + 1) + ";" + std::to_string(v.cursor.column + 1) + "H";
    out += v.cursor_visible ? "\x1b[?25h" : "\x1b[?25l";
    return out;
}

std::string to_svg(const screen_view& v) {
    const int width = v.columns * cell_width;
    const int height = v.rows * cell_height;
    std::string out = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + std::to_string(width) +
                      "\" height=\"" + std::to_string(height) + "\" viewBox=\"0 0 " + std::to_string(width) +
                      " " + std::to_string(height) + "\" font-family=\"monospace\" font-size=\"16\">\n";
    out += "<rect width=\"100%\" height=\"100%\" fill=\"" + rgb_of({}, false) + "\"/>\n";
    for (int r = 0; r < v.rows; ++r) {
        for (int c = 0; c < v.columns; ++c) {
            const cell& here = at(v, r, c);
            if (here.width == 0) continue;
            const int span = here.width == 2 ? 2 : 1;
            std::string fg = rgb_of(here.foreground, true);
            std::string bg = rgb_of(here.background, false);
            if (here.reverse) std::swap(fg, bg);
            const bool cursor = v.cursor_visible && v.cursor.row == r && v.cursor.column == c;
            if (cursor) {
                fg = bg;
                bg = rgb_of({}, true);
            }
            const std::string x = std::to_string(c * cell_width);
            const std::string y = std::to_string(r * cell_height);
            if (bg != rgb_of({}, false) || cursor)
                out += "<rect x=\"" + x + "\" y=\"" + y + "\" width=\"" + std::to_string(span * cell_width) +
                       "\" height=\"" + std::to_string(cell_height) + "\" fill=\"" + bg + "\"/>\n";
            if (here.text == " ") continue;
            out += "<text x=\"" + x + "\" y=\"" + std::to_string(r * cell_height + 15) + "\" fill=\"" + fg +
                   "\" textLength=\"" + std::to_string(span * cell_width) +
                   "\" lengthAdjust=\"spacingAndGlyphs\"";
            if (here.bold) out += " font-weight=\"bold\"";
            if (here.italic) out += " font-style=\"italic\"";
            if (here.underline || here.strike)
                out += std::string(" text-decoration=\"") + (here.underline ? "underline" : "") +
                       (here.underline && here.strike ? " " : "") + (here.strike ? "line-through" : "") +
                       "\"";
            out += ">";
            append_escaped(out, here.text);
            out += "</text>\n";
        }
    }
    return out + "</svg>\n";
}

std::string to_html(const screen_view& v) {
    return "<!DOCTYPE html>\n<html>\n<head>\n<meta charset=\"utf-8\">\n<title>screen " +
           std::to_string(v.rows) + "x" + std::to_string(v.columns) +
           "</title>\n<style>html,body{margin:0;padding:0;background:#000000}svg{display:block}</style>\n"
           "</head>\n<body>\n" +
           to_svg(v) + "</body>\n</html>\n";
}

}  // namespace ptypilot

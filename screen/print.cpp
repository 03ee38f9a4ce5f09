// The screen's values as text, for messages and GoogleTest's output.
#include <ostream>

#include <ptypilot/screen.hpp>

namespace ptypilot {

std::string to_string(const color& c) {
    if (c.type == color::kind::palette) return "palette(" + std::to_string(c.index) + ")";
    if (c.type == color::kind::rgb) {
        static const char digits[] = "0123456789abcdef";
        std::string out = "#";
        for (const std::uint8_t v : {c.red, c.green, c.blue}) {
            out += digits[v >> 4];
            out += digits[v & 15];
        }
        return out;
    }
    return "default";
}

std::string to_string(const cell& c) {
    std::string out = "\"" + c.text + "\"";
    if (c.width != 1) out += " width " + std::to_string(c.width);
    const std::pair<bool, const char*> flags[] = {{c.bold, " bold"},           {c.italic, " italic"},
                                                  {c.underline, " underline"}, {c.blink, " blink"},
                                                  {c.reverse, " reverse"},     {c.strike, " strike"}};
    for (const auto& [on, name] : flags)
        if (on) out += name;
    if (!c.foreground.is_default()) out += " fg " + to_string(c.foreground);
    if (!c.background.is_default()) out += " bg " + to_string(c.background);
    return out;
}

std::string to_string(const screen_position& p) {
    return "(row " + std::to_string(p.row) + ", column " + std::to_string(p.column) + ")";
}

std::string to_string(const screen_span& s) { return to_string(s.begin) + " to " + to_string(s.end); }

std::string to_string(const screen_view& v) {
    std::string out = "screen " + std::to_string(v.rows) + "x" + std::to_string(v.columns) + ", cursor " +
                      to_string(v.cursor) + (v.cursor_visible ? "" : " hidden") + ":";
    for (int r = 0; r < v.rows; ++r) out += "\n" + v.row_text(r);
    return out;
}

std::ostream& operator<<(std::ostream& os, const color& c) { return os << to_string(c); }
std::ostream& operator<<(std::ostream& os, const cell& c) { return os << to_string(c); }
std::ostream& operator<<(std::ostream& os, const screen_position& p) { return os << to_string(p); }
std::ostream& operator<<(std::ostream& os, const screen_span& s) { return os << to_string(s); }
std::ostream& operator<<(std::ostream& os, const screen_view& v) { return os << to_string(v); }

}  // namespace ptypilot

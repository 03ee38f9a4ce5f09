// The snapshot's accessors: cells, rows as text, and searching them.
#include <ptypilot/screen.hpp>

#include <stdexcept>

namespace ptypilot {

namespace {

void check_row(const screen_view& v, int row) {
    if (row < 0 || row >= v.rows) throw std::out_of_range("screen_view: no row " + std::to_string(row));
}

}  // namespace

const cell& screen_view::at(int row, int column) const {
    check_row(*this, row);
    if (column < 0 || column >= columns)
        throw std::out_of_range("screen_view: no column " + std::to_string(column));
    return cells[static_cast<std::size_t>(row) * static_cast<std::size_t>(columns) +
                 static_cast<std::size_t>(column)];
}

std::string screen_view::row_text(int row) const {
    check_row(*this, row);
    std::string text;
    const std::size_t first = static_cast<std::size_t>(row) * static_cast<std::size_t>(columns);
    for (std::size_t c = 0; c < static_cast<std::size_t>(columns); ++c) text += cells[first + c].text;
    text.erase(text.find_last_not_of(' ') + 1);
    return text;
}

std::vector<std::string> screen_view::lines() const {
    std::vector<std::string> out;
    out.reserve(static_cast<std::size_t>(rows));
    for (int r = 0; r < rows; ++r) out.push_back(row_text(r));
    return out;
}

std::string screen_view::text() const {
    std::string out;
    for (int r = 0; r < rows; ++r) {
        if (r != 0) out += '\n';
        out += row_text(r);
    }
    return out;
}

int screen_view::column_at(int row, std::size_t offset) const {
    check_row(*this, row);
    const std::size_t first = static_cast<std::size_t>(row) * static_cast<std::size_t>(columns);
    const std::size_t text_end = row_text(row).size();
    std::size_t at = 0;
    int c = 0;
    // The right half of a wide character holds no text, so an offset inside
    // the character lands on its left half.
    for (; c < columns && at < text_end; ++c) {
        at += cells[first + static_cast<std::size_t>(c)].text.size();
        if (offset < at) return c;
    }
    // Past a wide character that ends the text: past its right half too.
    while (c < columns && cells[first + static_cast<std::size_t>(c)].width == 0) ++c;
    return c;
}

std::optional<screen_position> screen_view::find(std::string_view needle) const {
    for (int r = 0; r < rows; ++r) {
        const std::size_t at = row_text(r).find(needle);
        if (at != std::string::npos) return screen_position{r, column_at(r, at)};
    }
    return std::nullopt;
}

}  // namespace ptypilot

// Reading a session like a file of lines, on top of the expect loop.
#include <ptypilot/spawn.hpp>

namespace ptypilot {

namespace {

// PCRE2 caps a counted repeat at 65535, so longer counts are nested. Its
// shortcut that skips start positions too near the end is capped the same
// way, so the nested form is anchored where the search starts: a run of n
// bytes that cannot start there cannot start any later either.
std::string exactly_n_bytes(long size) {
    constexpr long cap = 65535;
    if (size <= cap) return ".{" + std::to_string(size) + "}";
    std::string source = "\\G(?:.{" + std::to_string(cap) + "}){" + std::to_string(size / cap) + "}";
    if (size % cap != 0) source += ".{" + std::to_string(size % cap) + "}";
    return source;
}

}  // namespace

std::string spawn::read(long size) {
    if (size == 0) return {};
    if (size < 0) {
        expect(delimiter);
        return *before;
    }
    const regex n_bytes(exactly_n_bytes(size), regex::dotall);
    if (expect({n_bytes, delimiter}) == 0) return std::get<std::string>(after);
    return *before;
}

std::string spawn::readline(long size) {
    if (size == 0) return {};
    if (expect({"\r\n", delimiter}) == 0) return *before + "\r\n";
    return *before;
}

std::vector<std::string> spawn::readlines(long) {
    std::vector<std::string> lines;
    try {
        for (;;) {
            std::string line = readline();
            if (line.empty()) return lines;
            lines.push_back(std::move(line));
        }
    } catch (...) {
        // The lines gathered so far have left the buffer; put them back so
        // that the error loses nothing a later read could return.
        std::string restored;
        for (const auto& line : lines) restored += line;
        buffer.insert(0, restored);
        throw;
    }
}

std::optional<std::string> spawn::next() {
    std::string line = readline();
    if (line.empty()) return std::nullopt;
    return line;
}

}  // namespace ptypilot

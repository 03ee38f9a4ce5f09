// Reading a session like a file of lines, on top of the expect loop.
#include <ptypilot/spawn.hpp>

#include "search/searcher_bytes.hpp"

namespace ptypilot {

std::string spawn::read(long size) {
    if (size == 0) return {};
    if (size < 0) {
        expect(delimiter);
        return *before;
    }
    // Counted from the start of the buffer, whatever search window the
    // session keeps for its expect calls: the bytes before a window's start
    // would be lost to `before`.
    const auto until = std::make_shared<detail::searcher_bytes>(static_cast<std::size_t>(size),
                                                                compile_pattern_list(delimiter).front());
    if (expect_loop(until, -1, std::nullopt) == 0) return std::get<std::string>(after);
    return *before;
}

std::string spawn::readline(long size) {
    if (size == 0) return {};
    // The first line, not the first within the session's search window.
    if (expect({"\r\n", delimiter}, -1, std::nullopt) == 0) return *before + "\r\n";
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

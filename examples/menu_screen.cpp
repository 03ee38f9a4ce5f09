// Picks an entry of a full-screen menu with the arrow keys, as a person
// would, and tells which entry is highlighted the way a person does: by its
// colours on the screen, which no pattern over the byte stream can see.
//
//   menu_screen [entry]     (default: Remove; one of Install, Remove, Quit)
//
// Runs whiptail (Debian's whiptail package). Exits 0 when whiptail reports
// the entry chosen, 1 otherwise.
#include <algorithm>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include <ptypilot/ptypilot.hpp>
using namespace ptypilot;

namespace {

const std::vector<std::string> entries = {"Install", "Remove", "Quit"};

// The entry whose last letter is drawn on whiptail's highlight colour.
std::string highlighted(const screen_view& screen) {
    for (const auto& e : entries) {
        const auto at = screen.find(e);
        if (at && screen.at(at->row, at->column + static_cast<int>(e.size()) - 1).background == colors::red)
            return e;
    }
    return "";
}

int fail(const std::string& why) {
    std::fprintf(stderr, "menu_screen: %s\n", why.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string wanted = argc > 1 ? argv[1] : "Remove";
    const auto wanted_at = std::find(entries.begin(), entries.end(), wanted);
    if (wanted_at == entries.end()) return fail("no entry " + wanted);
    try {
        // The child's environment is all it gets: a terminal type that
        // whiptail knows, and UTF-8 for its box drawing.
        spawn child("whiptail",
                    {"--title", "Setup", "--menu", "Choose an action", "15", "50", "3", "Install", "Set up",
                     "Remove", "Take away", "Quit", "Leave"},
                    {.timeout = 10.0, .env = env_map{{"TERM", "xterm-256color"}, {"LANG", "C.UTF-8"}}});
        // Before the first read, so the screen sees everything.
        child.enable_screen();
        child.expect_screen_exact("Choose an action");
        const auto where = child.screen_match_span()->begin;
        std::printf("the menu's text starts at row %d, column %d\n", where.row, where.column);

        for (auto e = entries.begin(); e != wanted_at; ++e) child.send("\x1b[B");  // the down arrow
        // Wait until the highlight has come to the entry: each key redraws.
        screen_view screen = child.wait_screen_settled(0.2);
        for (int tries = 0; highlighted(screen) != wanted && tries < 50; ++tries)
            screen = child.wait_screen_settled(0.2);
        if (highlighted(screen) != wanted)
            return fail("\"" + wanted + "\" is not highlighted:\n" + screen.text());
        std::printf("highlighted: %s\n", wanted.c_str());

        child.send("\r");
        // whiptail clears its screen and writes the chosen tag as it ends;
        // without its escape sequences, that is all it wrote.
        child.expect(sentinel::eof);
        std::string printed = strip_escapes(child.before_str());
        std::erase_if(printed, [](char c) { return c == '\r' || c == '\n'; });
        child.close();
        if (printed != wanted || child.exitstatus != 0) return fail("whiptail reported \"" + printed + "\"");
        std::printf("chosen: %s\n", printed.c_str());
    } catch (const std::exception& e) {
        return fail(e.what());
    }
    return 0;
}

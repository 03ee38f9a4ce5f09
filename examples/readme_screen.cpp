// The README's "The rendered screen", run as written (the region between
// "// README begin" and "// README end"; the test ptypilot_readme_snippets
// holds the README to it), on Debian's whiptail.
#include <cstdio>
#include <exception>
#include <string>

#include <ptypilot/ptypilot.hpp>
using namespace ptypilot;

int main() {
    try {
        // clang-format off
        // README begin
        spawn menu("whiptail", {"--menu", "Choose", "15", "50", "3", "Install", "Set up", "Remove", "Take away",
                                "Quit", "Leave"},
                   {.env = env_map{{"TERM", "xterm-256color"}, {"LANG", "C.UTF-8"}}});
        menu.enable_screen();                        // before the first read: it sees everything
        menu.expect_screen("Remove");                // patterns over the screen's text
        screen_position p = menu.screen_match_span()->begin;     // where: row and column, from 0
        menu.send("\x1b[B");                         // the down arrow
        screen_view v = menu.wait_screen_settled(0.2);          // nothing changed for 0.2 s
        bool chosen = v.at(p.row, p.column + 5).background == colors::red;  // whiptail's highlight
        std::string row = v.row_text(p.row);         // "...Remove..."; v.cursor, v.lines(), v.text()
        // README end
        // clang-format on
        // On a busy machine whiptail may take longer than 0.2 s to redraw.
        for (int tries = 0; !chosen && tries < 50; ++tries) {
            v = menu.wait_screen_settled(0.2);
            chosen = v.at(p.row, p.column + 5).background == colors::red;
        }
        if (!chosen || row.find("Remove") == std::string::npos) {
            std::fprintf(stderr, "readme_screen: Remove is not highlighted:\n%s\n", v.text().c_str());
            return 1;
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "readme_screen: %s\n", e.what());
        return 1;
    }
    std::puts("readme_screen: ok");
    return 0;
}

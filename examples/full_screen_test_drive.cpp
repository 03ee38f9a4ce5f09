// Tests a full-screen program as a person uses it: keys as the program asked
// for them, waits on what the screen shows, a terminal that answers, a
// golden screen and a picture (menu.snap and menu.html, in the current
// directory).
//
//   full_screen_test_drive
//
// Runs dialog (Debian's dialog package), an ncurses program that switches
// the cursor keys to their application mode. Exits 0 when dialog reports the
// entry chosen with the keys, 1 otherwise.
#include <cstdio>
#include <exception>
#include <fstream>
#include <string>

#include <ptypilot/ptypilot.hpp>
using namespace ptypilot;

int main() {
    try {
        // clang-format off
// README begin
spawn menu("dialog", {"--menu", "Choose", "15", "50", "3", "Install", "Set up", "Remove", "Take away",
                      "Quit", "Leave"},
           {.env = env_map{{"TERM", "xterm-256color"}, {"LANG", "C.UTF-8"}},
            .screen = screen_options{.answer_queries = true}});  // on from the start, answering queries
menu.expect_screen_exact("Choose");
menu.send_key(key::down);                    // ESC O B: dialog asked for application cursor keys
screen_view v = menu.wait_screen_change(0.1);  // the screen after the key, once calm for 0.1 s
auto chosen = [](const screen_view& s) {     // dialog's highlight: a blue background
    const auto at = s.find("Remove");
    return at && s.at(at->row, at->column + 5).background == colors::blue;
};
v = menu.wait_screen(chosen);                // any test over the cells, as for expect_screen
std::ofstream("menu.html") << to_html(v);    // a picture for the report: also to_svg, to_ansi, to_text
std::string diff = compare_with_snapshot(v, "menu.snap");  // "" or a diff; PTYPILOT_UPDATE_SNAPSHOTS=1 writes it
menu.send_key(key::enter);
// README end
        // clang-format on
        std::printf("highlighted: row %d of %d\n", v.find("Remove")->row, v.rows);
        // dialog's drawing differs between its versions: a difference is
        // shown, not failed.
        std::printf("%s\n", diff.empty() ? "the screen matches menu.snap" : diff.c_str());
        menu.expect(sentinel::eof);
        std::string printed = strip_escapes(menu.before_str());
        std::erase_if(printed, [](char c) { return c == '\r' || c == '\n'; });
        menu.close();
        // The highlight may show before the rest of its redraw is read: the
        // tag ends the text.
        if (!printed.ends_with("Remove") || menu.exitstatus != 0) {
            std::fprintf(stderr, "full_screen_test_drive: dialog reported \"%s\"\n", printed.c_str());
            return 1;
        }
        std::printf("chosen: %s\n", printed.c_str());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "full_screen_test_drive: %s\n", e.what());
        return 1;
    }
    return 0;
}

// Real full-screen programs driven through the rendered screen: menus whose
// highlighted entry is told by its colours, editors whose edits are checked
// on the screen and on disk, a pager paging. The programs come from Debian
// packages that scripts/install-deps installs.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include <ptypilot/which.hpp>

#include "support/helpers.hpp"

using namespace ptypilot;
using testing_support::scoped_temp_dir;

namespace {

// A terminal the programs know, UTF-8, and a home of the test's own.
env_map terminal_env(const std::string& home) {
    return {{"TERM", "xterm-256color"},
            {"LANG", "C.UTF-8"},
            {"PATH", "/usr/bin:/bin"},
            {"HOME", home},
            {"LESSHISTFILE", "-"}};
}

std::unique_ptr<spawn> start_program(const std::string& program, std::vector<std::string> args,
                                     const std::string& home) {
    if (!which(program)) throw std::runtime_error(program + " is missing: run scripts/install-deps");
    auto s = std::make_unique<spawn>(
        program, std::move(args),
        spawn_options{.timeout = 20.0, .env = terminal_env(home), .delaybeforesend = 0});
    testing_support::make_quick(*s);
    s->enable_screen();
    return s;
}

std::string file_text(const std::string& path) {
    std::ifstream in(path);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

void write_file(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

// The one menu entry drawn on a background of its own, told by the cell of
// its last letter (the first may be coloured as a hot key); "" when not
// exactly one entry stands out.
std::string highlighted(const screen_view& v, const std::vector<std::string>& entries) {
    std::vector<color> backgrounds;
    for (const auto& e : entries) {
        const auto at = v.find(e);
        if (!at) return "";
        backgrounds.push_back(v.at(at->row, at->column + static_cast<int>(e.size()) - 1).background);
    }
    std::string found;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (std::count(backgrounds.begin(), backgrounds.end(), backgrounds[i]) != 1) continue;
        if (!found.empty()) return "";
        found = entries[i];
    }
    return found;
}

// Waits until `want` is the highlighted entry; the screen it was seen on.
screen_view await_highlight(spawn& s, const std::vector<std::string>& entries, const std::string& want) {
    return s.wait_screen([&](const screen_view& v) { return highlighted(v, entries) == want; });
}

}  // namespace

TEST(FullScreen, MenuEntryChosenWithTheArrowKeys) {
    struct menu_program {
        const char* name;
        color highlight;
    };
    // ncurses (dialog) switches the keypad to application mode, where the
    // down arrow is ESC O B; whiptail keeps the normal ESC [ B.
    const std::vector<menu_program> programs = {{"whiptail", colors::red}, {"dialog", colors::blue}};
    const std::vector<std::string> entries = {"Install", "Remove", "Quit"};
    for (const auto& p : programs) {
        SCOPED_TRACE(p.name);
        scoped_temp_dir home;
        auto s = start_program(p.name,
                               {"--title", "Setup", "--menu", "Choose an action", "15", "50", "3", "Install",
                                "Set up", "Remove", "Take away", "Quit", "Leave"},
                               home.path());
        s->expect_screen_exact("Choose an action");
        screen_view v = await_highlight(*s, entries, "Install");
        const screen_position install = *v.find("Install");
        EXPECT_EQ(v.at(install.row, install.column + 6).background, p.highlight);
        EXPECT_EQ(v.find("Remove")->row, install.row + 1);

        s->send_key(key::down);
        v = await_highlight(*s, entries, "Remove");
        const screen_position remove = *v.find("Remove");
        EXPECT_EQ(v.at(remove.row, remove.column + 5).background, p.highlight);
        EXPECT_NE(v.at(install.row, install.column + 6).background, p.highlight);

        // Both print the chosen tag as they end. The highlight may show
        // before the rest of its redraw is read, so the tag ends the text.
        s->send_key(key::enter);
        s->expect(sentinel::eof);
        std::string printed = strip_escapes(*s->before);
        std::erase_if(printed, [](char c) { return c == '\r' || c == '\n'; });
        EXPECT_TRUE(printed.ends_with("Remove")) << printed;
        s->close();
        EXPECT_EQ(s->exitstatus, 0);
    }
}

TEST(FullScreen, EditWithNano) {
    scoped_temp_dir home;
    const std::string path = home.path() + "/notes.txt";
    write_file(path, "first line\n");
    auto s = start_program("nano", {"-I", path}, home.path());
    s->expect_screen("GNU nano");
    s->expect_screen("(?m)^first line$");
    EXPECT_EQ(s->screen_match_span(), (screen_span{{1, 0}, {1, 10}}));
    // The title bar is drawn in reverse video.
    EXPECT_TRUE(s->screen().at(0, 0).reverse);

    s->send("Saved by a test, ");
    s->expect_screen_exact("Saved by a test, first line");
    EXPECT_EQ(s->screen_match_span(), (screen_span{{1, 0}, {1, 27}}));
    s->expect_screen_exact("Modified");
    s->sendcontrol('o');
    s->expect_screen("File Name to Write: .*notes\\.txt");
    s->send("\r");
    s->expect_screen("Wrote 1 line");
    s->sendcontrol('x');
    s->expect(sentinel::eof);
    EXPECT_EQ(file_text(path), "Saved by a test, first line\n");
}

TEST(FullScreen, EditWithVim) {
    scoped_temp_dir home;
    const std::string path = home.path() + "/list.txt";
    write_file(path, "second\n");
    auto s = start_program("vim.tiny", {"-u", "NONE", "-i", "NONE", "-n", "-N", path}, home.path());
    // Rows past the end of the file are marked "~".
    s->expect_screen("(?m)^second\n~\n~$");
    s->send("O");
    s->expect_screen_exact("-- INSERT --");
    s->send("first\x1b");
    s->expect_screen("(?m)^first\nsecond$");
    EXPECT_EQ(s->screen_match_span()->begin, (screen_position{0, 0}));
    // Leaving insert mode clears the last row (once vim has waited to see
    // whether the ESC began a longer key).
    s->expect_screen("~\n\\z");
    s->send(":wq\r");
    s->expect(sentinel::eof);
    EXPECT_EQ(file_text(path), "first\nsecond\n");
}

TEST(FullScreen, PageWithLess) {
    scoped_temp_dir home;
    const std::string path = home.path() + "/numbers.txt";
    std::string numbers;
    for (int i = 1; i <= 100; ++i) numbers += std::to_string(i) + "\n";
    write_file(path, numbers);
    auto s = start_program("less", {path}, home.path());
    s->expect_screen("numbers\\.txt");
    screen_view v = s->screen();
    for (int r = 0; r < v.rows - 1; ++r) EXPECT_EQ(v.row_text(r), std::to_string(r + 1));

    // A page forward: the screen's worth less one row for the prompt.
    s->send(" ");
    s->expect_screen("(?m)^46\n:$");
    v = s->screen();
    EXPECT_EQ(v.row_text(0), "24");
    EXPECT_EQ(v.row_text(v.rows - 1), ":");

    s->send("G");
    s->expect_screen_exact("(END)");
    v = s->screen();
    EXPECT_EQ(v.row_text(v.rows - 2), "100");
    EXPECT_TRUE(v.at(v.rows - 1, 0).reverse);  // the prompt stands out

    s->send("q");
    s->expect(sentinel::eof);
    // less drew on the alternate screen; the normal one is back.
    EXPECT_EQ(s->screen().find("100"), std::nullopt);
}

TEST(FullScreen, VimIsAnsweredAndTakesNoAnswerForKeys) {
    // vim asks for the cursor's place and the terminal's version at start;
    // answered, it must take the answers for what they are, not for typing.
    scoped_temp_dir home;
    const std::string path = home.path() + "/answered.txt";
    auto s = start_program("vim.tiny", {"-u", "NONE", "-i", "NONE", "-n", "-N", path}, home.path());
    std::ostringstream read_log, send_log;
    s->logfile_read = &read_log;
    s->logfile_send = &send_log;
    s->enable_screen({.answer_queries = true});
    s->expect_screen("(?m)^~$");
    s->send("ianswered\x1b");
    s->expect_screen("(?m)^answered$");
    s->send(":wq\r");
    s->expect(sentinel::eof);
    EXPECT_EQ(file_text(path), "answered\n");
    EXPECT_NE(read_log.str().find("\x1b[>c"), std::string::npos);
    EXPECT_NE(send_log.str().find("\x1b[>0;100;0c"), std::string::npos) << send_log.str();
}

// The emulator on its own: bytes in, cells, text and cursor out.
#include <gtest/gtest.h>

#include <ptypilot/screen.hpp>

#include <functional>

using namespace ptypilot;

namespace {

screen_view render(std::string_view bytes, int rows = 5, int columns = 20) {
    virtual_terminal term(rows, columns);
    term.feed(bytes);
    return term.view();
}

}  // namespace

TEST(VirtualTerminal, RowsAreTextWithoutTrailingBlanks) {
    const auto v = render("ab  \r\n\r\n  c d   ");
    EXPECT_EQ(v.rows, 5);
    EXPECT_EQ(v.columns, 20);
    EXPECT_EQ(v.lines(), (std::vector<std::string>{"ab", "", "  c d", "", ""}));
    EXPECT_EQ(v.text(), "ab\n\n  c d\n\n");
    EXPECT_EQ(v.at(0, 3).text, " ");
    EXPECT_EQ(v.at(0, 19).text, " ");
}

TEST(VirtualTerminal, CursorMotionAndErasingPaintTheScreen) {
    struct case_t {
        const char* bytes;
        std::vector<std::string> rows;
        screen_position cursor;
    };
    const std::vector<case_t> cases = {
        {"\x1b[3;5Hhere", {"", "", "    here", "", ""}, {2, 8}},
        {"one\r\ntwo\x1b[1;1Hz", {"zne", "two", "", "", ""}, {0, 1}},
        {"abcdef\x1b[1;3H\x1b[K", {"ab", "", "", "", ""}, {0, 2}},
        {"first\r\nsecond\x1b[2J\x1b[H", {"", "", "", "", ""}, {0, 0}},
        {"\x1b[1;3Hved\x1b[1;1HSa", {"Saved"}, {0, 2}},
        // Lines past the bottom scroll the top ones away: no scrollback.
        {"1\r\n2\r\n3\r\n4\r\n5\r\n6\r\n7", {"3", "4", "5", "6", "7"}, {4, 1}},
        // Tabs move to the next multiple of 8; backspace steps back.
        {"a\tb\bc", {"a       c"}, {0, 9}},
    };
    for (const auto& c : cases) {
        const auto v = render(c.bytes);
        for (std::size_t r = 0; r < c.rows.size(); ++r)
            EXPECT_EQ(v.row_text(static_cast<int>(r)), c.rows[r]) << c.bytes;
        EXPECT_EQ(v.cursor, c.cursor) << c.bytes;
    }
}

TEST(VirtualTerminal, AttributesAndColoursOfEachCell) {
    auto with = [](auto change) {
        cell c;
        c.text = "x";
        change(c);
        return c;
    };
    struct case_t {
        const char* sgr;
        cell want;
    };
    const std::vector<case_t> cases = {
        {"", with([](cell&) {})},
        {"1", with([](cell& c) { c.bold = true; })},
        {"3", with([](cell& c) { c.italic = true; })},
        {"4", with([](cell& c) { c.underline = true; })},
        {"5", with([](cell& c) { c.blink = true; })},
        {"7", with([](cell& c) { c.reverse = true; })},
        {"9", with([](cell& c) { c.strike = true; })},
        {"31", with([](cell& c) { c.foreground = colors::red; })},
        {"44", with([](cell& c) { c.background = colors::blue; })},
        {"97", with([](cell& c) { c.foreground = color::from_palette(15); })},
        {"38;5;196", with([](cell& c) { c.foreground = color::from_palette(196); })},
        {"48;2;10;20;30", with([](cell& c) { c.background = color::from_rgb(10, 20, 30); })},
        {"1;7;37;41", with([](cell& c) {
             c.bold = c.reverse = true;
             c.foreground = colors::white;
             c.background = colors::red;
         })},
        {"1;31m\x1b[0", with([](cell&) {})},
    };
    for (const auto& c : cases) {
        const auto v = render(std::string("\x1b[") + c.sgr + "mx\x1b[0my");
        EXPECT_EQ(v.at(0, 0), c.want) << "SGR " << c.sgr;
        EXPECT_EQ(v.at(0, 1), with([](cell& d) { d.text = "y"; })) << "SGR " << c.sgr << " was not reset";
    }
}

TEST(VirtualTerminal, WideAndCombiningCharactersInUtf8) {
    // "中" takes two cells; "e" + U+0301 is one cell; "é" precomposed too.
    const auto v = render(
        "a\xe4\xb8\xad"
        "b e\xcc\x81 \xc3\xa9");
    EXPECT_EQ(v.row_text(0),
              "a\xe4\xb8\xad"
              "b e\xcc\x81 \xc3\xa9");
    EXPECT_EQ(v.at(0, 1).text, "\xe4\xb8\xad");
    EXPECT_EQ(v.at(0, 1).width, 2);
    EXPECT_EQ(v.at(0, 2).text, "");
    EXPECT_EQ(v.at(0, 2).width, 0);
    EXPECT_EQ(v.at(0, 3).text, "b");
    EXPECT_EQ(v.at(0, 5).text, "e\xcc\x81");
    EXPECT_EQ(v.at(0, 7).text, "\xc3\xa9");
    EXPECT_EQ(v.cursor, (screen_position{0, 8}));
    // Byte offsets of the row's text back to cells.
    EXPECT_EQ(v.column_at(0, 0), 0);
    EXPECT_EQ(v.column_at(0, 1), 1);
    EXPECT_EQ(v.column_at(0, 3), 1);  // inside the wide character
    EXPECT_EQ(v.column_at(0, 4), 3);
    EXPECT_EQ(v.column_at(0, 100), 8);
    EXPECT_EQ(v.find("b"), (screen_position{0, 3}));
    EXPECT_EQ(v.find("\xc3\xa9"), (screen_position{0, 7}));
    EXPECT_EQ(v.find("absent"), std::nullopt);

    // A wide character that ends the text: just past its right half.
    EXPECT_EQ(render("ab\xe4\xb8\xad").column_at(0, 5), 4);
    // The right half of a wide character whose left half was deleted is a
    // blank, and the narrow character before it stays narrow.
    const auto orphan = render(
        "\xe4\xb8\xadx\x1b[1G\x1b[P"
        "\r\n"
        "a\xe4\xb8\xad"
        "b\x1b[2G\x1b[P");
    EXPECT_EQ(orphan.row_text(0), " x");
    EXPECT_EQ(orphan.row_text(1), "a b");
    EXPECT_EQ(orphan.at(1, 0).width, 1);
    // So for a narrow character of several bytes written over the left half.
    const auto over = render(
        "\xe4\xb8\xad"
        "b\r\xc3\xa9");
    EXPECT_EQ(over.row_text(0), "\xc3\xa9 b");
    EXPECT_EQ(over.at(0, 0).width, 1);
    EXPECT_EQ(over.at(0, 1).width, 1);
    // Code points past U+10FFFF, which libvterm still decodes, are not UTF-8.
    EXPECT_EQ(render("\xf8\x88\x80\x80\x80x").row_text(0), "\xef\xbf\xbdx");
}

TEST(VirtualTerminal, SequencesCutAnywhereRenderTheSame) {
    const std::string bytes =
        "\x1b[2;3H\x1b[1;38;5;208mcaf\xc3\xa9 \xe4\xb8\xad\x1b[0m\x1b]0;title\x07 \x1b[7mrev\x1b[27m "
        "e\xcc\x81\r\n"
        "\x1b[?25lhidden cursor";
    const auto whole = render(bytes);
    for (std::size_t cut = 1; cut < bytes.size(); ++cut) {
        virtual_terminal term(5, 20);
        term.feed(std::string_view(bytes).substr(0, cut));
        term.feed(std::string_view(bytes).substr(cut));
        const auto v = term.view();
        ASSERT_EQ(v.cells, whole.cells) << "cut at " << cut;
        ASSERT_EQ(v.cursor, whole.cursor) << "cut at " << cut;
    }
    EXPECT_EQ(whole.row_text(1), "  caf\xc3\xa9 \xe4\xb8\xad rev e\xcc\x81");
    EXPECT_FALSE(whole.cursor_visible);
}

TEST(VirtualTerminal, AlternateScreenGivesTheNormalOneBack) {
    virtual_terminal term(5, 20);
    term.feed("shell prompt$ ");
    term.feed("\x1b[?1049h\x1b[H\x1b[2Jfull screen");
    EXPECT_EQ(term.view().row_text(0), "full screen");
    term.feed("\x1b[?1049l");
    EXPECT_EQ(term.view().row_text(0), "shell prompt$");
    EXPECT_EQ(term.text(), "shell prompt$\n\n\n\n");
}

TEST(VirtualTerminal, ResizeKeepsWhatFits) {
    virtual_terminal term(5, 20);
    term.feed("0123456789abcdef\r\nsecond");
    term.resize(3, 8);
    auto v = term.view();
    EXPECT_EQ(v.rows, 3);
    EXPECT_EQ(v.columns, 8);
    EXPECT_EQ(v.cells.size(), 24u);
    EXPECT_EQ(v.row_text(0), "01234567");
    EXPECT_EQ(v.row_text(1), "second");
    term.resize(6, 30);
    term.feed("\x1b[6;25Hedge");
    v = term.view();
    EXPECT_EQ(v.row_text(5), std::string(24, ' ') + "edge");

    // Fewer rows than a scroll region's top, or than the lowest written row
    // lies below the cursor: the cursor stays on the screen and writes there.
    for (const char* before :
         {"\x1b[20;39r\x1b[39;1H", "\x1b[20;39r\x1b(c\x1b[39;1H", "\x1b[40;1Hstatus line\x1b[H"}) {
        SCOPED_TRACE(before);
        virtual_terminal small(40, 80);
        small.feed(before);
        small.resize(12, 80);
        for (int i = 0; i < 50; ++i) small.feed("line " + std::to_string(i) + "\r\n");
        small.feed("last");
        const screen_view shrunk = small.view();
        EXPECT_GE(shrunk.cursor.row, 0);
        EXPECT_LT(shrunk.cursor.row, 12);
        EXPECT_EQ(shrunk.row_text(shrunk.cursor.row), "last");
    }
    // A cursor saved on a row the screen no longer has is put back on it.
    virtual_terminal saved(40, 7);
    saved.feed(std::string(20, '\n') +
               "\x1b"
               "7");
    saved.resize(1, 14);
    saved.feed(
        "\x1b[4h\x1b"
        "8xxxx");
    EXPECT_EQ(saved.view().row_text(0), "xxxx");
    // Otherwise a resize is no output: it cuts no sequence and keeps a wrap
    // that is due.
    virtual_terminal cut(5, 10);
    cut.feed("hello\x1b[3");
    cut.resize(3, 10);
    cut.feed(";5Hx");
    EXPECT_EQ(cut.view().row_text(2), "    x");
    virtual_terminal wrap(5, 10);
    wrap.feed("0123456789");
    wrap.resize(3, 10);
    wrap.feed("Z");
    EXPECT_EQ(wrap.view().row_text(1), "Z");
}

TEST(VirtualTerminal, RefusesSizesOutsideItsRange) {
    for (const auto& [rows, columns] :
         {std::pair{0, 80}, std::pair{24, 0}, std::pair{24, 1}, std::pair{-1, 80},
          std::pair{virtual_terminal::max_side + 1, 80}, std::pair{24, virtual_terminal::max_side + 1}}) {
        EXPECT_THROW(virtual_terminal(rows, columns), std::out_of_range) << rows << "x" << columns;
    }
    virtual_terminal term(2, 2);
    EXPECT_THROW(term.resize(0, 0), std::out_of_range);
    EXPECT_EQ(term.rows(), 2);
    const screen_view v = term.view();
    EXPECT_EQ(v.at(1, 1).text, " ");  // the last cell
    for (const auto& [row, column] : {std::pair{2, 0}, std::pair{-1, 0}, std::pair{0, 2}, std::pair{0, -1}})
        EXPECT_THROW((void)v.at(row, column), std::out_of_range) << row << ", " << column;
    EXPECT_THROW((void)v.row_text(5), std::out_of_range);
}

// libvterm 0.1.4 writes past its memory for a sequence with 16 or more
// separators; the screen must take any output a child can write.
TEST(VirtualTerminal, SequencesWithEndlessParametersDoNoHarm) {
    // Whatever stands between ESC and "[" (intermediates, controls, bytes
    // past ASCII), libvterm begins a sequence there.
    // (A control within the sequence is still run, and kept by stripping.)
    const std::vector<std::pair<std::string, std::string>> openers = {
        {"\x1b[", ""}, {"\x1b#[", ""}, {"\x1b\x11[", "\x11"}, {"\x1b\x80[", ""}, {"\x1b]0;t\x1b[?", ""}};
    for (const auto& [open, control] : openers)
        for (const std::size_t separators : {15u, 16u, 40u, 5000u}) {
            const std::string bytes = open + std::string(separators, ';') + "1mbold\x1b[" +
                                      std::string(separators, ':') + "0m plain";
            virtual_terminal whole(3, 20);
            whole.feed(bytes);
            virtual_terminal bytewise(3, 20);
            for (const char c : bytes) bytewise.feed(std::string_view(&c, 1));
            for (const auto* term : {&whole, &bytewise}) {
                const auto v = term->view();
                EXPECT_EQ(v.row_text(0), "bold plain") << separators;
                EXPECT_EQ(v.cells, whole.view().cells) << separators;
            }
            EXPECT_EQ(strip_escapes(bytes), control + "bold plain") << separators;
        }
}

// REP repeats the last character written; libvterm 0.1.4 loops forever when
// that character has no width or there was none yet.
// Controls written as UTF-8 (C1, or an overlong form), whole or with other
// controls and sequences between their bytes, draw nothing; an unfinished
// character is U+FFFD. The cursor counts what was drawn.
TEST(VirtualTerminal, ControlsWrittenAsUtf8DrawNothing) {
    using namespace std::string_literals;
    const std::string bad = "\xef\xbf\xbd";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"ab\xc2\x9a"
         "cd",
         "abcd"},
        {"ab\xc0\x8a"
         "cd",
         "abcd"},
        {"ab\xe0\x82\x9a"
         "cd",
         "abcd"},
        {"ab\xc2\0\x9a"
         "cd"s,
         "ab" + bad + bad + "cd"},
        {"ab\xc2\x1b[m\x9a"
         "cd",
         "ab" + bad + bad + "cd"},
        {"\x1b[4h\xc2\x01\x9a"
         "xy",
         bad + bad + "xy"},
    };
    for (const auto& [bytes, row] : cases) {
        const screen_view v = render(bytes);
        EXPECT_EQ(v.row_text(0), row) << bytes;
        EXPECT_EQ(v.cursor.column, v.column_at(0, row.size())) << bytes;
    }
}

TEST(VirtualTerminal, RepeatsTheLastCharacterAndNeverHangs) {
    struct case_t {
        const char* bytes;
        const char* row;
    };
    const std::vector<case_t> cases = {
        {"a\x1b[3b", "aaaa"},
        {"\xe2\x94\x80\x1b[4b|",
         "\xe2\x94\x80\xe2\x94\x80\xe2\x94\x80\xe2\x94\x80\xe2\x94\x80|"},  // box drawing
        // A wide character is shown once: libvterm may draw a copy half past
        // the row's end.
        {"\xe4\xb8\xad\x1b[1b", "\xe4\xb8\xad"},
        {"\x1b[1;2H\xe6\xbc\xa2\x1b[200b", " \xe6\xbc\xa2"},
        {"x\x1b[31m\x1b[2b", "xxx"},  // other sequences in between
        {"\x1b[b\x1b[5b|", "|"},      // nothing written yet
        // Nothing to repeat either (the mark, with no width, is overwritten):
        {"x\x1b[3G\xcc\x81\x1b[4b|", "x |"},      // only a combining mark
        {"x\x1b[3G\xe2\x80\x8b\x1b[4b|", "x |"},  // a zero-width space
    };
    for (const auto& c : cases) {
        virtual_terminal term(2, 20);
        term.feed(c.bytes);
        EXPECT_EQ(term.view().row_text(0), c.row) << c.bytes;
    }
}

TEST(VirtualTerminal, KeysPasteAndClicksAsTheProgramAskedForThem) {
    struct press {
        const char* modes;  // what the program wrote first
        std::function<std::string(virtual_terminal&)> action;
        const char* bytes;
    };
    const std::vector<press> table = {
        {"", [](virtual_terminal& t) { return t.key_bytes(key::down); }, "\x1b[B"},
        {"\x1b[?1h\x1b=", [](virtual_terminal& t) { return t.key_bytes(key::down); }, "\x1bOB"},
        {"\x1b[?1h", [](virtual_terminal& t) { return t.key_bytes(key::home); }, "\x1bOH"},
        {"", [](virtual_terminal& t) { return t.key_bytes(key::f5); }, "\x1b[15~"},
        {"", [](virtual_terminal& t) { return t.key_bytes(key::up, modifiers::shift | modifiers::ctrl); },
         "\x1b[1;6A"},
        {"", [](virtual_terminal& t) { return t.key_bytes(U'c', modifiers::ctrl); }, "\x03"},
        {"", [](virtual_terminal& t) { return t.key_bytes(U'x', modifiers::alt); }, "\x1bx"},
        {"", [](virtual_terminal& t) { return t.key_bytes(U'é'); }, "é"},
        {"", [](virtual_terminal& t) { return t.paste_bytes("a\nb"); }, "a\nb"},
        {"\x1b[?2004h", [](virtual_terminal& t) { return t.paste_bytes("a\nb"); }, "\x1b[200~a\nb\x1b[201~"},
        {"\x1b[?1000h\x1b[?1006h",
         [](virtual_terminal& t) {
             return t.click_bytes({2, 5});
         },
         "\x1b[<0;6;3M\x1b[<0;6;3m"},
    };
    for (const auto& p : table) {
        virtual_terminal t(24, 80);
        t.feed(p.modes);
        EXPECT_EQ(t.take_answers(), "");  // and what the keys send is no answer
        EXPECT_EQ(p.action(t), p.bytes) << testing::PrintToString(std::string(p.modes));
        EXPECT_EQ(t.take_answers(), "");
    }
    virtual_terminal t(24, 80);
    EXPECT_THROW(t.click_bytes({0, 0}), std::logic_error);
    t.feed("\x1b[?1000h");
    EXPECT_THROW(t.click_bytes({24, 0}), std::out_of_range);
    EXPECT_THROW(t.key_bytes(char32_t{0xd800}), std::invalid_argument);
}

TEST(VirtualTerminal, AnswersQueriesOnlyWhenAsked) {
    const std::string queries = "\x1b[3;4H\x1b[6n\x1b[5n\x1b[c\x1b[>c";
    virtual_terminal t(24, 80);
    t.feed(queries);
    EXPECT_EQ(t.take_answers(), "");
    t.set_answering(true);
    t.feed(queries);
    EXPECT_EQ(t.take_answers(), "\x1b[3;4R\x1b[0n\x1b[?1;2c\x1b[>0;100;0c");
    EXPECT_EQ(t.take_answers(), "");
}

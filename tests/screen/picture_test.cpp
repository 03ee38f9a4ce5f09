// A screen as text, ANSI, snapshots and pictures; the pictures looked at in
// a real browser.
#include <gtest/gtest.h>
#include <png.h>
#include <stdlib.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include <ptypilot/screen_picture.hpp>

#include "support/helpers.hpp"

using namespace ptypilot;

namespace {

// Attributes, colours of each kind, a wide character, a hidden cursor.
const std::string painted =
    "\x1b[1;31mbold red\x1b[0m \x1b[4;48;5;200munder\x1b[0m \x1b[38;2;1;2;3;7mrgb\x1b[0m\r\n"
    "\xe7\x8c\xab wide \x1b[9;42mstruck\x1b[0m\x1b[3;5H\x1b[?25l";

screen_view render(const std::string& bytes, int rows = 4, int columns = 30) {
    virtual_terminal t(rows, columns);
    t.feed(bytes);
    return t.view();
}

}  // namespace

TEST(Picture, AnsiDrawsTheSameScreenAgain) {
    const screen_view v = render(painted);
    const screen_view again = render(to_ansi(v));
    EXPECT_EQ(again.cells, v.cells);
    EXPECT_EQ(again.cursor, v.cursor);
    EXPECT_EQ(again.cursor_visible, v.cursor_visible);
    EXPECT_EQ(to_text(v), "bold red under rgb\n\xe7\x8c\xab wide struck\n\n\n");
}

TEST(Picture, ValuesPrintAsPeopleReadThem) {
    const screen_view v = render(painted);
    std::ostringstream out;
    out << v.at(0, 0) << "|" << v.at(0, 9) << "|" << v.at(0, 15) << "|" << v.at(1, 1) << "|"
        << screen_span{{1, 0}, {1, 2}} << "|" << colors::blue;
    EXPECT_EQ(
        out.str(),
        "\"b\" bold fg palette(1)|\"u\" underline bg palette(200)|\"r\" reverse fg #010203|\"\" width 0|"
        "(row 1, column 0) to (row 1, column 2)|palette(4)");
    EXPECT_EQ(testing::PrintToString(render("hi", 2, 4)), "screen 2x4, cursor (row 0, column 2):\nhi\n");
}

TEST(Picture, SnapshotComparedRewrittenAndDiffed) {
    testing_support::scoped_temp_dir dir;
    const std::string path = dir.path() + "/menu.snap";
    const screen_view v = render(painted);
    EXPECT_NE(compare_with_snapshot(v, path).find("no snapshot at " + path), std::string::npos);
    ::setenv("PTYPILOT_UPDATE_SNAPSHOTS", "1", 1);
    EXPECT_EQ(compare_with_snapshot(v, path, {.attributes = true}), "");
    ::unsetenv("PTYPILOT_UPDATE_SNAPSHOTS");
    std::stringstream stored;
    stored << std::ifstream(path).rdbuf();
    EXPECT_EQ(stored.str(), snapshot_of(v, {.attributes = true}));
    EXPECT_NE(stored.str().find("\n0:0-7 bold fg palette(1)\n"), std::string::npos) << stored.str();
    EXPECT_EQ(compare_with_snapshot(v, path, {.attributes = true}), "");
    // The same text in another colour differs only with the attributes.
    const screen_view green = render("\x1b[1;32mbold red" + painted.substr(painted.find("\x1b[0m")));
    EXPECT_NE(compare_with_snapshot(green, path, {.attributes = true})
                  .find("line 5:\n- 0:0-7 bold fg palette(1)\n+ 0:0-7 bold fg palette(2)\n"),
              std::string::npos);
}

TEST(Picture, ABrowserShowsTheColoursAndTheText) {
    const screen_view v = render("\x1b[41m    \x1b[0m\r\nHELLO \x1b[44m\xe7\x8c\xab\x1b[0m", 4, 12);
    testing_support::scoped_temp_dir dir;
    for (const auto& [name, page] :
         {std::pair{"screen.html", to_html(v)}, std::pair{"screen.svg", to_svg(v)}}) {
        SCOPED_TRACE(name);
        const std::string file = dir.path() + "/" + name;
        const std::string shot = dir.path() + "/shot.png";
        std::ofstream(file) << page;
        std::remove(shot.c_str());
        const std::string command =
            "timeout 90 chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run "
            "--disable-background-networking --disable-component-update --disable-sync --user-data-dir=" +
            dir.path() + "/profile --hide-scrollbars --window-size=120,80 --screenshot=" + shot + " file://" +
            file + " > " + dir.path() + "/chromium.log 2>&1";
        png_image image{};
        image.version = PNG_IMAGE_VERSION;
        if (std::system(command.c_str()) != 0 || png_image_begin_read_from_file(&image, shot.c_str()) == 0) {
            std::stringstream log;
            log << std::ifstream(dir.path() + "/chromium.log").rdbuf();
            GTEST_SKIP() << "Chromium cannot start here (scripts/install-deps installs it):\n" << log.str();
        }
        image.format = PNG_FORMAT_RGB;
        std::vector<unsigned char> rgb(PNG_IMAGE_SIZE(image));
        ASSERT_NE(png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr), 0);
        ASSERT_GE(image.width, 120u);
        auto pixel = [&](unsigned x, unsigned y) { return &rgb[(y * image.width + x) * 3]; };
        // Cells are 10 by 20 pixels: the red cells, the blue wide one.
        EXPECT_GT(pixel(15, 10)[0], 150);
        EXPECT_LT(pixel(15, 10)[1], 60);
        EXPECT_GT(pixel(62, 22)[2], 150);
        EXPECT_LT(pixel(62, 22)[0], 60);
        // Text is drawn where HELLO stands, and nothing on the empty last row.
        int lit = 0;
        for (unsigned y = 20; y < 40; ++y)
            for (unsigned x = 0; x < 50; ++x) lit += pixel(x, y)[0] > 100;
        EXPECT_GT(lit, 40);
        for (unsigned x = 0; x < 120; x += 7) EXPECT_LT(pixel(x, 70)[0], 30) << x;
    }
}

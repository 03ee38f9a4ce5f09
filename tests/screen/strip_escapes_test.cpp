// Escape sequences taken out of output, text and control characters kept.
#include <gtest/gtest.h>

#include <ptypilot/screen.hpp>

using namespace ptypilot;

TEST(StripEscapes, LeavesTheTextAPersonReads) {
    struct case_t {
        std::string in;
        std::string out;
    };
    const std::vector<case_t> cases = {
        {"plain text\r\n", "plain text\r\n"},
        {"\x1b[1;31mred\x1b[0m and \x1b[38;5;196mmore\x1b[m", "red and more"},
        {"\x1b[38;2;1;2;3mrgb", "rgb"},
        {"\x1b[?2004h$ ls\r\n\x1b[?2004l", "$ ls\r\n"},  // bracketed paste switches round a prompt
        {"\x1b]0;user@host: ~\x07$ ", "$ "},             // a title ended by BEL
        {"\x1b]2;title\x1b\\after", "after"},            // ... and by ST
        {"\x1bPq#0;2;0;0;0\x1b\\dcs", "dcs"},
        {"\x1b(Bcharset\x1b)0", "charset"},
        {"\x1b"
         "7saved\x1b"
         "8",
         "saved"},
        {"\x1b[10;20Hmoved\x1b[2J\x1b[K", "moved"},
        {"tab\there\bback\x07", "tab\there\bback\x07"},
        {std::string("nul\0del\x7f", 8), "nuldel"},
        {"caf\xc3\xa9 \xe4\xb8\xad\xe6\x96\x87 \xf0\x9f\x99\x82",
         "caf\xc3\xa9 \xe4\xb8\xad\xe6\x96\x87 \xf0\x9f\x99\x82"},
        {"\xc2\x9b"
         "31m",
         "\xc2\x9b"
         "31m"},                // U+009B is a character in UTF-8, not a CSI
        {"text\x1b[", "text"},  // unfinished at the end
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(strip_escapes(c.in), c.out) << c.in;
}

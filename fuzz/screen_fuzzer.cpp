// The emulator fed a program's output cut anywhere, as reads from a pty cut
// it, against the same output fed whole: the same cells and cursor. For that
// comparison the output is valid UTF-8 and keeps to the ASCII character set:
// libvterm 0.1.4 itself draws a malformed sequence, and ASCII after a UTF-8
// character in the line-drawing set, differently by where a write begins.
// Raw bytes are fed too, for crashes only. And escape stripping, which
// leaves no escape, NUL or DEL behind.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include <ptypilot/screen.hpp>

namespace {

[[noreturn]] void fail(const char* what, const std::string& output) {
    std::fprintf(stderr, "%s (%zu bytes of output)\n", what, output.size());
    std::abort();
}

// Pieces that make the output look like a program's: sequences of every
// kind, UTF-8 of every length (wide and combining characters too), controls.
const char* const tokens[] = {
    "a",
    "xyz ",
    "\r\n",
    "\n",
    "\t",
    "\b",
    "\x1b[",
    "\x1b]",
    "\x1bP",
    "\x1b(B",
    "\x07",
    "\x1b\\",
    "1",
    ";",
    "m",
    "H",
    "J",
    "K",
    "\x1b[?1049h",
    "\x1b[?1049l",
    "\x1b[?25l",
    "\x1b[2J",
    "\x1b[10;20H",
    "\x1b[1;31m",
    "\x1b[0m",
    "\x1b[38;5;9m",
    "\x1b[48;2;1;2;3m",
    "\x1b[4h",
    "\x1b[r",
    "\x1b[3;5r",
    "\x1b"
    "7",
    "\x1b"
    "8",
    "\x1bM",
    "\xc3\xa9",
    "\xe4\xb8\xad",
    "e\xcc\x81",
    "\xf0\x9f\x99\x82",
    "\xc2\x9b",
    "\x7f",
    "\x1b[6n",
    "\x1b[c",
    "\x1b[@",
    "\x1b[P",
    "\x1b[L",
};
constexpr std::size_t token_count = sizeof tokens / sizeof tokens[0];

}  // namespace

// libvterm answers a status request it does not know with the format
// "0$r%.s": glibc reads nothing for a precision of 0, but the sanitizer's
// printf check reads the argument, a pointer never meant to be read.
extern "C" const char* __asan_default_options() { return "check_printf=0"; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const int rows = in.ConsumeIntegralInRange<int>(1, 30);
    const int columns = in.ConsumeIntegralInRange<int>(ptypilot::virtual_terminal::min_columns, 100);
    std::string output;
    while (in.remaining_bytes() > 0 && output.size() < 4096) {
        if (in.ConsumeBool()) {
            output += tokens[in.ConsumeIntegralInRange<std::size_t>(0, token_count - 1)];
        } else {
            for (const char c : in.ConsumeRandomLengthString(16)) output += static_cast<char>(c & 0x7f);
        }
    }
    std::vector<std::size_t> cuts(in.ConsumeIntegralInRange<std::size_t>(0, 8));
    for (auto& at : cuts) at = in.ConsumeIntegralInRange<std::size_t>(0, output.size());
    std::sort(cuts.begin(), cuts.end());

    if (std::getenv("SCREEN_FUZZER_SHOW") != nullptr) {
        std::fprintf(stderr, "%d rows, %d columns, cut at", rows, columns);
        for (const std::size_t at : cuts) std::fprintf(stderr, " %zu", at);
        std::fprintf(stderr, "\n");
        for (const char c : output) std::fprintf(stderr, "\\x%02x", static_cast<unsigned char>(c));
        std::fprintf(stderr, "\n");
    }

    ptypilot::virtual_terminal whole(rows, columns);
    whole.feed(output);
    ptypilot::virtual_terminal cut(rows, columns);
    std::size_t from = 0;
    for (const std::size_t to : cuts) {
        cut.feed(std::string_view(output).substr(from, to - from));
        from = to;
        (void)cut.view();  // looking between the pieces changes nothing
    }
    cut.feed(std::string_view(output).substr(from));

    const ptypilot::screen_view a = whole.view();
    const ptypilot::screen_view b = cut.view();
    if (a.cells != b.cells || a.cursor != b.cursor)
        fail("the screen depends on where the output was cut", output);
    if (whole.text() != a.text()) fail("text() differs from the view's text", output);
    for (int r = 0; r < a.rows; ++r) {
        const std::string row = a.row_text(r);
        if (!row.empty() && a.column_at(r, row.size() - 1) >= a.columns)
            fail("a row's text runs off the screen", output);
    }

    // Anything at all, cut anywhere, with the window resized now and then:
    // no crash, no read out of bounds, the cursor always on the screen.
    const std::string raw(reinterpret_cast<const char*>(data), size);
    ptypilot::virtual_terminal any(rows, columns);
    for (std::size_t at = 0; at < raw.size(); at += 7) {
        any.feed(std::string_view(raw).substr(at, 7));
        if (at % 5 == 4 && at + 1 < raw.size())
            any.resize(
                1 + static_cast<unsigned char>(raw[at]) % 40,
                ptypilot::virtual_terminal::min_columns + static_cast<unsigned char>(raw[at + 1]) % 90);
        const ptypilot::screen_view v = any.view();
        if (v.cursor.row < 0 || v.cursor.row >= v.rows || v.cursor.column < 0 || v.cursor.column >= v.columns)
            fail("the cursor left the screen", raw);
    }
    (void)any.view().find("a");

    const std::string stripped = ptypilot::strip_escapes(output);
    if (stripped.size() > output.size()) fail("stripping made the output longer", output);
    if (stripped.find_first_of(std::string("\x1b\x7f\0", 3)) != std::string::npos)
        fail("an escape, NUL or DEL survived stripping", output);
    return 0;
}

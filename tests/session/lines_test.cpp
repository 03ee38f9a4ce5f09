// Reading a session like a file: by size, by line, by iteration.
#include <gtest/gtest.h>

#include <limits>
#include <tuple>

#include "support/helpers.hpp"

using namespace ptypilot;
using testing_support::fixture;

namespace {

std::unique_ptr<spawn> start(const std::string& cmd) { return testing_support::start_quick(cmd); }

}  // namespace

TEST(Read, ZeroTouchesNothing) {
    spawn s(std::nullopt);  // a read of the closed session would throw
    EXPECT_EQ(s.read(0), "");
    EXPECT_EQ(s.readline(0), "");
}

TEST(Read, BySize) {
    auto s = start(fixture + " print abcdef");
    EXPECT_EQ(s->read(3), "abc");
    EXPECT_EQ(s->read(10), "def");  // end of file came first
    EXPECT_EQ(s->read(10), "");
    auto t = start(fixture + " lines 3");
    EXPECT_EQ(t->read(), "line 1\r\nline 2\r\nline 3\r\n");
    // A search window for expect calls changes neither what a read counts
    // nor which line comes first.
    const std::vector<std::tuple<const char*, std::string (*)(spawn&), const char*>> windowed = {
        {" print 123456789", [](spawn& w) { return w.read(3); }, "123"},
        {" lines 3", [](spawn& w) { return w.readline(); }, "line 1\r\n"},
    };
    for (const auto& [command, take, first] : windowed) {
        auto w = start(fixture + command);
        w->searchwindowsize = 4;
        w->expect(sentinel::eof);  // all of it in the buffer at once
        w->buffer = w->before_str();
        EXPECT_EQ(take(*w), first) << command;
    }
}

TEST(Read, SizesBeyondOneCountedRepeat) {
    auto s = start(fixture + " flood 200000");
    s->maxread = 65536;
    const std::string first = s->read(150000);
    EXPECT_EQ(first.size(), 150000u);
    const std::string rest = s->read();
    EXPECT_EQ(rest.size(), 50003u);
    EXPECT_EQ(rest.substr(rest.size() - 3), "END");
    EXPECT_EQ(first.substr(0, 3), "abc");
}

// Counting bytes is no pattern: any size a long holds can be asked for, and
// the delimiter still ends the read.
TEST(Read, SizesBeyondAnyRegexLimit) {
    auto s = start(fixture + " print abcdef");
    EXPECT_EQ(s->read(5'000'000'000L), "abcdef");
    auto t = start(fixture + " sleep 5");
    t->timeout = 0.2;
    const std::string msg = testing_support::message_of<TIMEOUT>([&] { t->read(5'000'000'000L); });
    EXPECT_NE(msg.find("0: re.compile(\".{5000000000}\")\n    1: EOF"), std::string::npos) << msg;
}

// The largest maxread is a limit, not an allocation: one read returns what
// the pty holds, a few KiB.
TEST(Read, HugeMaxreadCostsNoMemory) {
    const long before = testing_support::peak_rss_kib();
    auto s = start(fixture + " lines 3");
    s->maxread = std::numeric_limits<int>::max();
    EXPECT_EQ(s->read(), "line 1\r\nline 2\r\nline 3\r\n");
    EXPECT_LT(testing_support::peak_rss_kib() - before, 256 * 1024);
}

TEST(Readline, LinesThenTheRestThenNothing) {
    auto s = start(fixture + " print 'first\nsecond'");
    EXPECT_EQ(s->readline(), "first\r\n");
    EXPECT_EQ(s->readline(), "second");
    EXPECT_EQ(s->readline(), "");
}

TEST(Readline, AnotherDelimiter) {
    auto s = start(fixture + " print 'a;b;c'");
    s->delimiter = ";";
    EXPECT_EQ(s->read(), "a");
    EXPECT_EQ(s->readline(), "b");
    s->delimiter = EOF_{};
    EXPECT_EQ(s->read(), "c");
}

TEST(Readlines, AllLinesAndTheHintIsIgnored) {
    auto s = start(fixture + " lines 4");
    EXPECT_EQ(s->readlines(5),
              (std::vector<std::string>{"line 1\r\n", "line 2\r\n", "line 3\r\n", "line 4\r\n"}));
}

TEST(Readlines, LinesGatheredBeforeATimeOutAreKept) {
    auto s = start(fixture + " pause 'one\ntwo\npart' 5 end");
    s->timeout = 0.5;
    EXPECT_THROW(s->readlines(), TIMEOUT);
    EXPECT_EQ(s->buffer, "one\r\ntwo\r\npart");
    EXPECT_EQ(s->readline(), "one\r\n");
}

TEST(Iteration, SameLinesAsReadline) {
    auto s = start(fixture + " lines 3");
    std::vector<std::string> seen;
    for (const std::string& line : *s) seen.push_back(line);
    EXPECT_EQ(seen, (std::vector<std::string>{"line 1\r\n", "line 2\r\n", "line 3\r\n"}));
    EXPECT_EQ(s->next(), std::nullopt);
}

// The expect operations against real children: every outcome and how the
// session's fields are left.
#include <gtest/gtest.h>

#include "support/helpers.hpp"

using namespace ptypilot;
using testing_support::fixture;
using testing_support::is;
using testing_support::message_of;

namespace {

std::unique_ptr<spawn> start(const std::string& cmd) { return testing_support::start_quick(cmd); }

std::string text(const after_value& v) { return std::get<std::string>(v); }

}  // namespace

TEST(Expect, PasswordPromptOutcome) {
    auto s = start(fixture + " password");
    const int i = s->expect({"[Pp]assword: ", EOF_{}, TIMEOUT{}}, 10);
    EXPECT_EQ(i, 0);
    EXPECT_EQ(s->before, "");
    EXPECT_EQ(text(s->after), "Password: ");
    EXPECT_EQ(s->match_index, 0);
    const auto& m = std::get<match_result>(s->match);
    EXPECT_EQ(m.str(), "Password: ");
    EXPECT_EQ(m.start(), 0u);
    s->sendline("hunter2");
    EXPECT_EQ(s->expect("got (?P<secret>\\w+)"), 0);
    EXPECT_EQ(std::get<match_result>(s->match).group("secret"), "hunter2");
    EXPECT_EQ(s->expect({EOF_{}}), 0);
}

TEST(Expect, MatchedEntrySplitsTheText) {
    auto s = start(fixture + " print 'alpha beta gamma'");
    EXPECT_EQ(s->expect({"nomatch", "b[a-z]+"}), 1);
    EXPECT_EQ(s->before, "alpha ");
    EXPECT_EQ(text(s->after), "beta");
    // The rest waits in the buffer for the next call.
    EXPECT_EQ(s->expect(EOF_{}), 0);
    EXPECT_EQ(s->before, " gamma");
    EXPECT_TRUE(s->buffer.empty());
}

TEST(Expect, EndOfFileListed) {
    auto s = start(fixture + " print 'some text'");
    EXPECT_EQ(s->expect({"never", TIMEOUT{}, EOF_{}}), 2);
    EXPECT_TRUE(s->buffer.empty());
    EXPECT_EQ(s->before, "some text");
    EXPECT_TRUE(is(s->after, sentinel::eof));
    EXPECT_TRUE(is(s->match, sentinel::eof));
    EXPECT_EQ(s->match_index, 2);
}

TEST(Expect, EndOfFileNotListed) {
    auto s = start(fixture + " print 'some text'");
    const std::string msg = message_of<EOF_>([&] { s->expect("never"); });
    EXPECT_EQ(msg.rfind("End Of File (EOF) in read_nonblocking().", 0), 0u);
    EXPECT_EQ(msg.substr(msg.find('\n') + 1), s->str());
    EXPECT_NE(msg.find("searcher: searcher_re:\n    0: re.compile(\"never\")"), std::string::npos);
    EXPECT_TRUE(s->buffer.empty());
    EXPECT_EQ(s->before, "some text");
    EXPECT_TRUE(is(s->after, sentinel::eof));
    EXPECT_TRUE(std::holds_alternative<std::monostate>(s->match));
    EXPECT_FALSE(s->match_index);
}

TEST(Expect, TimeOutListedKeepsTheText) {
    auto s = start(fixture + " pause partial 5 rest");
    EXPECT_EQ(s->expect({"rest", TIMEOUT{}}, 0.3), 1);
    EXPECT_EQ(s->buffer, "partial");
    EXPECT_EQ(s->before, "partial");
    EXPECT_TRUE(is(s->after, sentinel::timeout));
    EXPECT_TRUE(is(s->match, sentinel::timeout));
}

TEST(Expect, TimeOutNotListed) {
    auto s = start(fixture + " pause partial 5 rest");
    const std::string msg = message_of<TIMEOUT>([&] { s->expect("rest", 0.3); });
    EXPECT_EQ(msg.find("\n"), msg.find("\n<ptypilot.spawn object"));
    EXPECT_EQ(s->buffer, "partial");
    EXPECT_FALSE(s->match_index);
    // Nothing was lost: the next call searches it again.
    EXPECT_EQ(s->expect("par"), 0);
    EXPECT_EQ(s->buffer, "tial");
}

// Each read brings output, none of it a match: the time-out still counts from
// the call, not from the last read. The child stops after 15 s, so a loop that
// kept restarting its time-out ends only then, at end of file.
TEST(Expect, TimeOutRunsOutWhileUnmatchedOutputKeepsComing) {
    auto s = start(fixture + " drip 15");
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(s->expect({"never", TIMEOUT{}, EOF_{}}, 1.0), 1);
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 8.0);
    EXPECT_NE(s->before.value_or("").find("tick\r\ntick\r\n"), std::string::npos);
}

TEST(Expect, OtherErrorsLeaveTheBufferAsItWas) {
    spawn s(std::nullopt);
    s.buffer = "abc";
    EXPECT_THROW(s.expect("zzz"), std::logic_error);  // reading a closed session
    EXPECT_EQ(s.buffer, "abc");
    EXPECT_EQ(s.before, "abc");
    EXPECT_TRUE(std::holds_alternative<std::monostate>(s.after));
    EXPECT_FALSE(s.match_index);
}

TEST(Expect, MatchInTheBufferNeedsNoRead) {
    spawn s(std::nullopt);  // any read would fail: the session is closed
    s.buffer = "xx>>yy";
    EXPECT_EQ(s.expect(">>", 0), 0);
    EXPECT_EQ(s.before, "xx");
    EXPECT_EQ(s.buffer, "yy");
    s.buffer = "xx>>yy";
    EXPECT_EQ(s.expect_exact(">>", 0), 0);
}

TEST(Expect, ZeroAndNegativeTimeOuts) {
    auto s = start(fixture + " sleep 5");
    EXPECT_THROW(s->expect("x", 0), TIMEOUT);
    // Searched once, no read at all.
    EXPECT_EQ(
        message_of<TIMEOUT>([&] { s->expect("x", -2); }).rfind("Timeout exceeded in expect_any().\n", 0), 0u);
    s->timeout = 0.1;
    EXPECT_EQ(s->expect({TIMEOUT{}}), 0);  // -1: the session's time-out
}

TEST(Expect, NoPatternsAtAll) {
    auto s = start(fixture + " print bye");
    EXPECT_THROW(s->expect(std::nullopt), EOF_);
    EXPECT_EQ(s->before, "bye");
    auto t = start(fixture + " sleep 5");
    EXPECT_THROW(t->expect(pattern_list{}, 0.1), TIMEOUT);
}

TEST(Expect, EarliestStartWinsThenListOrder) {
    auto s = start(fixture + " print 'xx foobar'");
    EXPECT_EQ(s->expect({"bar", "foo"}), 1);
    auto t = start(fixture + " print 'xx foobar'");
    EXPECT_EQ(t->expect({"foo", "foobar"}), 0);
    EXPECT_EQ(text(t->after), "foo");
}

TEST(Expect, ResultsDependOnHowOutputIsCut) {
    // "foo" arrives, then "bar" seconds later: foo is seen first.
    auto s = start(fixture + " pause foo 3 bar");
    EXPECT_EQ(s->expect({"foobar", "foo"}), 1);
    auto t = start(fixture + " print foobar");
    EXPECT_EQ(t->expect({"foobar", "foo"}), 0);
}

TEST(Expect, DotCrossesNewlinesAndIgnorecaseOnlyForStrings) {
    auto s = start(fixture + " lines 2");
    EXPECT_EQ(s->expect("1..line"), 0);
    EXPECT_EQ(text(s->after), "1\r\nline");

    auto t = start(fixture + " print 'Hello World'");
    t->ignorecase = true;
    EXPECT_EQ(t->expect({regex("world"), "WORLD"}), 1);
    auto u = start(fixture + " print 'Hello World'");
    u->ignorecase = true;
    EXPECT_EQ(u->expect({regex("world"), EOF_{}}), 1);  // compiled: its own rule
}

TEST(Expect, CompiledListIsReusable) {
    auto s = start(fixture + " lines 5");
    const auto list = s->compile_pattern_list({"line \\d", EOF_{}});
    int lines = 0;
    while (lines <= 5 && s->expect_list(list) == 0) ++lines;
    EXPECT_EQ(lines, 5);
}

TEST(Expect, InvalidPatternFailsBeforeReading) {
    auto s = start(fixture + " print text");
    s->buffer = "kept";
    EXPECT_NE(message_of<regex_error>([&] { s->expect({"ok", "a(b"}); }).find("a(b"), std::string::npos);
    EXPECT_EQ(s->buffer, "kept");
    EXPECT_FALSE(s->searcher);
}

TEST(ExpectExact, PlainStringsOnly) {
    auto s = start(fixture + " print 'a.c abc'");
    EXPECT_EQ(s->expect_exact("abc"), 0);
    EXPECT_EQ(s->before, "a.c ");
    auto t = start(fixture + " print 'abc a.c'");
    EXPECT_EQ(t->expect_exact(std::vector<std::string>{"x", "a.c"}), 1);
    EXPECT_EQ(t->before, "abc ");
    EXPECT_EQ(std::get<match_result>(t->match).str(), "a.c");
    EXPECT_EQ(t->expect_exact(EOF_{}), 0);
    EXPECT_NE(t->searcher->str().find("searcher_string:\n    0: EOF"), std::string::npos);
}

TEST(ExpectExact, PromptAfterMegabytesOfOutput) {
    auto s = start(fixture + " flood 4000000");
    s->maxread = 65536;
    s->delayafterread = 0;
    EXPECT_EQ(s->expect_exact("END", 60), 0);
    EXPECT_EQ(s->before->size(), 4000000u);
    auto t = start(fixture + " flood 4000000");
    EXPECT_EQ(t->expect("E.D", 60), 0);
    EXPECT_EQ(t->before->size(), 4000000u);
}

TEST(Expect, SearchWindow) {
    auto s = start(fixture + " print 'abc--xyz'");
    s->expect(EOF_{});
    s->buffer = "abc--xyz";
    EXPECT_EQ(s->expect({"abc", "xyz", EOF_{}}, 1, 3), 1);
    s->buffer = "abc--xyz";
    EXPECT_EQ(s->expect({"abc", EOF_{}}, 1, 0), 1);  // a window of 0 matches nothing
    s->buffer = "abc--xyz";
    EXPECT_EQ(s->expect_exact({"abc", EOF_{}}, 1, 0), 0);  // for plain strings: the whole buffer
}

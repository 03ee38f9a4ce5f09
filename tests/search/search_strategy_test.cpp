// searcher_string and searcher_re: windows, tie-breaks, sentinels, the
// description text, and resuming a regex search as the buffer grows.
#include <ptypilot/searcher.hpp>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

using ptypilot::regex;
using ptypilot::searcher_re;
using ptypilot::searcher_string;
using ptypilot::sentinel;

namespace {

constexpr sentinel eof = sentinel::eof;
constexpr sentinel timeout = sentinel::timeout;

searcher_re re_of(std::vector<searcher_re::entry> entries) { return searcher_re(entries); }

}  // namespace

TEST(SearcherConstruction, SentinelsAreSetAsideWithTheirLastPosition) {
    searcher_string s({"abc", eof, "x", timeout, eof});
    EXPECT_EQ(s.eof_index, 4);
    EXPECT_EQ(s.timeout_index, 3);
    ASSERT_EQ(s._strings.size(), 2u);
    EXPECT_EQ(s._strings[1], (std::pair<int, std::string>(2, "x")));
    EXPECT_EQ(s.str(), "searcher_string:\n    0: \"abc\"\n    2: \"x\"\n    3: TIMEOUT\n    4: EOF");

    auto r = re_of({timeout, regex("a.c"), timeout});
    EXPECT_EQ(r.timeout_index, 2);
    EXPECT_EQ(r.eof_index, -1);
    EXPECT_EQ(r._searches.at(0).first, 1);
    EXPECT_EQ(r.str(), "searcher_re:\n    1: re.compile(\"a.c\")\n    2: TIMEOUT");
}

TEST(SearcherConstruction, DescriptionsFollowListOrder) {
    EXPECT_EQ(searcher_string({"abc", eof, "x"}).str(),
              "searcher_string:\n    0: \"abc\"\n    1: EOF\n    2: \"x\"");
    EXPECT_EQ(re_of({regex("\\d+ files?", regex::dotall), eof, regex("(?P<p>\\$) ")}).str(),
              "searcher_re:\n    0: re.compile(\"\\d+ files?\")\n    1: EOF\n"
              "    2: re.compile(\"(?P<p>\\$) \")");
}

TEST(SearcherConstruction, OnlySentinelsNeverMatch) {
    searcher_string s({eof, timeout});
    EXPECT_EQ(s.search("anything", 8), -1);
    EXPECT_EQ(s.search("", 0, 0L), -1);
    EXPECT_EQ(s.str(), "searcher_string:\n    0: EOF\n    1: TIMEOUT");
    auto r = re_of({timeout});
    EXPECT_EQ(r.search("anything", 8), -1);
    EXPECT_EQ(r.str(), "searcher_re:\n    0: TIMEOUT");
    EXPECT_FALSE(r.start);
    EXPECT_FALSE(r.match);
}

TEST(SearcherTieBreaks, EarlierListEntryWinsAtTheSameStartWhateverItsLength) {
    searcher_string s({"ab", "abc"});
    EXPECT_EQ(s.search("abcd", 4), 0);
    EXPECT_EQ(s.start, 0u);
    EXPECT_EQ(s.end, 2u);
    EXPECT_EQ(s.match->str(), "ab");

    auto r = re_of({regex("ab"), regex("abc")});
    EXPECT_EQ(r.search("abcd", 4), 0);
    EXPECT_EQ(r.start, 0u);
    EXPECT_EQ(r.end, 2u);
}

TEST(SearcherTieBreaks, EarliestStartBeatsListOrder) {
    searcher_string s({"cd", "b"});
    EXPECT_EQ(s.search("abcd", 4), 1);
    EXPECT_EQ(s.start, 1u);
    auto r = re_of({regex("c+d"), eof, regex("b|d")});
    EXPECT_EQ(r.search("abcd", 4), 2);
    EXPECT_EQ(r.start, 1u);
    EXPECT_EQ(r.match->str(), "b");
}

TEST(SearcherResults, FailedSearchKeepsThePreviousMatch) {
    searcher_string s({"ok"});
    ASSERT_EQ(s.search("xok", 3), 0);
    EXPECT_EQ(s.search("zzz", 3), -1);
    EXPECT_EQ(s.start, 1u);
    EXPECT_EQ(s.end, 3u);
    EXPECT_EQ(s.match->str(), "ok");
    EXPECT_EQ(s.match->start(), 1u);

    auto r = re_of({regex("(?P<n>\\d)")});
    ASSERT_EQ(r.search("ab7", 3), 0);
    EXPECT_EQ(r.search("zzzz", 4), -1);
    EXPECT_EQ(r.start, 2u);
    EXPECT_EQ(r.match->group("n"), "7");
}

TEST(SearcherStringWindow, WithoutWindowLooksAtFreshTextAndLenBeforeIt) {
    searcher_string bc({"bc"});
    EXPECT_EQ(bc.search("abc", 1), 0);
    EXPECT_EQ(bc.start, 1u);
    searcher_string a({"a"});
    EXPECT_EQ(a.search("abc", 1), -1);
    // freshlen larger than the buffer just means all of it.
    EXPECT_EQ(a.search("abc", 10), 0);
}

TEST(SearcherStringWindow, EmptyPatternMatchesAtWindowStartBeforeTheEnd) {
    searcher_string s({""});
    EXPECT_EQ(s.search("abc", 0), 0);  // freshlen + len == 0: the whole buffer
    EXPECT_EQ(s.start, 0u);
    EXPECT_EQ(s.search("abc", 1), 0);
    EXPECT_EQ(s.start, 2u);
    EXPECT_EQ(s.end, 2u);
    EXPECT_EQ(s.search("", 0), -1);
    EXPECT_EQ(s.search("abc", 0, 0L), 0);
    EXPECT_EQ(s.start, 0u);
}

TEST(SearcherStringWindow, WindowIgnoresFreshlenAndZeroMeansWholeBuffer) {
    searcher_string s({"abc"});
    EXPECT_EQ(s.search("abcabc", 0, 4L), 0);
    EXPECT_EQ(s.start, 3u);
    EXPECT_EQ(s.search("abcabx", 0, 4L), -1);
    EXPECT_EQ(s.search("abcxxx", 1, 0L), 0);
    EXPECT_EQ(s.start, 0u);
    EXPECT_EQ(s.search("abcxxx", 1, 100L), 0);
    // A negative window is an absolute offset.
    EXPECT_EQ(s.search("abcabc", 0, -1L), 0);
    EXPECT_EQ(s.start, 3u);
}

TEST(SearcherReWindow, WindowBoundsWhereAMatchMayStartNotWhatItSees) {
    auto r = re_of({regex("(?<=a)b")});
    EXPECT_EQ(r.search("ab", 0, 1L), 0);
    EXPECT_EQ(r.start, 1u);
    auto ab = re_of({regex("ab")});
    EXPECT_EQ(ab.search("abab", 0, 3L), 0);
    EXPECT_EQ(ab.start, 2u);
    EXPECT_EQ(ab.search("abab", 0, 1L), -1);
    EXPECT_EQ(ab.search("abab", 0, 0L), -1);  // starts at the end: nothing
    EXPECT_EQ(ab.search("abab", 0, -5L), -1);
    // \A still means offset 0, not the window's start.
    EXPECT_EQ(re_of({regex("\\Ab")}).search("ab", 0, 1L), -1);
}

TEST(SearcherReWindow, EmptyMatchAtTheEndOfTheBufferNeverCounts) {
    auto r = re_of({regex("x*\\Z"), regex("$")});
    EXPECT_EQ(r.search("abc", 3), -1);
    EXPECT_EQ(r.search("", 0), -1);
    EXPECT_EQ(r.search("abc", 3, 0L), -1);
    // The same empty match before the end counts.
    auto e = re_of({regex("x*")});
    EXPECT_EQ(e.search("abc", 3), 0);
    EXPECT_EQ(e.start, 0u);
    EXPECT_EQ(e.end, 0u);
}

// The expect loop's pattern: search after every append, freshlen = chunk size.
class GrowingBuffer : public ::testing::Test {
protected:
    int feed(searcher_re& r, std::string_view chunk) {
        buffer_.append(chunk);
        return r.search_appended(buffer_, chunk.size());
    }
    std::string buffer_;
};

TEST_F(GrowingBuffer, MatchStraddlingChunksIsFound) {
    auto r = re_of({regex("READY> $"), regex("(?<=\\n)err(or)?\\b")});
    EXPECT_EQ(feed(r, "boot\nREA"), -1);
    EXPECT_EQ(r.resume_offset(0), 5u);
    EXPECT_EQ(feed(r, "DY"), -1);
    EXPECT_EQ(feed(r, "> "), 0);
    EXPECT_EQ(r.start, 5u);
    EXPECT_EQ(r.end, 12u);
}

TEST_F(GrowingBuffer, ReplacedBufferIsSearchedFromTheStart) {
    auto r = re_of({regex("foo")});
    EXPECT_EQ(feed(r, "zzzzzz"), -1);
    EXPECT_EQ(r.resume_offset(0), 6u);
    // Not an append of the previous buffer: the resume offset must not apply.
    EXPECT_EQ(r.search("foozzzz", 7), 0);
    EXPECT_EQ(r.start, 0u);
    // Nor after a windowed search of something else.
    EXPECT_EQ(r.search("zzzzzzzz", 8), -1);
    EXPECT_EQ(r.search("zfoozzzz", 8, 100L), 0);
    EXPECT_EQ(r.search("foozzzzzz", 1), 0);
    EXPECT_EQ(r.start, 0u);
    // search() answers for the buffer it is given, whatever freshlen claims.
    auto a = re_of({regex("a")});
    EXPECT_EQ(a.search("bb", 2), -1);
    EXPECT_EQ(a.search("ab", 0), 0);
    EXPECT_EQ(a.search("bb", 2), -1);
    EXPECT_EQ(a.search("ba", 1), 0);
    EXPECT_EQ(a.start, 1u);
}

TEST_F(GrowingBuffer, AnchoredPartialsAndHiddenCompleteMatchesKeepTheirStart) {
    // `ab|\z` completes with an empty match at the end while "ab" is still
    // partial; `.{3}` under DOTALL needs three bytes that have not all come.
    auto r = re_of({regex("ab|\\z"), regex("x.{3}", regex::dotall), regex("(?m)\\n^b")});
    EXPECT_EQ(feed(r, "a"), -1);
    EXPECT_EQ(feed(r, "x\n"), -1);
    EXPECT_EQ(feed(r, "b"), 2);
    EXPECT_EQ(r.start, 2u);
    EXPECT_EQ(feed(r, "b"), 1);
    EXPECT_EQ(r.start, 1u);
}

TEST_F(GrowingBuffer, PatternsThatDependOnTheStartOffsetAreRescanned) {
    // A search resumed past offset 0 would let \G match at the resume point,
    // and would skip the (*COMMIT) at offset 0 that makes the whole search fail.
    auto g = re_of({regex("\\Gb"), regex("a(*COMMIT)b|c"), regex("(?x) y z  # comment")});
    EXPECT_EQ(feed(g, "ac"), -1);
    EXPECT_EQ(feed(g, "b"), -1);
    EXPECT_EQ(feed(g, "c"), -1);
    EXPECT_EQ(g.resume_offset(0), 0u);
    EXPECT_EQ(g.resume_offset(1), 0u);
    EXPECT_EQ(feed(g, "yz"), 2);
    EXPECT_EQ(g.start, 4u);
}

TEST_F(GrowingBuffer, LeadingStartOfPatternOptionsStillResume) {
    auto r = re_of({regex("(*NO_START_OPT)(*LIMIT_MATCH=100000)abc")});
    EXPECT_EQ(feed(r, "xxa"), -1);
    EXPECT_EQ(r.resume_offset(0), 2u);
    EXPECT_EQ(feed(r, "bc"), 0);
    EXPECT_EQ(r.start, 2u);
}

TEST_F(GrowingBuffer, LongOutputIsExaminedOnceNotOverAndOver) {
    // 4 MB in 2,000-byte reads while waiting for a prompt: after each read the
    // resume offset must sit within the prompt's length of the end, so the
    // next search examines only the new bytes and a few before them.
    auto r = re_of({regex("READY> "), regex("(?i)fatal:\\s+\\w+")});
    std::string chunk;
    for (int i = 0; chunk.size() < 2000; ++i) chunk += "line " + std::to_string(i) + " REA\n";
    chunk.resize(1996);
    chunk += "READ";
    const std::size_t chunks = 4 * 1024 * 1024 / chunk.size();
    for (std::size_t i = 0; i < chunks; ++i) {
        ASSERT_EQ(feed(r, chunk), -1);
        ASSERT_GE(r.resume_offset(0) + 6, buffer_.size()) << "after chunk " << i;
        ASSERT_GE(r.resume_offset(1) + 20, buffer_.size()) << "after chunk " << i;
    }
    EXPECT_EQ(feed(r, "Y> "), 0);
    EXPECT_EQ(r.start, buffer_.size() - 7);
}

TEST(SearcherThreads, SearchersOnSeveralThreadsShareTheirRegexes) {
    // Fresh programs, so that the threads race to build the hunting programs.
    const std::vector<searcher_re::entry> entries = {regex("(?m)^\\[(?P<n>\\d+)\\] done$"), eof,
                                                     regex("panic: .*\\n", regex::dotall)};
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&entries, &failures, t] {
            for (int round = 0; round < 200; ++round) {
                searcher_re r(entries);
                const std::string id = std::to_string(t * 1000 + round);
                const std::string output = "step 1\nstep 2\n[" + id + "] done\nrest";
                std::string buffer;
                int found = -1;
                for (std::size_t at = 0; at < output.size() && found < 0; at += 3) {
                    const std::string chunk = output.substr(at, 3);
                    buffer += chunk;
                    found = r.search(buffer, chunk.size());
                }
                if (found != 0 || r.match->group("n") != id) ++failures;
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
}

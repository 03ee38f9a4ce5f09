// ptypilot::regex: Python-flavoured syntax on PCRE2, flags, match results,
// compile errors, sharing between copies and threads.
#include <ptypilot/regex.hpp>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

using ptypilot::match_result;
using ptypilot::regex;
using ptypilot::regex_error;

namespace {

std::optional<std::string> found(const regex& rx, std::string_view subject, std::size_t at = 0) {
    auto m = rx.search(subject, at);
    if (!m) return std::nullopt;
    return m->str();
}

}  // namespace

TEST(RegexFlags, DotallMakesDotMatchNewlineOnly) {
    EXPECT_FALSE(found(regex("a.b"), "a\nb"));
    EXPECT_EQ(found(regex("a.b", regex::dotall), "a\nb"), "a\nb");
    // Only "\n" ends a line: a carriage return is an ordinary byte.
    EXPECT_EQ(found(regex("a.b"), "a\rb"), "a\rb");
}

TEST(RegexFlags, IgnorecaseFoldsAsciiLettersOnly) {
    EXPECT_EQ(found(regex("abc", regex::ignorecase), "xABCx"), "ABC");
    EXPECT_FALSE(found(regex("abc"), "ABC"));
    EXPECT_FALSE(found(regex("\xe9", regex::ignorecase), "\xc9"));
    EXPECT_EQ(found(regex("[a-c]+", regex::ignorecase), "zBaC"), "BaC");
}

TEST(RegexFlags, MultilineAnchorsAtEveryLine) {
    EXPECT_FALSE(found(regex("^b"), "a\nb"));
    EXPECT_EQ(regex("^b", regex::multiline).search("a\nb")->start(), 2u);
    EXPECT_EQ(regex("a$", regex::multiline).search("a\nb")->start(), 0u);
    // As in Python, `^` also matches after a newline that ends the text.
    const auto m = regex("\n^", regex::multiline).search("a\n");
    ASSERT_TRUE(m);
    EXPECT_EQ(m->start(), 1u);
    EXPECT_EQ(m->end(), 2u);
}

TEST(RegexSyntax, PythonNamedGroupsAndBackreferences) {
    const auto m = regex(R"((?P<key>\w+)=(?P<val>\d+)(?P<unit>ms)?)").search("  timeout=250;");
    ASSERT_TRUE(m);
    EXPECT_EQ(m->size(), 4u);
    EXPECT_EQ(m->group("key"), "timeout");
    EXPECT_EQ(m->group("val"), "250");
    EXPECT_EQ(m->start(2), 10u);
    EXPECT_EQ(m->end(2), 13u);
    EXPECT_EQ(m->group("unit"), std::nullopt);
    EXPECT_EQ(m->start(3), match_result::npos);
    EXPECT_THROW(m->group("missing"), std::out_of_range);
    EXPECT_THROW(m->group(4), std::out_of_range);

    EXPECT_EQ(found(regex(R"((?P<q>['"]).*?(?P=q))"), R"(say "it's" now)"), R"("it's")");
}

TEST(RegexSyntax, BigZIsTheAbsoluteEndAndDollarAllowsAFinalNewline) {
    EXPECT_EQ(regex("a$").search("a\n")->start(), 0u);
    EXPECT_FALSE(found(regex(R"(a\Z)"), "a\n"));
    EXPECT_EQ(found(regex(R"(a\Z)"), "ba"), "a");
    EXPECT_FALSE(found(regex(R"(a\z)"), "a\n"));
    // Escaped backslashes and quoted text are not the \Z escape.
    EXPECT_EQ(found(regex(R"(\\Z)"), R"(x\Z)"), R"(\Z)");
    EXPECT_EQ(found(regex(R"(\Q\Z\E)"), R"(x\Z)"), R"(\Z)");
    EXPECT_EQ(regex(R"(a\Z)").pattern(), R"(a\Z)");
}

TEST(RegexSyntax, OpenLowerBoundRepeatsAsInPython) {
    EXPECT_EQ(found(regex("a{,2}b"), "aaab"), "aab");
    EXPECT_EQ(found(regex("xa{,}b"), "xaaab"), "xaaab");
    EXPECT_EQ(found(regex("[{,2}]+"), "a{,2}"), "{,2}");
    EXPECT_EQ(found(regex(R"(\{,2})"), "a{,2}"), "{,2}");
}

TEST(RegexSearch, LookbehindAndWordBoundariesSeeTextBeforeTheStartOffset) {
    const auto m = regex("(?<=a)b").search("ab", 1);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->start(), 1u);
    EXPECT_FALSE(found(regex(R"(\bfoo)"), "xfoo", 1));
    EXPECT_EQ(regex(R"(\bfoo)").search("x foo", 1)->start(), 2u);
}

TEST(RegexSearch, StartOfTextAnchorsOnlyAtOffsetZero) {
    EXPECT_FALSE(found(regex(R"(\Afoo)"), "foofoo", 1));
    EXPECT_FALSE(found(regex("^foo"), "foofoo", 1));
    EXPECT_TRUE(found(regex(R"(\Afoo)"), "foofoo", 0));
    EXPECT_FALSE(found(regex("a"), "a", 2));
}

TEST(RegexSearch, LeftmostFirstNotLongest) {
    EXPECT_EQ(found(regex("a|ab"), "xab"), "a");
    EXPECT_EQ(found(regex("a+?"), "aaa"), "a");
    const auto m = regex("x*").search("abc");
    ASSERT_TRUE(m);
    EXPECT_EQ(m->start(), 0u);
    EXPECT_EQ(m->end(), 0u);
    EXPECT_EQ(m->str(), "");
}

TEST(RegexSearch, BytesAreBytes) {
    EXPECT_EQ(found(regex(std::string_view("a\0b", 3)), std::string_view("xa\0b", 4)),
              std::string("a\0b", 3));
    // Not valid UTF-8, and `.` takes one byte at a time.
    EXPECT_EQ(found(regex("\xff."), "\xfe\xff\xc3"), "\xff\xc3");
    EXPECT_THROW(regex("(*UTF)a"), regex_error);
}

TEST(RegexSearch, ResultOwnsItsTextIncludingGroupsOutsideTheMatch) {
    std::optional<match_result> m;
    {
        std::string subject = "zzabcd";
        m = regex("(?<=(z))a(?=(bc))").search(subject);
        subject.assign(subject.size(), '#');
    }
    ASSERT_TRUE(m);
    EXPECT_EQ(m->str(), "a");
    EXPECT_EQ(m->group(1), "z");
    EXPECT_EQ(m->group(2), "bc");
    EXPECT_EQ(m->start(1), 1u);
    EXPECT_EQ(m->end(2), 5u);
}

TEST(RegexSearch, DuplicateNamesAnswerWithTheGroupThatTookPart) {
    const regex rx("(?J)(?:(?P<n>a)|(?P<n>b))");
    EXPECT_EQ(rx.search("b")->group("n"), "b");
    EXPECT_EQ(rx.search("a")->group("n"), "a");
}

// Each of these went wrong with PCRE2 10.42's JIT.
TEST(RegexSearch, AtomicAndPossessiveGroupsMatchTheSameFromEveryOffset) {
    const regex lazy_atomic("(?>.+?)\\n");
    for (std::size_t at = 0; at <= 7; ++at) {
        const auto m = lazy_atomic.search("abcdefgh\nx", at);
        ASSERT_TRUE(m) << "from " << at;
        EXPECT_EQ(m->start(), 7u);
    }
    const auto m = regex("(abc)*+x").search("abcabcax");
    ASSERT_TRUE(m);
    EXPECT_EQ(m->start(), 7u);
    EXPECT_EQ(m->group(1), std::nullopt);
    EXPECT_TRUE(regex("((a\\1)|.{2,}){2,}+").search("bbab"));
}

TEST(RegexSearch, EngineLimitIsAnErrorNotANonMatch) {
    const regex rx("(*LIMIT_MATCH=200)(a+)+$");
    EXPECT_THROW(rx.search(std::string(30, 'a') + "b"), std::runtime_error);
}

TEST(RegexErrors, MessageNamesPatternAndOffset) {
    try {
        regex("a(b");
        FAIL() << "compiled";
    } catch (const regex_error& e) {
        EXPECT_STREQ(e.what(), "invalid regular expression \"a(b\" at offset 3: missing closing parenthesis");
        EXPECT_EQ(e.pattern(), "a(b");
        EXPECT_EQ(e.offset(), 3u);
    }
    EXPECT_THROW(regex("*"), std::invalid_argument);
}

TEST(RegexErrors, OffsetCountsInTheSourceAsWritten) {
    // The rewrite of {,n} inserts a character; the reported offset must not move.
    try {
        regex("a{,2}[b");
        FAIL() << "compiled";
    } catch (const regex_error& e) {
        EXPECT_EQ(e.offset(), 7u);
        EXPECT_NE(std::string(e.what()).find("at offset 7:"), std::string::npos);
    }
}

TEST(RegexSharing, CopiesShareTheProgramAndFlagsKeepProgramsApart) {
    const regex a("(?P<w>prompt)", regex::ignorecase | regex::dotall);
    const regex b = a;  // NOLINT(performance-unnecessary-copy-initialization)
    EXPECT_EQ(a.code().get(), b.code().get());
    EXPECT_EQ(b.pattern(), "(?P<w>prompt)");
    EXPECT_EQ(b.flags(), regex::ignorecase | regex::dotall);
    EXPECT_EQ(b.search("a PROMPT")->group("w"), "PROMPT");
    EXPECT_FALSE(regex("(?P<w>prompt)").search("a PROMPT"));
}

TEST(RegexSharing, OneRegexSearchedFromSeveralThreadsAtOnce) {
    const regex rx(R"((?P<n>\d+)(?P<tail>[a-z]*)\Z)");
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&rx, &failures, t] {
            for (int i = 0; i < 2000; ++i) {
                const std::string number = std::to_string(t * 100000 + i);
                const std::string tail(static_cast<std::size_t>(i % 7), static_cast<char>('a' + t));
                const auto m = rx.search("id " + number + tail);
                if (!m || m->group("n") != number || m->group("tail") != tail) ++failures;
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
}

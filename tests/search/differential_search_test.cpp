// searcher_re resumes its search as the buffer grows instead of rescanning
// it; whatever the patterns and however the output is cut into reads, the
// answers must be those of a plain rescan. Random patterns and outputs from a
// seeded generator, driven the way the expect loop drives a searcher.
#include <ptypilot/searcher.hpp>

#include "support/search_oracle.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

using ptypilot::match_result;
using ptypilot::regex;
using ptypilot::searcher_re;
using search_oracle::answer;
using search_oracle::answer_of;
using search_oracle::rescan;

namespace {

class pattern_maker {
public:
    explicit pattern_maker(std::uint64_t seed) : rng_(seed) {}

    std::string make() {
        groups_ = 0;
        names_.clear();
        // Random nested quantifiers can backtrack for ages; a low limit turns
        // that into a quick error (and puts a start-of-pattern option first).
        std::string p = "(*LIMIT_MATCH=20000)";
        // JIT and the interpreter reach partial matches by different code.
        if (chance(2)) p += "(*NO_JIT)";
        // Conventions in which CR LF is one newline.
        if (chance(8)) p += pick({"(*CRLF)", "(*ANYCRLF)", "(*ANY)"});
        if (chance(4)) p += pick({"(?m)", "(?s)", "(?i)", "(?-s)"});
        if (chance(60)) p += pick({"\\G", "(*COMMIT)", "(?x)"});
        p += alternation(0);
        return p;
    }

    unsigned flags() {
        unsigned f = regex::none;
        if (chance(2)) f |= regex::dotall;
        if (chance(4)) f |= regex::ignorecase;
        if (chance(3)) f |= regex::multiline;
        return f;
    }

    std::string output() {
        static constexpr char alphabet[] = "aabbc\nA \r";
        std::string out(below(40), ' ');
        for (char& c : out) c = alphabet[below(sizeof alphabet - 1)];
        return out;
    }

    std::size_t below(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_); }
    bool chance(std::size_t one_in) { return below(one_in) == 0; }

private:
    std::string pick(std::initializer_list<const char*> options) {
        return *(options.begin() + static_cast<long>(below(options.size())));
    }

    std::string alternation(int depth) {
        std::string s = sequence(depth);
        while (chance(4)) s += "|" + sequence(depth);
        return s;
    }

    std::string sequence(int depth) {
        std::string s;
        const std::size_t n = below(4) + (depth == 0 ? 1 : 0);
        for (std::size_t i = 0; i < n; ++i) s += item(depth);
        return s;
    }

    std::string item(int depth) {
        switch (below(depth < 3 ? 12 : 8)) {
            case 0:
            case 1:
            case 2: return literal() + quantifier();
            case 3:
                return pick({".", "[ab]", "[^a]", "[a-c]", "\\w", "\\W", "\\s", "[[:alpha:]]"}) +
                       quantifier();
            case 4: return pick({"^", "$", "\\A", "\\z", "\\Z", "\\b", "\\B"});
            case 5: return backreference();
            case 6: return chance(3) ? "\\K" : literal();
            case 7: return "(?" + pick({"<=", "<!"}) + fixed_width() + ")";
            case 8: return "(?" + pick({"=", "!"}) + alternation(depth + 1) + ")";
            case 9: return "(?:" + alternation(depth + 1) + ")" + quantifier();
            case 10: return "(?>" + alternation(depth + 1) + ")" + quantifier();
            default: {
                const bool named = chance(3);
                const std::string name = "n" + std::to_string(groups_);
                const std::string body = alternation(depth + 1);
                ++groups_;
                if (named) names_.push_back(name);
                return (named ? "(?P<" + name + ">" : "(") + body + ")" + quantifier();
            }
        }
    }

    std::string literal() { return pick({"a", "b", "c", "A", "\\n", " ", "ab", "ba", "\\R"}); }

    std::string fixed_width() {
        std::string s;
        for (std::size_t n = below(3) + 1; n > 0; --n) s += pick({"a", "b", ".", "[ab]", "\\n", "\\w"});
        if (chance(4)) s += "|" + pick({"c", "aa", "\\s"});
        return s;
    }

    std::string backreference() {
        if (!names_.empty() && chance(2)) return "(?P=" + names_[below(names_.size())] + ")";
        if (groups_ > 0) return "\\" + std::to_string(below(groups_) + 1);
        return literal();
    }

    std::string quantifier() {
        if (chance(2)) return "";
        std::string q = pick({"*", "+", "?", "{2}", "{0,2}", "{1,3}", "{,2}", "{2,}"});
        const std::size_t mode = below(6);
        if (mode == 0) q += "?";
        if (mode == 1) q += "+";
        return q;
    }

    std::mt19937_64 rng_;
    std::size_t groups_ = 0;
    std::vector<std::string> names_;
};

std::string describe_case(const searcher_re& s, const std::string& buffer, std::size_t step,
                          std::optional<long> window) {
    std::ostringstream os;
    os << s.str() << "\nflags:";
    for (const auto& [i, rx] : s._searches) os << " " << rx.flags();
    os << "\nbuffer: \"";
    for (char c : buffer)
        os << (c == '\n' ? std::string("\\n") : c == '\r' ? std::string("\\r") : std::string(1, c));
    os << "\" after step " << step << ", window " << (window ? std::to_string(*window) : "none");
    return os.str();
}

}  // namespace

TEST(DifferentialSearch, ResumedSearchEqualsFullRescan) {
    pattern_maker maker(20240611);
    std::size_t cases = 0;
    std::size_t uncompilable = 0;
    std::size_t searches = 0;
    std::size_t matches = 0;
    std::size_t late_matches = 0;  // found after more than one read
    std::size_t over_limit = 0;

    while (cases < 20000) {
        std::vector<searcher_re::entry> entries;
        bool compiled = true;
        for (std::size_t k = maker.below(3) + 1; k > 0 && compiled; --k) {
            try {
                entries.emplace_back(regex(maker.make(), maker.flags()));
            } catch (const ptypilot::regex_error&) {
                compiled = false;
            }
            if (maker.chance(8)) entries.emplace_back(ptypilot::sentinel::timeout);
        }
        if (!compiled) {
            ++uncompilable;
            continue;
        }
        ++cases;

        for (int run = 0; run < 4; ++run) {
            const std::string output = maker.output();
            // An expect call: a fresh searcher whose first search sees all of
            // the buffer as fresh, then one search per read.
            std::string buffer;
            std::optional<long> window;
            auto expect_call = [&] {
                window = std::nullopt;
                if (maker.chance(5)) window = static_cast<long>(maker.below(12));
                return searcher_re(entries);
            };
            searcher_re searcher = expect_call();
            std::size_t pos = 0;
            std::size_t step = 0;
            std::size_t fresh = 0;
            std::size_t reads_in_call = 0;
            // Only what a read appended may be searched as a continuation.
            bool appended = false;
            while (true) {
                int index = -1;
                answer want;
                try {
                    want = rescan(searcher._searches, buffer, window);
                    index = appended ? searcher.search_appended(buffer, fresh, window)
                                     : searcher.search(buffer, fresh, window);
                } catch (const std::runtime_error&) {
                    ++over_limit;
                    break;
                }
                const answer got = index < 0 ? answer{} : answer_of(index, *searcher.match);
                if (index >= 0) {
                    ASSERT_EQ(searcher.start, got.start);
                    ASSERT_EQ(searcher.end, got.end);
                }
                ++searches;
                ASSERT_EQ(got, want) << describe_case(searcher, buffer, step, window);
                if (index >= 0) {
                    ++matches;
                    if (reads_in_call > 1) ++late_matches;
                    // Mostly as the expect loop goes on: consume up to the
                    // match's end and start a new call. Sometimes keep
                    // searching a growing buffer with the same searcher.
                    // An empty match at 0 would be found again at once, forever.
                    if (got.end > 0 && !maker.chance(4)) {
                        buffer.erase(0, got.end);
                        // Now and then the same searcher goes on with the
                        // rest, which does not extend what it saw last.
                        if (!maker.chance(3)) searcher = expect_call();
                        fresh = buffer.size();
                        appended = false;
                        reads_in_call = 0;
                        ++step;
                        continue;
                    }
                }
                if (pos == output.size()) break;
                const std::size_t chunk = std::min(output.size() - pos, maker.below(6) + 1);
                buffer.append(output, pos, chunk);
                pos += chunk;
                fresh = chunk;
                appended = true;
                ++reads_in_call;
                ++step;
            }
        }
    }
    // Guard against a generator that drifted into testing nothing.
    EXPECT_LT(uncompilable, cases / 4);
    EXPECT_LT(over_limit, cases / 50);
    EXPECT_GT(matches, searches / 10);
    EXPECT_GT(late_matches, matches / 10);
    RecordProperty("searches", static_cast<int>(searches));
}

// Both search strategies, driven the way the expect loop drives them (a
// search after every read, stopping at the first match), against a plain
// search of the whole buffer written straight from the rules: earliest start
// wins, list order breaks ties, and a match that begins at the very end of
// the buffer does not count.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <ptypilot/searcher.hpp>

#include "support/search_oracle.hpp"

using ptypilot::match_result;
using ptypilot::regex;
using ptypilot::searcher_re;
using ptypilot::searcher_string;
using search_oracle::answer;
using search_oracle::answer_of;

namespace {

[[noreturn]] void mismatch(const char* what, const std::vector<std::string>& patterns,
                           const std::string& buffer, const answer& got, const answer& want) {
    std::fprintf(stderr, "%s: resumed search differs from a rescan\n", what);
    for (const auto& p : patterns) std::fprintf(stderr, "  pattern: %s\n", p.c_str());
    std::fprintf(stderr, "  buffer (%zu bytes)\n  got index %d %zu..%zu, want index %d %zu..%zu\n",
                 buffer.size(), got.index, got.start, got.end, want.index, want.start, want.end);
    std::abort();
}

// Pieces that mostly combine into patterns that compile, so that the fuzzer
// spends its time on matching rather than on syntax errors.
const char* const tokens[] = {
    "a",           "b",        "c",    "A",    "\\n",       " ",    "ab",        ".",       "[ab]",
    "[^a]",        "\\w",      "\\W",  "\\s",  "\\d",       "^",    "$",         "\\A",     "\\z",
    "\\Z",         "\\b",      "\\B",  "\\G",  "(",         "(?:",  "(?=",       "(?!",     "(?<=a)",
    "(?<!b)",      "(?<=\\n)", "(?>",  ")",    ")",         "|",    "*",         "+",       "?",
    "{2}",         "{0,2}",    "{2,}", "*?",   "+?",        "*+",   "\\1",       "\\2",     "(?P<n>",
    "(?P=n)",      "\\K",      "(?m)", "(?s)", "(?i)",      "(?x)", "(*COMMIT)", "(*SKIP)", "(*PRUNE)",
    "(*FAIL)",     "\\Q",      "\\E",  "(?|",  "(?(1)a|b)", "#",    "\\x00",     "\xff",    "(*ACCEPT)",
    "[[:alpha:]]", "(?1)",     "(?R)", "$\\n", "\\h",       "\\R",  "\\X",
};
constexpr std::size_t token_count = sizeof tokens / sizeof tokens[0];

std::string make_pattern(FuzzedDataProvider& in) {
    // Nested quantifiers can backtrack for ages: a low limit turns that into
    // a quick error. A leading option must stay first, so this one is first.
    std::string p = "(*LIMIT_MATCH=20000)";
    if (in.ConsumeBool()) p += "(*NO_JIT)";
    if (in.ConsumeIntegralInRange<int>(0, 3) == 0) return p + in.ConsumeRandomLengthString(24);
    for (std::size_t n = in.ConsumeIntegralInRange<std::size_t>(1, 10); n > 0; --n)
        p += tokens[in.ConsumeIntegralInRange<std::size_t>(0, token_count - 1)];
    return p;
}

std::string make_output(FuzzedDataProvider& in) {
    static constexpr char alphabet[] = "aabbc\nA \0";
    std::string out = in.ConsumeRandomLengthString(64);
    if (in.ConsumeBool())
        for (char& c : out) c = alphabet[static_cast<unsigned char>(c) % (sizeof alphabet - 1)];
    return out;
}

void fuzz_re(FuzzedDataProvider& in) {
    std::vector<searcher_re::entry> entries;
    std::vector<std::string> sources;
    for (std::size_t k = in.ConsumeIntegralInRange<std::size_t>(1, 3); k > 0; --k) {
        if (in.ConsumeIntegralInRange<int>(0, 7) == 0) entries.emplace_back(ptypilot::sentinel::timeout);
        sources.push_back(make_pattern(in));
        try {
            entries.emplace_back(regex(sources.back(), in.ConsumeIntegral<std::uint8_t>() & 7u));
        } catch (const ptypilot::regex_error&) {
            return;
        }
    }
    const std::string output = make_output(in);

    std::string buffer;
    auto searcher = std::make_unique<searcher_re>(entries);
    std::size_t fresh = 0;
    std::size_t pos = 0;
    bool appended = false;  // only a read's bytes may be searched as a continuation
    try {
        for (;;) {
            const answer want = search_oracle::rescan(searcher->_searches, buffer);
            const int index =
                appended ? searcher->search_appended(buffer, fresh) : searcher->search(buffer, fresh);
            const answer got = index < 0 ? answer{} : answer_of(index, *searcher->match);
            if (index >= 0 && (searcher->start != got.start || searcher->end != got.end))
                mismatch("searcher_re start/end", sources, buffer, got, want);
            if (!(got == want)) mismatch("searcher_re", sources, buffer, got, want);
            if (index >= 0) {
                // As the expect loop goes on: what follows the match is the
                // next call's buffer. An empty match at 0 would repeat forever.
                if (got.end == 0) return;
                buffer.erase(0, got.end);
                // Sometimes the same searcher goes on with a buffer that does
                // not extend the one it saw last.
                if (in.ConsumeBool()) searcher = std::make_unique<searcher_re>(entries);
                fresh = buffer.size();
                appended = false;
                continue;
            }
            if (pos == output.size()) return;
            const std::size_t chunk =
                std::min(output.size() - pos, in.ConsumeIntegralInRange<std::size_t>(1, 8));
            buffer.append(output, pos, chunk);
            pos += chunk;
            fresh = chunk;
            appended = true;
        }
    } catch (const std::runtime_error&) {
        // The match limit: either side may reach it first.
    }
}

void fuzz_string(FuzzedDataProvider& in) {
    std::vector<searcher_string::entry> entries;
    std::vector<std::string> sources;
    for (std::size_t k = in.ConsumeIntegralInRange<std::size_t>(1, 4); k > 0; --k) {
        if (in.ConsumeIntegralInRange<int>(0, 7) == 0) entries.emplace_back(ptypilot::sentinel::eof);
        std::string s = in.ConsumeRandomLengthString(6);
        for (char& c : s) c = "abc\n"[static_cast<unsigned char>(c) % 4];
        sources.push_back(s);
        entries.emplace_back(std::move(s));
    }
    // A window: none (the expect loop's default), or a fixed one.
    std::optional<long> window;
    if (in.ConsumeBool()) window = in.ConsumeIntegralInRange<long>(-4, 12);
    std::string output = in.ConsumeRandomLengthString(64);
    for (char& c : output) c = "aabbc\n"[static_cast<unsigned char>(c) % 6];

    std::string buffer;
    auto searcher = std::make_unique<searcher_string>(entries);
    std::size_t fresh = 0;
    std::size_t pos = 0;
    for (;;) {
        // Without a window a search of only the fresh text (and what could
        // straddle it) must equal a search of everything. With one, the
        // search starts len - w bytes back, where -0 means the whole buffer
        // and a negative w is the absolute offset -w.
        std::size_t from = 0;
        if (window && *window > 0)
            from = static_cast<std::size_t>(*window) >= buffer.size()
                       ? 0
                       : buffer.size() - static_cast<std::size_t>(*window);
        else if (window && *window < 0)
            from = static_cast<std::size_t>(-*window);
        const answer want = search_oracle::naive_string(searcher->_strings, buffer, from);
        const int index = searcher->search(buffer, fresh, window);
        answer got;
        if (index >= 0) got = answer{index, *searcher->start, *searcher->end, {}};
        if (!(got == want)) mismatch("searcher_string", sources, buffer, got, want);
        if (index >= 0) {
            if (searcher->match->str() != buffer.substr(got.start, got.end - got.start))
                mismatch("searcher_string match text", sources, buffer, got, want);
            if (got.end == 0) return;
            buffer.erase(0, got.end);
            searcher = std::make_unique<searcher_string>(entries);
            fresh = buffer.size();
            continue;
        }
        if (pos == output.size()) return;
        const std::size_t chunk = std::min(output.size() - pos, in.ConsumeIntegralInRange<std::size_t>(1, 8));
        buffer.append(output, pos, chunk);
        pos += chunk;
        fresh = chunk;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    if (in.ConsumeIntegralInRange<int>(0, 3) == 0)
        fuzz_string(in);
    else
        fuzz_re(in);
    return 0;
}

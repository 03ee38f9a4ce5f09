// Reading pattern source text: the Python-to-PCRE2 rewrite and the checks that
// decide how a pattern may be searched.
#include "search/regex_code.hpp"

#include <algorithm>
#include <array>
#include <cctype>

namespace ptypilot::detail {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Length of a POSIX class name such as `[:alpha:]` or `[:^digit:]` starting
// at `at` (which holds the `[`), or 0 if none starts there.
std::size_t posix_class_length(std::string_view s, std::size_t at) {
    if (s.compare(at, 2, "[:") != 0) return 0;
    std::size_t i = at + 2;
    if (i < s.size() && s[i] == '^') ++i;
    while (i < s.size() && std::isalpha(static_cast<unsigned char>(s[i]))) ++i;
    return s.compare(i, 2, ":]") == 0 ? i + 2 - at : 0;
}

}  // namespace

std::size_t translated_pattern::original_offset(std::size_t translated) const {
    const auto before = std::lower_bound(inserted.begin(), inserted.end(), translated);
    return translated - static_cast<std::size_t>(before - inserted.begin());
}

// Two spellings mean something else to PCRE2 than to a Python user, and both
// are rewritten outside character classes, quoted text and comments:
// - `\Z` is the absolute end of the text in Python but "end or before a final
//   newline" in PCRE2; it becomes PCRE2's `\z`. `$` needs nothing: both
//   engines let it match before a final newline.
// - `{,n}` is "0 to n times" in Python but literal text in PCRE2 10.42; it
//   becomes `{0,n}` (and `{,}` becomes `{0,}`).
// Escapes are consumed in pairs, so `\\Z` (a backslash, then Z) stays as is.
translated_pattern translate_python_syntax(std::string_view s) {
    translated_pattern out;
    out.text.reserve(s.size() + 2);
    bool in_class = false;
    bool quoted = false;  // inside \Q...\E
    std::size_t i = 0;
    while (i < s.size()) {
        const char c = s[i];
        if (quoted) {
            if (s.compare(i, 2, "\\E") == 0) {
                quoted = false;
                out.text += "\\E";
                i += 2;
            } else {
                out.text += c;
                ++i;
            }
            continue;
        }
        if (c == '\\') {
            if (i + 1 == s.size()) {
                out.text += c;  // PCRE2 reports the dangling backslash
                ++i;
                continue;
            }
            const char d = s[i + 1];
            if (d == 'Q') quoted = true;
            out.text += c;
            out.text += (d == 'Z' && !in_class) ? 'z' : d;
            i += 2;
            continue;
        }
        if (in_class) {
            if (const std::size_t n = posix_class_length(s, i); n != 0) {
                out.text.append(s.substr(i, n));
                i += n;
                continue;
            }
            if (c == ']') in_class = false;
            out.text += c;
            ++i;
            continue;
        }
        if (c == '[') {
            in_class = true;
            out.text += c;
            ++i;
            // A `]` first in the class (after an optional `^`) is literal.
            if (i < s.size() && s[i] == '^') out.text += s[i++];
            if (i < s.size() && s[i] == ']') out.text += s[i++];
            continue;
        }
        if (s.compare(i, 3, "(?#") == 0) {
            const std::size_t close = s.find(')', i);
            const std::size_t stop = close == std::string_view::npos ? s.size() : close + 1;
            out.text.append(s.substr(i, stop - i));
            i = stop;
            continue;
        }
        if (c == '{' && i + 1 < s.size() && s[i + 1] == ',') {
            std::size_t j = i + 2;
            while (j < s.size() && is_digit(s[j])) ++j;
            if (j < s.size() && s[j] == '}') {
                out.text += '{';
                out.inserted.push_back(out.text.size());
                out.text += '0';
                out.text.append(s.substr(i + 1, j - i));
                i = j + 1;
                continue;
            }
        }
        out.text += c;
        ++i;
    }
    return out;
}

// `\G` and `(*COMMIT)` make a match depend on where the search started (a
// resumed search would start elsewhere than a rescan). So does a newline
// convention in which CR LF is one newline (`(*CRLF)`, `(*ANYCRLF)`,
// `(*ANY)`): PCRE2 never starts between the two, except at the start offset,
// and a read that ends after the CR leaves the resume point just there. PCRE2
// 10.42's interpreter reports no partial match for a `\R?` that stops at a
// CR ending the subject, and resuming would skip the match the LF completes.
// Extended mode set inline (`(?x)`) lets a trailing `#` comment swallow the
// text appended to build the hunting program. Plain substring tests: a
// `\\G` or an `x` in some other construct only costs speed.
bool needs_rescan(std::string_view t) {
    for (const std::string_view marker : {"\\G", "\\R", "(*COMMIT", "(*CR", "(*ANY"})
        if (t.find(marker) != std::string_view::npos) return true;
    for (std::size_t at = t.find("(?"); at != std::string_view::npos; at = t.find("(?", at + 1)) {
        for (std::size_t i = at + 2; i < t.size(); ++i) {
            const char c = t[i];
            if (c == 'x') return true;
            if (!(std::isalpha(static_cast<unsigned char>(c)) || c == '^' || c == '-')) break;
        }
    }
    return false;
}

// PCRE2 10.42's JIT goes wrong on atomic groups and on groups with a
// possessive repeat, which it compiles alike:
// - `(?>.+?)\n` on "abcdefgh\nx" finds nothing when started from an even
//   offset, the match at 7 when started from an odd one;
// - `(abc)*+x` on "abcabcax" reports group 1 at 3..6, left over from a failed
//   attempt at an earlier start, for the match at 7 in which the group took
//   no part;
// - `((a\1)|.{2,}){2,}+` on "bbab" crashes inside the JIT code.
// The interpreter gets all of them right, and random patterns without these
// two constructs (some 180,000 of them, over every start offset of random
// subjects) showed no difference between the two engines. Such patterns run
// on the interpreter; a match of `(?>` or of `)` followed by a possessive
// quantifier that is really escaped or in a class only costs speed.
bool jit_unreliable(std::string_view t) {
    if (t.find("(?>") != std::string_view::npos) return true;
    for (std::size_t at = t.find(')'); at != std::string_view::npos; at = t.find(')', at + 1)) {
        std::size_t i = at + 1;
        if (i >= t.size()) break;
        if (t[i] == '*' || t[i] == '+' || t[i] == '?') {
            ++i;
        } else if (t[i] == '{') {
            ++i;
            while (i < t.size() && (is_digit(t[i]) || t[i] == ',')) ++i;
            if (i >= t.size() || t[i] != '}') continue;
            ++i;
        } else {
            continue;
        }
        if (i < t.size() && t[i] == '+') return true;
    }
    return false;
}

std::size_t leading_options_length(std::string_view t) {
    static constexpr std::array<std::string_view, 16> plain = {"UTF",
                                                               "UCP",
                                                               "NOTEMPTY",
                                                               "NOTEMPTY_ATSTART",
                                                               "NO_AUTO_POSSESS",
                                                               "NO_DOTSTAR_ANCHOR",
                                                               "NO_JIT",
                                                               "NO_START_OPT",
                                                               "CR",
                                                               "LF",
                                                               "CRLF",
                                                               "ANYCRLF",
                                                               "ANY",
                                                               "NUL",
                                                               "BSR_ANYCRLF",
                                                               "BSR_UNICODE"};
    static constexpr std::array<std::string_view, 4> limits = {
        "LIMIT_DEPTH=", "LIMIT_HEAP=", "LIMIT_MATCH=", "LIMIT_RECURSION="};
    std::size_t at = 0;
    while (t.compare(at, 2, "(*") == 0) {
        const std::size_t close = t.find(')', at);
        if (close == std::string_view::npos) break;
        const std::string_view name = t.substr(at + 2, close - at - 2);
        bool option = std::find(plain.begin(), plain.end(), name) != plain.end();
        for (std::string_view limit : limits) {
            if (name.size() > limit.size() && name.substr(0, limit.size()) == limit &&
                std::all_of(name.begin() + static_cast<long>(limit.size()), name.end(), is_digit))
                option = true;
        }
        if (!option) break;  // a verb such as (*FAIL) belongs inside the group
        at = close + 1;
    }
    return at;
}

}  // namespace ptypilot::detail

// Command-line splitting and the launcher's own grammar on arbitrary bytes:
// no crash, and the properties a caller relies on.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include <ptypilot/split_command_line.hpp>

#include "launcher/grammar.hpp"

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

[[noreturn]] void fail() { std::abort(); }
void check(bool ok) {
    if (!ok) fail();
}

// Each word written in one of three ways that the splitter must undo.
std::string quote(const std::string& word, std::uint8_t style) {
    std::string out;
    // Nothing would be left of an empty word written with backslashes.
    switch (word.empty() ? 0 : style % 3) {
        case 0:  // single quotes, with a quote itself escaped outside them
            out = "'";
            for (char c : word) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
            return out + "'";
        case 1:  // double quotes know no escapes: a double quote is escaped outside
            out = "\"";
            for (char c : word) out += c == '"' ? std::string("\"\\\"\"") : std::string(1, c);
            return out + "\"";
        default:  // every byte escaped with a backslash
            for (char c : word) {
                out += '\\';
                out += c;
            }
            return out;
    }
}

// Splitting plain text (no quote, no backslash) by hand: a word ends at the
// first blank of a run, so a leading blank makes an empty first word.
std::vector<std::string> plain_split(std::string_view text) {
    std::vector<std::string> words;
    std::string word;
    bool in_blanks = false;
    for (char c : text) {
        if (is_blank(c)) {
            if (!in_blanks) words.push_back(std::move(word));
            word.clear();
            in_blanks = true;
        } else {
            word += c;
            in_blanks = false;
        }
    }
    if (!word.empty()) words.push_back(std::move(word));
    return words;
}

void split_properties(std::string_view text) {
    const auto words = ptypilot::split_command_line(text);
    const bool plain = text.find_first_of("'\"\\") == std::string_view::npos;
    if (plain) {
        // A blank inside a word needs a quote or a backslash to get there.
        for (const auto& w : words)
            for (char c : w) check(!is_blank(c));
        check(words == plain_split(text));
    }
    // Words are built from the input's bytes only.
    std::size_t total = 0;
    for (const auto& w : words) total += w.size();
    check(total <= text.size());
}

void round_trip(FuzzedDataProvider& in) {
    std::vector<std::string> words;
    std::string line;
    const std::size_t count = in.ConsumeIntegralInRange<std::size_t>(1, 6);
    for (std::size_t i = 0; i < count; ++i) {
        std::string w = in.ConsumeRandomLengthString(24);
        // A final empty word is dropped by design (nothing closes it).
        if (i + 1 == count && w.empty()) w = "x";
        const std::uint8_t style = in.ConsumeIntegral<std::uint8_t>();
        if (i != 0) line += std::string(1 + style / 128, style & 1 ? '\t' : ' ');
        line += quote(w, style);
        words.push_back(std::move(w));
    }
    check(ptypilot::split_command_line(line) == words);
}

void launcher_properties(FuzzedDataProvider& in) {
    static const char* const keywords[] = {"CD",   "ENV",    "--", "A=b", "=x",
                                           "N=\n", "N=a\nb", "cd", "-h",  "--version"};
    std::vector<std::string> words;
    const std::size_t count = in.ConsumeIntegralInRange<std::size_t>(0, 12);
    for (std::size_t i = 0; i < count; ++i) {
        if (in.ConsumeBool())
            words.emplace_back(keywords[in.ConsumeIntegralInRange<std::size_t>(0, std::size(keywords) - 1)]);
        else
            words.push_back(in.ConsumeRandomLengthString(16));
    }
    const auto req = ptypilot::launcher::parse_words(words);

    // A first word that asks for the usage or the version runs nothing,
    // whatever follows; anywhere else such a word is an ordinary one.
    const bool asks = !words.empty() && (words[0] == "-h" || words[0] == "--help" || words[0] == "--version");
    check(asks == (req.query != ptypilot::launcher::launcher_query::none));
    if (asks) {
        check(req.cmdline.empty() && req.cdto.empty() && req.env.empty());
        return;
    }

    // The command is the tail of the words, taken whole.
    check(req.cmdline.size() <= words.size());
    check(std::equal(req.cmdline.rbegin(), req.cmdline.rend(), words.rbegin()));
    // A program word is one that a plain left-to-right reading reaches
    // outside every CD/ENV block, or anything after a bare "--".
    bool has_program = false;
    for (std::size_t i = 0; i < words.size() && !has_program; ++i) {
        const std::string& w = words[i];
        if (w == "CD" || w == "ENV") {
            while (i + 1 < words.size() && words[i + 1] != "--") ++i;
            ++i;  // the closing "--" (or past the end)
        } else if (w == "--") {
            has_program = i + 1 < words.size();
        } else {
            has_program = true;
        }
    }
    check(req.cmdline.empty() == !has_program);

    for (const auto& [name, value] : req.env) {
        check(!name.empty());
        check(name.find('=') == std::string::npos);
        check(value.find('\n') == std::string::npos);
    }
    for (const auto& d : req.cdto) check(d != "--");
    std::string joined;
    for (std::size_t i = 0; i < req.cdto.size(); ++i) joined += (i ? " " : "") + req.cdto[i];
    check(req.working_directory() == joined);

    for (const auto& w : words) {
        std::string name = "unchanged", value = "unchanged";
        if (ptypilot::launcher::split_assignment(w, name, value)) {
            const std::size_t eq = w.find('=');
            check(eq != std::string::npos && eq > 0);
            check(name == w.substr(0, eq));
            std::string rest = w.substr(eq + 1);
            if (!rest.empty() && rest.back() == '\n') rest.pop_back();
            check(value == rest);
            check(value.find('\n') == std::string::npos);
        } else {
            check(name == "unchanged" && value == "unchanged");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    split_properties(std::string_view(reinterpret_cast<const char*>(data), size));
    FuzzedDataProvider in(data, size);
    switch (in.ConsumeIntegralInRange<int>(0, 1)) {
        case 0: round_trip(in); break;
        default: launcher_properties(in); break;
    }
    return 0;
}

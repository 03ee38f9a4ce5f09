// PCRE2 behind ptypilot::regex: compiling, matching, match results.
#include "search/regex_code.hpp"

#include <algorithm>
#include <list>
#include <stdexcept>
#include <tuple>

namespace ptypilot {

namespace detail {

namespace {

bool jit_available() {
    static const bool available = [] {
        std::uint32_t jit = 0;
        return pcre2_config(PCRE2_CONFIG_JIT, &jit) >= 0 && jit != 0;
    }();
    return available;
}

std::string error_text(int code) {
    PCRE2_UCHAR buffer[256];
    const int n = pcre2_get_error_message(code, buffer, sizeof buffer);
    return n < 0 ? "error " + std::to_string(code) : std::string(reinterpret_cast<char*>(buffer));
}

// The library's built-in default may be another newline convention; Python
// only ever treats "\n" as the end of a line (for `.`, `$` and `^`).
pcre2_compile_context* compile_context() {
    static pcre2_compile_context* const context = [] {
        pcre2_compile_context* c = pcre2_compile_context_create(nullptr);
        if (c == nullptr) throw std::bad_alloc();
        pcre2_set_newline(c, PCRE2_NEWLINE_LF);
        return c;
    }();
    return context;
}

std::uint32_t compile_options(unsigned flags) {
    // NEVER_UTF/NEVER_UCP: the buffer is arbitrary bytes, and (*UTF) would make
    // matching fail on the first invalid sequence. ALT_CIRCUMFLEX: Python's
    // multiline `^` matches after a final newline too.
    std::uint32_t options = PCRE2_NEVER_UTF | PCRE2_NEVER_UCP | PCRE2_ALT_CIRCUMFLEX;
    if ((flags & regex::dotall) != 0) options |= PCRE2_DOTALL;
    if ((flags & regex::ignorecase) != 0) options |= PCRE2_CASELESS;
    if ((flags & regex::multiline) != 0) options |= PCRE2_MULTILINE;
    return options;
}

program compile_program(std::string_view text, std::uint32_t options, int& error, PCRE2_SIZE& offset) {
    return program(pcre2_compile(reinterpret_cast<PCRE2_SPTR>(text.data()), text.size(), options, &error,
                                 &offset, compile_context()));
}

// A JIT stack per thread: the default 32 KiB on the machine stack runs out on
// long buffers with backtracking patterns. The reservation is virtual; pages
// are touched only as deep backtracking needs them.
struct thread_resources {
    pcre2_match_context* context = nullptr;
    pcre2_jit_stack* jit_stack = nullptr;
    pcre2_match_data* match_data = nullptr;
    std::uint32_t pairs = 0;

    thread_resources() {
        context = pcre2_match_context_create(nullptr);
        if (context == nullptr) throw std::bad_alloc();
        if (jit_available()) {
            jit_stack = pcre2_jit_stack_create(32 * 1024, 8 * 1024 * 1024, nullptr);
            if (jit_stack != nullptr) pcre2_jit_stack_assign(context, nullptr, jit_stack);
        }
    }
    ~thread_resources() {
        pcre2_match_data_free(match_data);
        pcre2_jit_stack_free(jit_stack);
        pcre2_match_context_free(context);
    }
    thread_resources(const thread_resources&) = delete;
    thread_resources& operator=(const thread_resources&) = delete;
};

thread_resources& resources() {
    thread_local thread_resources r;
    return r;
}

}  // namespace

regex_code::regex_code(std::string_view src, unsigned f) : source(src), flags(f) {
    translated_pattern t = translate_python_syntax(source);
    options_ = compile_options(flags);
    int error = 0;
    PCRE2_SIZE offset = 0;
    re = compile_program(t.text, options_, error, offset);
    if (!re) {
        const std::size_t at = t.original_offset(offset);
        throw regex_error("invalid regular expression \"" + source + "\" at offset " + std::to_string(at) +
                              ": " + error_text(error),
                          source, at);
    }
    // A JIT failure (no executable memory, (*NO_JIT)) leaves the interpreter,
    // which pcre2_match falls back to by itself.
    use_jit_ = jit_available() && !jit_unreliable(t.text);
    if (use_jit_) pcre2_jit_compile(re.get(), PCRE2_JIT_COMPLETE);
    pcre2_pattern_info(re.get(), PCRE2_INFO_CAPTURECOUNT, &capture_count);

    std::uint32_t name_count = 0;
    std::uint32_t entry_size = 0;
    PCRE2_SPTR table = nullptr;
    pcre2_pattern_info(re.get(), PCRE2_INFO_NAMECOUNT, &name_count);
    pcre2_pattern_info(re.get(), PCRE2_INFO_NAMEENTRYSIZE, &entry_size);
    pcre2_pattern_info(re.get(), PCRE2_INFO_NAMETABLE, &table);
    for (std::uint32_t i = 0; i < name_count; ++i) {
        const PCRE2_SPTR e = table + static_cast<std::size_t>(i) * entry_size;
        names.emplace_back(reinterpret_cast<const char*>(e + 2),
                           static_cast<std::uint32_t>((e[0] << 8) | e[1]));
    }
    translated_ = std::move(t.text);
}

// (?:P)(?:|\A(?!)): the never-taken branch makes PCRE2 10.42 keep one byte of
// lookbehind, without which the interpreter reports "no match" instead of
// "partial" for a DOTALL `.{n}` (n >= 2) that has fewer than n bytes left.
// `\E` closes a `\Q` left open at the end of P (it is ignored otherwise), and
// leading (*OPTION)s must stay first to be accepted.
const pcre2_code* regex_code::hunter() const {
    std::call_once(hunter_once_, [this] {
        if (needs_rescan(translated_)) return;
        const std::size_t lead = leading_options_length(translated_);
        std::string text;
        text.reserve(translated_.size() + 24);
        text.append(translated_, 0, lead);
        text += "(?:";
        text.append(translated_, lead);
        text += "\\E)(?:|\\A(?!))";
        int error = 0;
        PCRE2_SIZE offset = 0;
        hunter_ = compile_program(text, options_, error, offset);
        if (hunter_ && use_jit_) pcre2_jit_compile(hunter_.get(), PCRE2_JIT_PARTIAL_HARD);
    });
    return hunter_.get();
}

// The expect loop compiles its string patterns afresh on every call, and
// line reading is built on it: a loop of readline() calls would compile the
// same pattern each time, some 5 us with JIT for a short pattern and as much
// again for the hunting program, against a 30 ns lookup here. A small
// per-thread cache needs no lock; sharing a program between threads is safe
// because it is never modified after compilation (the hunting program is
// built under std::call_once).
std::shared_ptr<const regex_code> compile(std::string_view source, unsigned flags) {
    constexpr std::size_t capacity = 64;
    using entry = std::tuple<std::string, unsigned, std::shared_ptr<const regex_code>>;
    thread_local std::list<entry> cache;
    for (auto it = cache.begin(); it != cache.end(); ++it) {
        if (std::get<1>(*it) == flags && std::get<0>(*it) == source) {
            cache.splice(cache.begin(), cache, it);
            return std::get<2>(cache.front());
        }
    }
    auto code = std::make_shared<const regex_code>(source, flags);
    cache.emplace_front(std::string(source), flags, code);
    if (cache.size() > capacity) cache.pop_back();
    return code;
}

pcre2_match_data* thread_match_data(std::uint32_t pairs) {
    thread_resources& r = resources();
    if (r.pairs < pairs) {
        pcre2_match_data* md = pcre2_match_data_create(pairs, nullptr);
        if (md == nullptr) throw std::bad_alloc();
        pcre2_match_data_free(r.match_data);
        r.match_data = md;
        r.pairs = pairs;
    }
    return r.match_data;
}

int run_match(const regex_code& rx, const pcre2_code* program, std::string_view subject, std::size_t start,
              std::uint32_t options, pcre2_match_data* md) {
    // A null subject is accepted only from PCRE2 10.43 on, even when empty.
    const auto* text = reinterpret_cast<PCRE2_SPTR>(subject.data() != nullptr ? subject.data() : "");
    pcre2_match_context* context = resources().context;
    int rc = pcre2_match(program, text, subject.size(), start, options, md, context);
    if (rc == PCRE2_ERROR_JIT_STACKLIMIT) {
        // The interpreter keeps its backtracking frames on the heap.
        rc = pcre2_match(program, text, subject.size(), start, options | PCRE2_NO_JIT, md, context);
    }
    if (rc >= 0 || rc == PCRE2_ERROR_NOMATCH || rc == PCRE2_ERROR_PARTIAL) return rc;
    throw std::runtime_error("regular expression \"" + rx.source +
                             "\" could not be matched: " + error_text(rc));
}

match_result make_match_result(const std::shared_ptr<const regex_code>& rx, std::string_view subject,
                               pcre2_match_data* md) {
    const PCRE2_SIZE* ov = pcre2_get_ovector_pointer(md);
    const std::uint32_t available = pcre2_get_ovector_count(md);
    const std::uint32_t pairs = std::min(available, rx->capture_count + 1);
    std::vector<match_result::span> spans(rx->capture_count + 1, {match_result::npos, match_result::npos});
    std::size_t lo = subject.size();
    std::size_t hi = 0;
    for (std::uint32_t g = 0; g < pairs; ++g) {
        if (ov[2 * g] == PCRE2_UNSET) continue;
        spans[g] = {ov[2 * g], ov[2 * g + 1]};
        lo = std::min({lo, ov[2 * g], ov[2 * g + 1]});
        hi = std::max({hi, ov[2 * g], ov[2 * g + 1]});
    }
    if (lo > hi) lo = hi;
    return match_result(std::string(subject.substr(lo, hi - lo)), lo, std::move(spans), rx);
}

}  // namespace detail

regex_error::regex_error(const std::string& what, std::string pattern, std::size_t offset)
    : std::invalid_argument(what), pattern_(std::move(pattern)), offset_(offset) {}

regex::regex(std::string_view pattern, unsigned flags) : code_(detail::compile(pattern, flags)) {}

const std::string& regex::pattern() const noexcept { return code_->source; }

unsigned regex::flags() const noexcept { return code_->flags; }

std::optional<match_result> regex::search(std::string_view subject, std::size_t start) const {
    if (start > subject.size()) return std::nullopt;
    pcre2_match_data* md = detail::thread_match_data(code_->capture_count + 1);
    if (detail::run_match(*code_, code_->re.get(), subject, start, 0, md) < 0) return std::nullopt;
    return detail::make_match_result(code_, subject, md);
}

match_result::match_result(std::string text, std::size_t base, std::vector<span> spans,
                           std::shared_ptr<const detail::regex_code> code)
    : text_(std::move(text)), base_(base), spans_(std::move(spans)), code_(std::move(code)) {}

std::size_t match_result::start(std::size_t group) const {
    if (group >= spans_.size()) throw std::out_of_range("no such group");
    return spans_[group].first;
}

std::size_t match_result::end(std::size_t group) const {
    if (group >= spans_.size()) throw std::out_of_range("no such group");
    return spans_[group].second;
}

std::optional<std::string> match_result::group(std::size_t n) const {
    if (n >= spans_.size()) throw std::out_of_range("no such group");
    const auto [s, e] = spans_[n];
    if (s == npos) return std::nullopt;
    if (e <= s) return std::string();
    return text_.substr(s - base_, e - s);
}

// With (?J) several groups may share a name; as in PCRE2's own lookup the
// first one that took part answers.
std::optional<std::string> match_result::group(std::string_view name) const {
    bool known = false;
    if (code_) {
        for (const auto& [n, number] : code_->names) {
            if (n != name) continue;
            known = true;
            if (number < spans_.size() && spans_[number].first != npos) return group(number);
        }
    }
    if (!known) throw std::out_of_range("no such group: " + std::string(name));
    return std::nullopt;
}

}  // namespace ptypilot

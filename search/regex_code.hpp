// The compiled form behind ptypilot::regex, shared by the searchers.
#pragma once

#ifndef PCRE2_CODE_UNIT_WIDTH
#define PCRE2_CODE_UNIT_WIDTH 8
#endif
#include <pcre2.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <ptypilot/regex.hpp>

namespace ptypilot::detail {

// Python-style source rewritten into what PCRE2 reads the same way.
struct translated_pattern {
    std::string text;
    // Offsets in `text` of the characters the rewrite inserted, ascending.
    std::vector<std::size_t> inserted;

    std::size_t original_offset(std::size_t translated) const;
};

translated_pattern translate_python_syntax(std::string_view source);

// True when a match may depend on the offset a search starts from, so that
// resuming a search part-way through the buffer could differ from a rescan,
// or when the hunting program cannot be built by wrapping the source.
// Conservative: a false positive only costs speed.
bool needs_rescan(std::string_view translated);

// True for patterns that PCRE2 10.42's JIT can match wrongly (or crash on),
// so that they must run on the interpreter.
bool jit_unreliable(std::string_view translated);

// Length of the leading `(*OPTION)` items, which PCRE2 accepts only at the
// very start of a pattern.
std::size_t leading_options_length(std::string_view translated);

struct program_deleter {
    void operator()(pcre2_code* p) const noexcept { pcre2_code_free(p); }
};
using program = std::unique_ptr<pcre2_code, program_deleter>;

struct regex_code {
    regex_code(std::string_view source, unsigned flags);
    regex_code(const regex_code&) = delete;
    regex_code& operator=(const regex_code&) = delete;

    // The program for complete matches, JIT-compiled when possible.
    program re;
    std::string source;
    unsigned flags = 0;
    std::uint32_t capture_count = 0;
    // (name, group number) in PCRE2's name-table order: sorted by name, and
    // by number among duplicates.
    std::vector<std::pair<std::string, std::uint32_t>> names;

    // The program that tells, for a buffer that may still grow, from which
    // offset on a match can still begin; used with PCRE2_PARTIAL_HARD. Built
    // on first use. Null when the pattern must be rescanned instead.
    const pcre2_code* hunter() const;

private:
    std::string translated_;
    std::uint32_t options_ = 0;
    bool use_jit_ = false;
    mutable std::once_flag hunter_once_;
    mutable program hunter_;
};

// A compiled program for (source, flags), possibly shared with earlier
// callers on this thread.
std::shared_ptr<const regex_code> compile(std::string_view source, unsigned flags);

// Match data owned by the calling thread with room for `pairs` offset pairs.
pcre2_match_data* thread_match_data(std::uint32_t pairs);

// One pcre2_match. Returns the result code for a match, PCRE2_ERROR_NOMATCH
// or PCRE2_ERROR_PARTIAL; throws std::runtime_error for anything else.
int run_match(const regex_code& rx, const pcre2_code* program, std::string_view subject, std::size_t start,
              std::uint32_t options, pcre2_match_data* md);

match_result make_match_result(const std::shared_ptr<const regex_code>& rx, std::string_view subject,
                               pcre2_match_data* md);

}  // namespace ptypilot::detail

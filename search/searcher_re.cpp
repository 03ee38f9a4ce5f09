// Regular-expression search over the received text.
//
// Without a window the answer must be that of a leftmost search of the whole
// buffer from offset 0, redone after every read. Done literally that is
// quadratic in the output's length, so each pattern keeps a resume offset q:
// no match, in this buffer or any extension of it, can begin before q. After
// each read, for a buffer of length n:
//   1. search the pattern from q; a match beginning before n is the answer;
//   2. otherwise run the hunting program (see regex_code::hunter) from q with
//      PCRE2_PARTIAL_HARD, and move q to where the partial match begins, to
//      the start character of a complete match it finds (one that only the
//      hunt sees, such as a match ending at n or using \K), or to n when
//      nothing can begin before n.
// Both steps run over the whole buffer with start offset q, so lookbehind,
// \b and anchors read the bytes before q as a rescan would.
#include <ptypilot/searcher.hpp>

#include <algorithm>

#include "search/pattern_entries.hpp"
#include "search/regex_code.hpp"
#include "search/searcher_description.hpp"

namespace ptypilot {

struct searcher_re::state {
    // Mirrors _searches, so that a list changed after construction is
    // noticed; holding the programs keeps their addresses from being reused.
    // Each program sits beside its resume offset: a search reads both, and
    // over many sessions every separate allocation is one more cache miss.
    struct pattern_state {
        std::shared_ptr<const detail::regex_code> code;
        std::size_t resume = 0;
    };
    std::vector<pattern_state> patterns;
    // Length of the buffer at the previous windowless search.
    std::optional<std::size_t> previous_length;
    pcre2_match_data* md = nullptr;

    state() = default;
    ~state() { pcre2_match_data_free(md); }
    state(const state&) = delete;
    state& operator=(const state&) = delete;

    void sync(const std::vector<std::pair<int, regex>>& searches) {
        const bool same = patterns.size() == searches.size() &&
                          std::equal(patterns.begin(), patterns.end(), searches.begin(),
                                     [](const auto& p, const auto& s) { return p.code == s.second.code(); });
        if (same && md != nullptr) return;
        patterns.clear();
        std::uint32_t pairs = 1;
        for (const auto& s : searches) {
            patterns.push_back({s.second.code(), 0});
            pairs = std::max(pairs, s.second.code()->capture_count + 1);
        }
        pcre2_match_data_free(md);
        md = pcre2_match_data_create(pairs, nullptr);
        if (md == nullptr) throw std::bad_alloc();
        previous_length.reset();
    }

    void restart() {
        for (auto& p : patterns) p.resume = 0;
    }

    // Each pattern searched from its resume offset (or the window's start),
    // moving the offsets on for the next search of a longer buffer.
    int search(searcher_re& self, std::string_view buffer, std::optional<long> searchwindowsize);
};

int searcher_re::state::search(searcher_re& self, std::string_view buffer,
                               std::optional<long> searchwindowsize) {
    state& st = *this;
    const std::size_t n = buffer.size();

    // A window bounds the work already; resume offsets are kept only for the
    // windowless search.
    const bool resuming = !searchwindowsize;
    std::size_t searchstart = 0;
    if (resuming) {
        st.previous_length = n;
    } else {
        st.previous_length.reset();
        // len(buffer) - w; a negative w puts it past the end, where nothing
        // can match.
        const long w = *searchwindowsize;
        if (w < 0) {
            searchstart = n + 1;
        } else {
            searchstart = static_cast<std::size_t>(w) >= n ? 0 : n - static_cast<std::size_t>(w);
        }
    }

    const std::size_t absurd_match = n;
    std::size_t first_match = absurd_match;
    int best_index = -1;
    std::optional<match_result> the_match;
    for (std::size_t i = 0; i < self._searches.size(); ++i) {
        const auto& [index, rx] = self._searches[i];
        const detail::regex_code& code = *rx.code();
        const std::size_t from = resuming ? st.patterns[i].resume : searchstart;
        if (from > n) continue;
        const PCRE2_SIZE* ov = pcre2_get_ovector_pointer(st.md);
        if (detail::run_match(code, code.re.get(), buffer, from, 0, st.md) >= 0 && ov[0] < n) {
            if (ov[0] < first_match) {
                first_match = ov[0];
                best_index = index;
                the_match = detail::make_match_result(rx.code(), buffer, st.md);
            }
            continue;
        }
        if (!resuming) continue;
        const pcre2_code* hunter = code.hunter();
        if (hunter == nullptr) continue;  // rescanned from 0 every time
        const int rc = detail::run_match(code, hunter, buffer, from, PCRE2_PARTIAL_HARD, st.md);
        if (rc == PCRE2_ERROR_PARTIAL) {
            st.patterns[i].resume = ov[0];
        } else if (rc >= 0) {
            st.patterns[i].resume = pcre2_get_startchar(st.md);
        } else {
            st.patterns[i].resume = n;
        }
    }
    if (first_match == absurd_match) return -1;
    self.start = first_match;
    self.match = std::move(the_match);
    self.end = self.match->end();
    return best_index;
}

searcher_re::searcher_re(const std::vector<entry>& patterns)
    : _searches(detail::pattern_entries(patterns, eof_index, timeout_index)),
      state_(std::make_unique<state>()) {
    state_->sync(_searches);
}

searcher_re::~searcher_re() = default;
searcher_re::searcher_re(searcher_re&&) noexcept = default;
searcher_re& searcher_re::operator=(searcher_re&&) noexcept = default;

std::size_t searcher_re::resume_offset(std::size_t i) const {
    return state_ && i < state_->patterns.size() ? state_->patterns[i].resume : 0;
}

int searcher_re::search(std::string_view buffer, std::size_t, std::optional<long> searchwindowsize) {
    if (!state_) state_ = std::make_unique<state>();  // moved-from
    state_->sync(_searches);
    // Nothing is known of this buffer: every pattern starts at 0.
    state_->restart();
    return state_->search(*this, buffer, searchwindowsize);
}

int searcher_re::search_appended(std::string_view buffer, std::size_t freshlen,
                                 std::optional<long> searchwindowsize) {
    if (!state_) state_ = std::make_unique<state>();
    state& st = *state_;
    st.sync(_searches);
    const bool continues =
        st.previous_length && freshlen <= buffer.size() && buffer.size() - freshlen == *st.previous_length;
    if (!continues) st.restart();
    return state_->search(*this, buffer, searchwindowsize);
}

std::string searcher_re::str() const {
    std::vector<std::pair<int, std::string>> lines;
    for (const auto& [index, rx] : _searches)
        lines.emplace_back(index, "    " + std::to_string(index) + ": re.compile(\"" + rx.pattern() + "\")");
    return detail::describe(std::move(lines), "searcher_re:", eof_index, timeout_index);
}

}  // namespace ptypilot

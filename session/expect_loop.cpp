// Waiting for patterns, end of file or a time-out in the child's output.
#include <ptypilot/spawn.hpp>

#include "session/clock.hpp"
#include "session/expect_outcome.hpp"
#include "session/read_into.hpp"

namespace ptypilot {

int spawn::expect(const pattern_input& patterns, std::optional<double> timeout_,
                  std::optional<long> searchwindowsize_) {
    return expect_list(compile_pattern_list(patterns), timeout_, searchwindowsize_);
}

int spawn::expect_list(const compiled_pattern_list& pattern_list, std::optional<double> timeout_,
                       std::optional<long> searchwindowsize_) {
    return expect_loop(std::make_shared<searcher_re>(pattern_list), timeout_, searchwindowsize_);
}

int spawn::expect_exact(const exact_input& pattern_list, std::optional<double> timeout_,
                        std::optional<long> searchwindowsize_) {
    return expect_loop(std::make_shared<searcher_string>(pattern_list.list()), timeout_, searchwindowsize_);
}

int spawn::expect_loop(std::shared_ptr<search_strategy> searcher_, std::optional<double> timeout_,
                       std::optional<long> searchwindowsize_) {
    searcher = searcher_;
    search_strategy& s = *searcher_;
    if (timeout_ && *timeout_ == -1) timeout_ = timeout;
    timeout_ = detail::checked_timeout(timeout_);
    const double end_time = timeout_ ? detail::now() + *timeout_ : 0.0;
    if (searchwindowsize_ && *searchwindowsize_ == -1) searchwindowsize_ = searchwindowsize;

    // The buffer is taken over and grown in place; what the call started with
    // stays its prefix, so it can be given back if the call fails.
    const std::size_t started_with = buffer.size();
    std::string incoming = std::move(buffer);
    buffer.clear();
    std::size_t freshlen = incoming.size();
    bool first_search = true;
    try {
        for (;;) {
            // After the first search the buffer only ever grows at its end:
            // a regex search may go on where the previous one stopped.
            const int index = first_search ? s.search(incoming, freshlen, searchwindowsize_)
                                           : s.search_appended(incoming, freshlen, searchwindowsize_);
            first_search = false;
            if (index >= 0) {
                const std::size_t start = *s.start;
                const std::size_t end = *s.end;
                before = incoming.substr(0, start);
                after = incoming.substr(start, end - start);
                match = *s.match;
                match_index = index;
                incoming.erase(0, end);
                buffer = std::move(incoming);
                return index;
            }
            if (timeout_ && *timeout_ < 0) throw TIMEOUT("Timeout exceeded in expect_any().");
            const std::size_t had = incoming.size();
            detail::read_into(*this, *state_, incoming, maxread, timeout_);
            freshlen = incoming.size() - had;
            // The pause lets a trickle of output gather into fewer reads; a
            // read that came back full says more is waiting already, and the
            // pause would only delay it.
            if (freshlen < detail::read_request(maxread)) detail::short_pause(delayafterread);
            if (timeout_) *timeout_ = end_time - detail::now();
        }
    } catch (const EOF_& e) {
        if (const auto listed =
                detail::record_outcome(*this, sentinel::eof, s.eof_index, std::move(incoming)))
            return *listed;
        throw EOF_(std::string(e.what()) + "\n" + str());
    } catch (const TIMEOUT& e) {
        // Nothing is lost: the next call searches all of it again.
        buffer = incoming;
        if (const auto listed =
                detail::record_outcome(*this, sentinel::timeout, s.timeout_index, std::move(incoming)))
            return *listed;
        throw TIMEOUT(std::string(e.what()) + "\n" + str());
    } catch (...) {
        buffer = incoming.substr(0, started_with);
        before = std::move(incoming);
        after = std::monostate{};
        match = std::monostate{};
        match_index.reset();
        throw;
    }
}

}  // namespace ptypilot

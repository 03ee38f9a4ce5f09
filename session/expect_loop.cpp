// Waiting for patterns, end of file or a time-out in the child's output.
#include <ptypilot/spawn.hpp>

#include "session/clock.hpp"
#include "session/expect_call.hpp"
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
    detail::expect_call call(*this, *state_, std::move(searcher_), timeout_, searchwindowsize_);
    std::optional<int> found = call.start();
    while (!found) {
        found = call.advance(true);
        // The pause lets a trickle of output gather into fewer reads; a read
        // that came back full says more is waiting already, and the pause
        // would only delay it.
        if (!found && call.last_read() < detail::read_request(maxread)) detail::short_pause(delayafterread);
    }
    return call.commit();
}

}  // namespace ptypilot

// Waiting for patterns, end of file or a time-out in the child's output.
#include <ptypilot/spawn.hpp>

#include "os/clock.hpp"
#include "session/expect_call.hpp"
#include "session/read_into.hpp"
#include "session/timeout_arg.hpp"

namespace ptypilot {

int spawn::expect(const pattern_input& patterns, std::optional<seconds_value> timeout_,
                  std::optional<long> searchwindowsize_) {
    return expect_list(compile_pattern_list(patterns), timeout_, searchwindowsize_);
}

int spawn::expect_list(const compiled_pattern_list& pattern_list, std::optional<seconds_value> timeout_,
                       std::optional<long> searchwindowsize_) {
    return expect_loop(std::make_shared<searcher_re>(pattern_list), timeout_, searchwindowsize_);
}

int spawn::expect_exact(const exact_input& pattern_list, std::optional<seconds_value> timeout_,
                        std::optional<long> searchwindowsize_) {
    return expect_loop(std::make_shared<searcher_string>(pattern_list.list()), timeout_, searchwindowsize_);
}

int spawn::expect_loop(std::shared_ptr<search_strategy> searcher_, std::optional<seconds_value> timeout_,
                       std::optional<long> searchwindowsize_) {
    detail::expect_call call(*this, *state_, std::move(searcher_), detail::in_seconds(timeout_),
                             searchwindowsize_);
    std::optional<int> found = call.start();
    // The pause lets a trickle of output gather into fewer reads. A read that
    // came back full says more is waiting already: the pause would only delay
    // it. So does a short read right after a full one, which only took the
    // tail of a burst that is still coming (while the pause lasted, the
    // writer would fill the terminal and wait).
    bool streaming = false;
    while (!found) {
        found = call.advance(true);
        const bool full = call.last_read() >= detail::read_request(maxread);
        if (!found && !full && !streaming) detail::short_pause(delayafterread);
        streaming = full;
    }
    return call.commit();
}

}  // namespace ptypilot

// The event-loop face: one step of an expect call that never waits.
#include <ptypilot/spawn.hpp>

#include "session/expect_call.hpp"
#include "session/session_state.hpp"

namespace ptypilot {

step_result spawn::expect_step(std::shared_ptr<search_strategy> searcher_,
                               std::optional<long> searchwindowsize_) {
    // No time-out: the loop's own timers decide how long to wait, and a read
    // that finds nothing is simply no outcome yet.
    detail::expect_call call(*this, *state_, std::move(searcher_), std::nullopt, searchwindowsize_,
                             detail::expect_call::unlisted_eof::reported);
    std::optional<int> found = call.start();
    if (!found) found = call.advance(false);
    step_result result;
    result.bytes_read = call.last_read();
    if (!found) return result;
    result.status = call.outcome_is_eof() ? step_status::eof : step_status::matched;
    result.index = call.commit();
    return result;
}

step_result spawn::expect_step(const pattern_input& patterns, std::optional<long> searchwindowsize_) {
    return expect_step(std::make_shared<searcher_re>(compile_pattern_list(patterns)), searchwindowsize_);
}

std::vector<int> spawn::wait_descriptors() const {
    const detail::byte_source& source = *state_->source;
    if (closed || source.input_fd() < 0) return {};
    std::vector<int> fds{source.input_fd()};
    if (source.end_fd() >= 0) fds.push_back(source.end_fd());
    return fds;
}

std::optional<double> spawn::step_interval() const {
    if (!pid) return std::nullopt;
    return state_->source->end_poll_interval();
}

}  // namespace ptypilot

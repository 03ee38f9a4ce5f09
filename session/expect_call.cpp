// One expect call in progress: the work each read of it shares.
#include "session/expect_call.hpp"

#include <utility>

#include "os/clock.hpp"
#include "session/read_into.hpp"
#include "session/record_outcome.hpp"
#include "session/timeout_arg.hpp"

namespace ptypilot::detail {

namespace {

// After end of file a read waits for the child's end (isalive() blocks
// then), for as long as a child that closed its terminal lives on. A caller
// that must not wait hears of the end of file again instead, unless the
// child has ended already and the wait costs nothing.
bool read_would_wait_for_child(spawn& s, session_state& state) {
    if (!s.flag_eof || !child_running(s, state)) return false;
    return !state.source->await_end(s, deadline(0.0));
}

}  // namespace

expect_call::expect_call(spawn& s, session_state& state, std::shared_ptr<search_strategy> searcher,
                         std::optional<double> timeout, std::optional<long> searchwindowsize,
                         unlisted_eof eof, std::optional<double> started)
    : s_(s), state_(state), searcher_(std::move(searcher)), eof_(eof) {
    left_ = call_timeout(s, timeout);
    started_ = started ? *started : now();
    until_ = deadline(left_, started_);
    const bool same_strategy = s.searcher.get() == searcher_.get();
    s.searcher = searcher_;
    window_ = searchwindowsize && *searchwindowsize == -1 ? s.searchwindowsize : searchwindowsize;

    // The buffer is taken over and grown in place; what the call started with
    // stays its prefix, so it can be given back if the call fails.
    incoming_ = std::move(s.buffer);
    s.buffer.clear();
    started_with_ = incoming_.size();
    freshlen_ = incoming_.size();
    resumed_ = same_strategy && state.searched_by.lock() == searcher_ && state.searched == incoming_.size() &&
               state.searched_window == window_;
    searched_ = resumed_;
    state.searched_by.reset();
}

expect_call::~expect_call() {
    if (finished_) return;
    s_.buffer = std::move(incoming_);
    if (pending_ == kind::none && searched_) {
        state_.searched_by = searcher_;
        state_.searched = s_.buffer.size();
        state_.searched_window = window_;
    }
}

std::optional<double> expect_call::remaining() const { return until_.remaining(); }

bool expect_call::time_left() const {
    const auto left = remaining();
    return !left || *left > 0;
}

std::optional<int> expect_call::start() {
    if (resumed_) return std::nullopt;
    return search();
}

std::optional<int> expect_call::search() {
    try {
        // After the first search the text only ever grows at its end: a
        // regex search may go on where the previous one stopped.
        const int index = searched_ ? searcher_->search_appended(incoming_, freshlen_, window_)
                                    : searcher_->search(incoming_, freshlen_, window_);
        searched_ = true;
        if (index < 0) return std::nullopt;
        pending_ = kind::match;
        pending_index_ = index;
        return index;
    } catch (...) {
        return fail();
    }
}

std::optional<int> expect_call::advance(bool wait) {
    try {
        if (reads_ > 0 && left_) left_ = remaining();
        if (left_ && *left_ < 0) throw TIMEOUT("Timeout exceeded in expect_any().");
        if (!wait && read_would_wait_for_child(s_, state_))
            throw EOF_(
                "End Of File (EOF) in read_nonblocking(). The terminal is closed; the child still runs.");
        ++reads_;
        freshlen_ = 0;
        const std::size_t had = incoming_.size();
        try {
            // A read that must not wait has a deadline passed already.
            read_into(s_, state_, incoming_, s_.maxread, wait ? deadline(left_) : deadline(0.0, started_));
        } catch (const TIMEOUT&) {
            // Nothing there yet, but the call still has time: no outcome.
            if (!time_left()) throw;
            return std::nullopt;
        }
        freshlen_ = incoming_.size() - had;
    } catch (...) {
        return fail();
    }
    return search();
}

std::optional<int> expect_call::fail() {
    try {
        throw;
    } catch (const EOF_& e) {
        pending_ = kind::eof;
        pending_index_ = searcher_->eof_index;
        if (pending_index_ >= 0 || eof_ == unlisted_eof::reported) return pending_index_;
        commit();
        throw EOF_(std::string(e.what()) + "\n" + s_.str());
    } catch (const TIMEOUT& e) {
        pending_ = kind::timeout;
        pending_index_ = searcher_->timeout_index;
        if (pending_index_ >= 0) return pending_index_;
        commit();
        throw TIMEOUT(std::string(e.what()) + "\n" + s_.str());
    } catch (...) {
        finished_ = true;
        s_.buffer = incoming_.substr(0, started_with_);
        s_.before = std::move(incoming_);
        s_.after = std::monostate{};
        s_.match = std::monostate{};
        s_.match_index.reset();
        throw;
    }
}

int expect_call::commit() {
    finished_ = true;
    switch (pending_) {
        case kind::match: {
            const std::size_t start = *searcher_->start;
            const std::size_t end = *searcher_->end;
            s_.before = incoming_.substr(0, start);
            s_.after = incoming_.substr(start, end - start);
            s_.match = *searcher_->match;
            s_.match_index = pending_index_;
            incoming_.erase(0, end);
            s_.buffer = std::move(incoming_);
            break;
        }
        case kind::eof:
            s_.buffer.clear();
            record_outcome(s_, sentinel::eof, pending_index_, std::move(incoming_));
            break;
        case kind::timeout:
            // Nothing is lost: the next call searches all of it again.
            s_.buffer = incoming_;
            record_outcome(s_, sentinel::timeout, pending_index_, std::move(incoming_));
            break;
        case kind::none: break;
    }
    return pending_index_;
}

}  // namespace ptypilot::detail

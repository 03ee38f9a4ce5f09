// One expect call in progress on one session, and the work of each read of
// it: search what has arrived, take a chunk, search again where the last
// search stopped, and settle end of file, the time-out and other errors into
// the session's fields. The blocking expect_loop, the wait over many sessions
// and the event-loop step drive their calls through this one piece; they
// differ only in how long a read may wait and in when the outcome is written.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include <ptypilot/spawn.hpp>

#include "os/clock.hpp"
#include "session/session_state.hpp"

namespace ptypilot::detail {

class expect_call {
public:
    // What becomes of an end of file that the pattern list does not name:
    // expect() throws EOF_; a step, whose caller is an event loop, reports it.
    enum class unlisted_eof { thrown, reported };

    // Takes the session's buffer over and makes `searcher` the session's
    // `searcher`. The time-out and the window as expect_loop() takes them
    // (-1: the session's own). The time-out counts from `started` when given,
    // a time the caller has just read from now().
    expect_call(spawn& s, session_state& state, std::shared_ptr<search_strategy> searcher,
                std::optional<double> timeout, std::optional<long> searchwindowsize,
                unlisted_eof eof = unlisted_eof::thrown, std::optional<double> started = std::nullopt);
    // A call that ends without commit() gives all the text it holds back to
    // the session's buffer, and no field changes: nothing is lost, and the
    // next call finds it there.
    ~expect_call();
    expect_call(const expect_call&) = delete;
    expect_call& operator=(const expect_call&) = delete;

    // An outcome is the list position that expect() returns (-1 for an end
    // of file that the list does not name, reported); no value: none yet. It
    // is held until commit() writes it into the fields. An end of file or a
    // time-out that the list does not name, and any other error, are written
    // into the fields at once and thrown, as expect() throws them.

    // The search of the text the call starts with; a call that resumes the
    // previous one of the same strategy knows the answer without searching.
    std::optional<int> start();
    // One read of at most `maxread` bytes, then a search of what it
    // appended. `wait`: the read waits for what is left of the call's time;
    // otherwise it takes only what is there already (a read that finds
    // nothing with time left is no outcome).
    std::optional<int> advance(bool wait);
    // Writes the outcome into the session's fields and returns it.
    int commit();

    // What is left of the call's time now; no value: no limit.
    std::optional<double> remaining() const;
    // Bytes the last read took (0 when it found nothing, or before any read).
    std::size_t last_read() const noexcept { return reads_ > 0 ? freshlen_ : 0; }
    // Whether the outcome held is end of file.
    bool outcome_is_eof() const noexcept { return pending_ == kind::eof; }

private:
    enum class kind { none, match, eof, timeout };

    std::optional<int> search();
    std::optional<int> fail();  // called from a handler: the error in flight
    bool time_left() const;

    spawn& s_;
    session_state& state_;
    std::shared_ptr<search_strategy> searcher_;
    std::optional<long> window_;
    // The time-out as the loop counts it: the whole time before the first
    // read, then what is left after each read.
    std::optional<double> left_;
    deadline until_{std::nullopt};
    double started_ = 0;  // when the call began (monotonic seconds)
    std::string incoming_;
    std::size_t started_with_ = 0;
    std::size_t freshlen_ = 0;
    std::size_t reads_ = 0;
    bool searched_ = false;  // the strategy has searched incoming_: it may go on from there
    bool resumed_ = false;   // ... and found nothing in it, in an earlier call
    unlisted_eof eof_;
    kind pending_ = kind::none;
    int pending_index_ = -1;
    bool finished_ = false;  // the fields are written: nothing to give back
};

}  // namespace ptypilot::detail

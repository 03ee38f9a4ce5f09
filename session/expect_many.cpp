// One wait over many sessions.
#include <ptypilot/expect_many.hpp>

#include <poll.h>

#include <algorithm>
#include <deque>
#include <stdexcept>

#include "os/clock.hpp"
#include "os/system_error.hpp"
#include "session/expect_call.hpp"
#include "session/session_state.hpp"

namespace ptypilot {

namespace {

void check_targets(std::span<const expect_target> targets) {
    std::vector<const void*> seen;
    seen.reserve(2 * targets.size());
    for (const auto& t : targets) {
        if (t.session == nullptr || !t.searcher)
            throw std::invalid_argument("expect_many(): a target without a session or a strategy");
        seen.push_back(t.session);
        // A strategy carries the state of the one text it searches.
        seen.push_back(t.searcher.get());
    }
    std::sort(seen.begin(), seen.end());
    if (std::adjacent_find(seen.begin(), seen.end()) != seen.end())
        throw std::invalid_argument("expect_many(): a session or a strategy listed twice");
}

enum class waits { added, polled, none };

// Adds what to wait on for one session. `none` when there is nothing to wait
// for and the session is served at once: its read then reports what is so
// (a closed session, a released terminal, a child reaped already whose
// terminal may still hold output or its end). `polled` for a child without
// a pidfd, whose end no descriptor tells: the wait is cut into slices and
// its state looked at after each.
waits add_waits(spawn& s, const detail::session_state& state, std::vector<pollfd>& fds) {
    const detail::byte_source& source = *state.source;
    // Bytes waiting inside the source are read at once, too.
    if (s.closed || source.input_fd() < 0 || (s.pid && s.terminated) || source.pending()) return waits::none;
    fds.push_back(pollfd{source.input_fd(), source.input_events(), 0});
    if (!detail::child_running(s, state)) return waits::added;
    if (source.end_fd() < 0) return waits::polled;
    // The child's end counts as much as its output: a read then tells which.
    fds.push_back(pollfd{source.end_fd(), POLLIN, 0});
    return waits::added;
}

}  // namespace

expect_target::expect_target(spawn& session_, const pattern_input& patterns,
                             std::optional<seconds_value> timeout_, std::optional<long> searchwindowsize_)
    : expect_target(session_, std::make_shared<searcher_re>(session_.compile_pattern_list(patterns)),
                    timeout_, searchwindowsize_) {}

expect_target::expect_target(spawn& session_, std::shared_ptr<search_strategy> searcher_,
                             std::optional<seconds_value> timeout_, std::optional<long> searchwindowsize_)
    : session(&session_),
      searcher(std::move(searcher_)),
      timeout(timeout_ ? std::optional<double>(timeout_->count()) : std::nullopt),
      searchwindowsize(searchwindowsize_) {}

std::vector<expect_outcome> expect_many(std::initializer_list<expect_target> targets) {
    return expect_many(std::span<const expect_target>(targets.begin(), targets.size()));
}

std::vector<expect_outcome> expect_many(std::span<const expect_target> targets) {
    check_targets(targets);
    const std::size_t n = targets.size();
    if (n == 0) return {};

    // A call that ends without an outcome (here, or because another session's
    // error ends them all) gives its text back as it is destroyed.
    std::deque<detail::expect_call> calls;
    for (const auto& t : targets)
        calls.emplace_back(*t.session, detail::state_access::of(*t.session), t.searcher, t.timeout,
                           t.searchwindowsize);

    std::vector<char> done(n, 0);
    std::size_t outcomes = 0;
    for (std::size_t i = 0; i < n; ++i)
        if (calls[i].start()) done[i] = 1, ++outcomes;

    // Where serving starts: anywhere, so that no place in the list is always
    // served last (and waits longest) call after call. The clock picks it;
    // the library keeps no state between calls.
    const auto first = static_cast<std::size_t>(detail::now() * 1e6) % n;

    std::vector<pollfd> fds;
    std::vector<std::size_t> owner;  // the session each entry of fds waits for
    std::vector<char> ready(n, 0);
    std::vector<char> polled(n, 0);
    for (std::size_t round = 0; outcomes < n; ++round) {
        fds.clear();
        owner.clear();
        std::fill(ready.begin(), ready.end(), 0);
        std::fill(polled.begin(), polled.end(), 0);
        bool serve_now = outcomes > 0;  // with outcomes in hand, only look
        std::optional<double> limit;
        for (std::size_t i = 0; i < n; ++i) {
            if (done[i]) continue;
            spawn& s = *targets[i].session;
            if (const auto left = calls[i].remaining()) {
                // Out of time: its read says whether anything came after all.
                if (*left <= 0) ready[i] = 1;
                limit = limit ? std::min(*limit, *left) : *left;
            }
            switch (add_waits(s, detail::state_access::of(s), fds)) {
                case waits::none: ready[i] = 1; break;
                case waits::polled: {
                    polled[i] = 1;
                    const double slice = detail::state_access::of(s).source->end_poll_interval().value_or(
                        detail::end_check_interval);
                    limit = std::min(limit.value_or(slice), slice);
                    break;
                }
                case waits::added: break;
            }
            owner.resize(fds.size(), i);
            if (ready[i]) serve_now = true;
        }

        const timespec ts = detail::to_timespec(serve_now ? 0.0 : limit.value_or(0.0));
        const int r = ::ppoll(fds.data(), fds.size(), serve_now || limit ? &ts : nullptr, nullptr);
        if (r < 0) {
            // A signal: the next round waits again, with each session's time left.
            if (errno == EINTR) continue;
            detail::throw_errno();
        }
        for (std::size_t k = 0; k < fds.size(); ++k)
            if (fds[k].revents != 0) ready[owner[k]] = 1;
        for (std::size_t i = 0; i < n; ++i)
            if (polled[i] && !ready[i]) {
                spawn& s = *targets[i].session;
                if (detail::state_access::of(s).source->has_ended(s)) ready[i] = 1;
            }

        // One read each, from a place that moves on every round.
        for (std::size_t k = 0; k < n; ++k) {
            const std::size_t i = (first + round + k) % n;
            if (done[i] || !ready[i]) continue;
            if (calls[i].advance(false)) done[i] = 1, ++outcomes;
        }
        if (outcomes > 0) break;
    }

    std::vector<expect_outcome> result;
    result.reserve(outcomes);
    for (std::size_t i = 0; i < n; ++i)
        if (done[i]) result.push_back(expect_outcome{i, calls[i].commit()});
    return result;
}

}  // namespace ptypilot

// A lasting group of sessions over one epoll descriptor.
#include <ptypilot/session_group.hpp>

#include <sys/epoll.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <functional>
#include <stdexcept>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "os/clock.hpp"
#include "os/system_error.hpp"
#include "session/expect_call.hpp"
#include "session/session_group_impl.hpp"
#include "session/session_state.hpp"
#include "session/timeout_arg.hpp"

namespace ptypilot {

namespace {

// How often the group looks at children whose end no descriptor reports
// (the system refused a pidfd).
constexpr double unwatched_period = 0.1;

// Events taken per epoll_wait: beyond it the kernel hands out the rest in
// the next round, moving the ones it reported to the back of its list. Kept
// small so that the members a round reads are still in the cache when the
// caller answers them: over 10,000 sockets 4096 cost a sixth more CPU per
// trip than 256, and 256 a tenth more than 32 (below 32 nothing changes).
constexpr std::size_t most_events = 32;

// A time-out already past that still reads what has arrived; the second
// look after it ends the wait without reading. Never -1, which stands for
// the session's own time-out.
constexpr double past_due = -1e-3;

std::uint64_t tag(std::uint32_t slot, bool pidfd) { return (std::uint64_t{slot} << 1) | (pidfd ? 1u : 0u); }

std::optional<double> timeout_of(const spawn& s, std::optional<seconds_value> timeout) {
    return detail::call_timeout(s, detail::in_seconds(timeout));
}

}  // namespace

using member = detail::group_member;
using timer = detail::group_timer;

std::uint32_t session_group::impl::slot_of(std::uint64_t key) const {
    // Keys 0, 1, 2... given in order land in the slots of the same numbers:
    // no hashing for them.
    if (key < members.size() && members[key].live && members[key].key == key)
        return static_cast<std::uint32_t>(key);
    const auto it = by_key.find(key);
    if (it == by_key.end()) throw std::out_of_range("session_group: no session has this key");
    return it->second;
}

void session_group::impl::watch(std::uint32_t slot) {
    member& m = members[slot];
    const detail::byte_source& source = *m.state->source;
    if (m.reg_master < 0 && source.input_fd() >= 0 && !m.regular_file) {
        const int fd = source.input_fd();
        epoll_event ev{};
        ev.events = static_cast<std::uint32_t>(source.input_events());  // poll's bits are epoll's
        ev.data.u64 = tag(slot, false);
        if (::epoll_ctl(ep.get(), EPOLL_CTL_ADD, fd, &ev) == 0) {
            m.reg_master = fd;
        } else if (errno == EPERM) {
            // A regular file: always readable, so looked at every round.
            m.regular_file = true;
        } else if (errno == EEXIST) {
            throw std::invalid_argument("session_group::add(): its descriptor is in the group already");
        } else {
            detail::throw_errno();
        }
    }
    if (m.reg_pidfd < 0 && source.end_fd() >= 0 && detail::child_running(*m.s, *m.state)) {
        const int fd = source.end_fd();
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = tag(slot, true);
        detail::check(::epoll_ctl(ep.get(), EPOLL_CTL_ADD, fd, &ev));
        m.reg_pidfd = fd;
    }
}

void session_group::impl::unwatch(member& m, bool master, bool pidfd) {
    // A descriptor the session closed since (a reaped child's pidfd) left
    // the set by itself, and its number may belong to another member now.
    if (master && m.reg_master >= 0) {
        if (m.state->source->input_fd() == m.reg_master)
            ::epoll_ctl(ep.get(), EPOLL_CTL_DEL, m.reg_master, nullptr);
        m.reg_master = -1;
    }
    if (pidfd && m.reg_pidfd >= 0) {
        if (m.state->source->end_fd() == m.reg_pidfd)
            ::epoll_ctl(ep.get(), EPOLL_CTL_DEL, m.reg_pidfd, nullptr);
        m.reg_pidfd = -1;
    }
}

void session_group::impl::join(std::uint64_t key, spawn& s, std::shared_ptr<search_strategy> searcher,
                               std::optional<double> timeout, std::optional<long> window) {
    if (!searcher) throw std::invalid_argument("session_group::add(): no search strategy");
    if (by_key.count(key) != 0)
        throw std::invalid_argument("session_group::add(): the key is in the group already");
    if (sessions.count(&s) != 0)
        throw std::invalid_argument("session_group::add(): the session is in the group already");
    if (strategies.count(searcher.get()) != 0)
        throw std::invalid_argument("session_group::add(): another session of the group uses this strategy");
    detail::session_state& state = detail::state_access::of(s);
    if (s.closed || state.source->input_fd() < 0)
        throw std::invalid_argument("session_group::add(): the session is not open");

    std::uint32_t slot = 0;
    if (!free_slots.empty()) {
        slot = free_slots.back();
        free_slots.pop_back();
    } else {
        slot = static_cast<std::uint32_t>(members.size());
        members.emplace_back();
    }
    member& m = members[slot];
    m.s = &s;
    m.state = &state;
    m.key = key;
    m.live = true;
    try {
        watch(slot);
    } catch (...) {
        unwatch(m, true, true);
        vacate(slot);
        throw;
    }
    by_key.emplace(key, slot);
    sessions.insert(&s);
    events.resize(std::clamp<std::size_t>(by_key.size(), 64, most_events));
    arm(slot, std::move(searcher), timeout, window);
}

void session_group::impl::arm(std::uint32_t slot, std::shared_ptr<search_strategy> searcher,
                              std::optional<double> timeout, std::optional<long> window) {
    member& m = members[slot];
    if (searcher && searcher != m.searcher) {
        if (strategies.count(searcher.get()) != 0)
            throw std::invalid_argument("session_group: another session of the group uses this strategy");
        if (m.searcher) strategies.erase(m.searcher.get());
        strategies.insert(searcher.get());
        m.searcher = std::move(searcher);
        m.empty_miss = false;
    }
    if (window)
        m.window = *window == -1 ? m.s->searchwindowsize : window;
    else
        m.window = std::nullopt;
    // The time-out counts from now, whatever waits come and go.
    const std::optional<double> until =
        timeout ? std::optional<double>(detail::now() + *timeout) : std::nullopt;
    if (!m.armed) ++armed;
    if (m.armed && m.until) --timed;
    m.armed = true;
    m.until = until;
    m.fresh = true;
    m.want_read = false;
    m.last_chance = false;
    if (until) {
        ++timed;
        // The round trip's common case, a time-out later than the last one,
        // keeps the entry it has: it moves on when it comes due.
        if (!m.in_heap || m.entry_at > *until) {
            ++m.timer_gen;
            push_timer(slot, *until);
        }
        if (timers.size() > 2 * timed + 256) rebuild_timers();
    }
    watch(slot);
    if (detail::child_running(*m.s, *m.state) && m.state->source->end_poll_interval() && !m.unwatched) {
        m.unwatched = true;
        unwatched.push_back(slot);
    }
    // Its buffer may hold the answer already.
    soon.push_back(slot);
}

void session_group::impl::settle(member& m) {
    if (!m.armed) return;
    m.armed = false;
    --armed;
    if (m.until) --timed;
    m.until.reset();
    m.fresh = m.want_read = false;
}

void session_group::impl::drop(std::uint32_t slot) {
    member& m = members[slot];
    settle(m);
    unwatch(m, true, true);
    by_key.erase(m.key);
    sessions.erase(m.s);
    if (m.searcher) strategies.erase(m.searcher.get());
    vacate(slot);
}

void session_group::impl::vacate(std::uint32_t slot) {
    // The heap may still hold entries of the member that left: the count
    // goes on, so that none of them passes for one of the next member's.
    const std::uint32_t gen = members[slot].timer_gen + 1;
    members[slot] = member{};
    members[slot].timer_gen = gen;
    free_slots.push_back(slot);
}

void session_group::impl::rebuild_timers() {
    timers.clear();
    for (std::uint32_t i = 0; i < members.size(); ++i) {
        member& m = members[i];
        m.in_heap = m.live && m.armed && m.until;
        if (!m.in_heap) continue;
        m.entry_at = *m.until;
        timers.push_back(timer{m.entry_at, i, m.timer_gen});
    }
    std::make_heap(timers.begin(), timers.end(), std::greater<>());
}

void session_group::impl::push_timer(std::uint32_t slot, double at) {
    member& m = members[slot];
    m.in_heap = true;
    m.entry_at = at;
    timers.push_back(timer{at, slot, m.timer_gen});
    std::push_heap(timers.begin(), timers.end(), std::greater<>());
}

void session_group::impl::tidy_timers() {
    // Until the first entry is one that counts: entries of members that left
    // or took a newer entry go. One that comes before its member's time-out
    // (set again since) stays until it is due: moving it on at every wait
    // would cost a pop and a push for every round trip; when due it costs
    // one per time-out, and the wait before it merely ends early.
    while (!timers.empty()) {
        const timer t = timers.front();
        member& m = members[t.slot];
        const bool current = m.live && m.timer_gen == t.gen;
        if (current && m.armed && m.until) return;
        std::pop_heap(timers.begin(), timers.end(), std::greater<>());
        timers.pop_back();
        if (current) m.in_heap = false;
    }
}

void session_group::impl::queue(std::uint32_t slot, bool read) {
    member& m = members[slot];
    if (read) m.want_read = true;
    if (m.queued_round == round) return;
    m.queued_round = round;
    serve.push_back(slot);
}

bool session_group::impl::must_look(const member& m) const {
    // Nothing would turn readable for these; a read reports what is so (a
    // closed session, a child reaped already whose terminal may still hold
    // output or its end, a terminal closed while the child runs on).
    return m.regular_file || m.s->closed || m.state->source->input_fd() < 0 ||
           (m.s->pid && m.s->terminated) || (m.s->flag_eof && detail::child_running(*m.s, *m.state)) ||
           m.state->source->pending();
}

void session_group::impl::look_at_unwatched() {
    std::size_t kept = 0;
    ++looks;
    for (const std::uint32_t slot : unwatched) {
        member& m = members[slot];
        if (!m.live || !m.unwatched || m.look == looks) continue;
        if (!detail::child_running(*m.s, *m.state) || !m.state->source->end_poll_interval()) {
            m.unwatched = false;
            continue;
        }
        m.look = looks;
        unwatched[kept++] = slot;
        if (m.armed && (m.s->flag_eof || !m.s->isalive())) queue(slot, true);
    }
    unwatched.resize(kept);
}

std::optional<double> session_group::impl::next_due(const detail::deadline& end) {
    tidy_timers();
    std::optional<double> left = end.remaining();
    const double t = detail::now();
    auto sooner = [&](double at) { left = left ? std::min(*left, at - t) : at - t; };
    if (!timers.empty()) sooner(timers.front().at);
    if (!unwatched.empty()) sooner(next_look);
    return left;
}

void session_group::impl::due_timers() {
    const double t = detail::now();
    for (tidy_timers(); !timers.empty() && timers.front().at <= t; tidy_timers()) {
        const std::uint32_t slot = timers.front().slot;
        std::pop_heap(timers.begin(), timers.end(), std::greater<>());
        timers.pop_back();
        member& m = members[slot];
        m.in_heap = false;
        if (*m.until <= t)
            queue(slot, true);
        else
            push_timer(slot, *m.until);  // set again since: due later
    }
}

void session_group::impl::serve_one(std::uint32_t slot, std::vector<group_outcome>& out) {
    member& m = members[slot];
    if (!m.live || !m.armed || (!m.fresh && !m.want_read)) return;
    m.readable = m.readable && m.want_read;
    bool overdue = false;
    std::optional<double> left;
    std::optional<double> t;
    if (m.until) {
        t = detail::now();
        left = *m.until - *t;
        if (!(*left > 0)) {
            overdue = true;
            left = m.last_chance ? past_due : 0.0;
            m.last_chance = true;
            m.want_read = true;
        }
    }
    group_status status = group_status::matched;
    int index = -1;
    std::exception_ptr error;
    {
        const bool started_empty = m.s->buffer.empty();  // the call takes the buffer over
        detail::expect_call call(*m.s, *m.state, m.searcher, left, m.window,
                                 detail::expect_call::unlisted_eof::thrown, t);
        try {
            std::optional<int> found;
            if (m.fresh) {
                m.fresh = false;
                found = call.start();
                m.empty_miss = started_empty && !found;
            }
            if (!found && m.want_read) {
                m.want_read = false;
                // Known readable: the read need not ask again. The flag never
                // outlives this read, whatever it throws.
                struct ready_for_one_read {
                    detail::session_state& state;
                    ~ready_for_one_read() { state.input_ready = false; }
                } ready{*m.state};
                m.state->input_ready = std::exchange(m.readable, false);
                found = call.advance(false);
            }
            if (!found) {
                if (overdue || must_look(m)) soon.push_back(slot);
                return;
            }
            index = call.commit();
            if (call.outcome_is_eof())
                status = group_status::eof;
            else if (index == m.searcher->timeout_index)
                status = group_status::timeout;
        } catch (const EOF_&) {
            status = group_status::eof;
            error = std::current_exception();
        } catch (const TIMEOUT&) {
            status = group_status::timeout;
            error = std::current_exception();
        } catch (...) {
            status = group_status::error;
            error = std::current_exception();
        }
    }
    out.push_back(group_outcome{m.key, m.s, index, status, std::move(error)});
    if (status == group_status::eof)
        drop(slot);
    else
        settle(m);
}

void session_group::impl::forget_resting(std::uint32_t slot, bool pidfd) {
    // A resting member stays registered until its descriptor turns ready:
    // the common round trip (rest, send, wait again) costs no epoll_ctl.
    member& m = members[slot];
    unwatch(m, !pidfd, pidfd);
}

std::vector<group_outcome> session_group::impl::wait(std::optional<double> timeout) {
    std::vector<group_outcome> out;
    const detail::deadline end(timeout);
    while (armed > 0) {
        ++round;
        serve.clear();
        std::vector<std::uint32_t> now_due;
        now_due.swap(soon);
        for (const std::uint32_t slot : now_due) {
            member& m = members[slot];
            if (!m.live || !m.armed) continue;
            // A buffer to search needs no wait: searched first, a miss lets
            // this round's wait block as long as it may.
            if (m.fresh && !m.want_read && !must_look(m)) {
                if (m.empty_miss && m.s->buffer.empty()) {
                    // Searched empty before with no match, and will be
                    // again: the read's call goes on from there instead.
                    m.fresh = false;
                    m.state->searched_by = m.searcher;
                    m.state->searched = 0;
                    m.state->searched_window = m.window;
                    continue;
                }
                serve_one(slot, out);
            } else {
                queue(slot, true);
            }
        }
        now_due.clear();
        soon.swap(now_due);  // keeps the allocation
        due_timers();
        if (!unwatched.empty() && detail::now() >= next_look) {
            look_at_unwatched();
            next_look = detail::now() + unwatched_period;
        }

        int ms = 0;
        if (serve.empty() && out.empty()) {
            const auto left = next_due(end);
            if (!left)
                ms = -1;
            else if (*left > 0)
                ms = static_cast<int>(std::min(std::ceil(*left * 1e3), static_cast<double>(INT_MAX)));
        }
        const int n = ::epoll_wait(ep.get(), events.data(), static_cast<int>(events.size()), ms);
        if (n < 0 && errno != EINTR) detail::throw_errno();
        for (int k = 0; k < n; ++k) {
            const std::uint64_t t = events[static_cast<std::size_t>(k)].data.u64;
            const auto slot = static_cast<std::uint32_t>(t >> 1);
            if (slot >= members.size() || !members[slot].live) continue;
            if (members[slot].armed) {
                queue(slot, true);
                if ((t & 1) == 0 && (events[static_cast<std::size_t>(k)].events & EPOLLIN) != 0)
                    members[slot].readable = true;
            } else
                forget_resting(slot, (t & 1) != 0);
        }
        for (const std::uint32_t slot : serve) serve_one(slot, out);
        if (!out.empty()) break;
        const auto left = end.remaining();
        if (left && !(*left > 0)) break;
    }
    return out;
}

void session_group::impl::expire_all() {
    const double t = detail::now();
    for (std::uint32_t i = 0; i < members.size(); ++i) {
        member& m = members[i];
        if (!m.live || !m.armed) continue;
        if (!m.until) ++timed;
        if (!m.until || *m.until > t) m.until = t;
        soon.push_back(i);
        m.want_read = true;
    }
}

session_group::session_group() : impl_(std::make_unique<impl>()) {
    impl_->ep.reset(::epoll_create1(EPOLL_CLOEXEC));
    if (!impl_->ep) detail::throw_errno();
}

session_group::~session_group() = default;
session_group::session_group(session_group&&) noexcept = default;
session_group& session_group::operator=(session_group&&) noexcept = default;

void session_group::add(std::uint64_t key, spawn& session, const pattern_input& patterns,
                        std::optional<seconds_value> timeout, std::optional<long> searchwindowsize) {
    add(key, session, std::make_shared<searcher_re>(session.compile_pattern_list(patterns)), timeout,
        searchwindowsize);
}

void session_group::add(std::uint64_t key, spawn& session, std::shared_ptr<search_strategy> searcher,
                        std::optional<seconds_value> timeout, std::optional<long> searchwindowsize) {
    impl_->join(key, session, std::move(searcher), timeout_of(session, timeout), searchwindowsize);
}

bool session_group::remove(std::uint64_t key) {
    const auto it = impl_->by_key.find(key);
    if (it == impl_->by_key.end()) return false;
    impl_->drop(it->second);
    return true;
}

void session_group::set_patterns(std::uint64_t key, const pattern_input& patterns,
                                 std::optional<seconds_value> timeout, std::optional<long> searchwindowsize) {
    spawn& s = session(key);
    set_patterns(key, std::make_shared<searcher_re>(s.compile_pattern_list(patterns)), timeout,
                 searchwindowsize);
}

void session_group::set_patterns(std::uint64_t key, std::shared_ptr<search_strategy> searcher,
                                 std::optional<seconds_value> timeout, std::optional<long> searchwindowsize) {
    if (!searcher) throw std::invalid_argument("session_group::set_patterns(): no search strategy");
    const std::uint32_t slot = impl_->slot_of(key);
    impl_->arm(slot, std::move(searcher), timeout_of(*impl_->members[slot].s, timeout), searchwindowsize);
}

void session_group::rearm(std::uint64_t key, std::optional<seconds_value> timeout) {
    const std::uint32_t slot = impl_->slot_of(key);
    const member& m = impl_->members[slot];
    // The window as it was resolved when the patterns were set.
    impl_->arm(slot, nullptr, timeout_of(*m.s, timeout),
               m.window ? std::optional<long>(*m.window) : std::nullopt);
}

std::vector<group_outcome> session_group::wait(std::optional<seconds_value> timeout) {
    return impl_->wait(
        detail::checked_timeout(timeout ? std::optional<double>(timeout->count()) : std::nullopt));
}

bool session_group::contains(std::uint64_t key) const { return impl_->by_key.count(key) != 0; }

spawn& session_group::session(std::uint64_t key) const { return *impl_->members[impl_->slot_of(key)].s; }

std::size_t session_group::size() const noexcept { return impl_->by_key.size(); }

std::size_t session_group::waiting() const noexcept { return impl_->armed; }

}  // namespace ptypilot

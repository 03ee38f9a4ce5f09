// What a session group keeps: its members in slots, the epoll set their
// descriptors are registered in, a heap of time-outs, and the members to
// serve in the next round without waiting.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <sys/epoll.h>

#include <ptypilot/session_group.hpp>

#include "os/clock.hpp"
#include "os/unique_fd.hpp"
#include "session/session_state.hpp"

namespace ptypilot {

namespace detail {

struct group_member {
    spawn* s = nullptr;
    detail::session_state* state = nullptr;
    std::uint64_t key = 0;
    std::shared_ptr<search_strategy> searcher;
    std::optional<long> window;
    // When its time-out passes (monotonic seconds); no value: no limit.
    std::optional<double> until;
    bool live = false;          // the slot holds a member
    bool armed = false;         // waits for something (no outcome yet)
    bool fresh = false;         // its buffer is to be searched before any read
    bool want_read = false;     // the next serve reads
    bool readable = false;      // ... and the epoll set said its descriptor is readable
    bool empty_miss = false;    // its strategy found nothing in an empty buffer
    bool last_chance = false;   // its time ran out and it had one last read
    bool unwatched = false;     // listed among the children no descriptor reports the end of
    bool regular_file = false;  // epoll refuses it: always looked at
    int reg_master = -1;        // descriptors registered in the epoll set
    int reg_pidfd = -1;
    bool in_heap = false;  // holds the heap entry of its count, at `entry_at`
    double entry_at = 0;
    std::uint32_t timer_gen = 0;     // which heap entry counts
    std::uint64_t queued_round = 0;  // the round it is queued for
    std::uint64_t look = 0;          // the last look at an unwatched child
};

struct group_timer {
    double at;
    std::uint32_t slot;
    std::uint32_t gen;
    bool operator>(const group_timer& o) const { return at > o.at; }
};

}  // namespace detail

struct session_group::impl {
    using member = detail::group_member;
    using timer = detail::group_timer;

    detail::unique_fd ep;
    std::vector<member> members;
    std::vector<std::uint32_t> free_slots;
    std::unordered_map<std::uint64_t, std::uint32_t> by_key;
    std::unordered_set<const spawn*> sessions;
    std::unordered_set<const search_strategy*> strategies;
    // A min-heap on `at`. A member's entry may come before its time-out (a
    // later one set since): it moves on when it comes due. Stale entries
    // are skipped.
    std::vector<timer> timers;
    std::size_t timed = 0;  // armed members with a time-out
    std::size_t armed = 0;
    std::vector<std::uint32_t> soon;       // served in the next round without waiting
    std::vector<std::uint32_t> unwatched;  // children without a pidfd
    double next_look = 0;
    std::uint64_t looks = 0;
    std::vector<epoll_event> events = std::vector<epoll_event>(64);
    std::vector<std::uint32_t> serve;  // this round's
    std::uint64_t round = 0;

    std::uint32_t slot_of(std::uint64_t key) const;
    void join(std::uint64_t key, spawn& s, std::shared_ptr<search_strategy> searcher,
              std::optional<double> timeout, std::optional<long> window);
    void arm(std::uint32_t slot, std::shared_ptr<search_strategy> searcher, std::optional<double> timeout,
             std::optional<long> window);
    void settle(member& m);
    void drop(std::uint32_t slot);
    void vacate(std::uint32_t slot);
    void watch(std::uint32_t slot);
    void unwatch(member& m, bool master, bool pidfd);
    void forget_resting(std::uint32_t slot, bool pidfd);
    void rebuild_timers();
    void push_timer(std::uint32_t slot, double at);
    void tidy_timers();
    void queue(std::uint32_t slot, bool read);
    bool must_look(const member& m) const;
    void look_at_unwatched();
    std::optional<double> next_due(const detail::deadline& end);
    void due_timers();
    void serve_one(std::uint32_t slot, std::vector<group_outcome>& out);
    std::vector<group_outcome> wait(std::optional<double> timeout);
    // Every member still waiting times out now (after one last read).
    void expire_all();
};

}  // namespace ptypilot

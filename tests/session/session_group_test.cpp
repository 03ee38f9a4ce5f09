// A lasting session group: sessions joining and leaving, ends among busy
// sessions, a flood beside a quiet one, time-outs that outlive waits, a
// child's end without a pidfd, and a thousand sessions leaving nothing.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <chrono>
#include <cstddef>
#include <deque>

#include <ptypilot/session_group.hpp>

#include "support/child_watch.hpp"
#include "support/helpers.hpp"

using namespace ptypilot;
using testing_support::fixture;
using testing_support::is;

namespace {

std::unique_ptr<spawn> start(const std::string& cmd) { return testing_support::start_quick(cmd, 20.0); }

// A session over one end of a socket pair; the test speaks for the other.
struct socket_session {
    int peer = -1;
    std::unique_ptr<spawn> s;
    socket_session() {
        int sv[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
        peer = sv[1];
        s = std::make_unique<spawn>(spawn::from_fd(sv[0], {.timeout = 20.0, .delaybeforesend = 0.0}));
    }
    ~socket_session() { hang_up(); }
    void say(const std::string& text) const {
        EXPECT_EQ(::write(peer, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    void hang_up() {
        if (peer >= 0) ::close(peer);
        peer = -1;
    }
};

// A wait that must bring something: a hang fails instead of blocking.
std::vector<group_outcome> some(session_group& g) {
    auto got = g.wait(20.0);
    EXPECT_FALSE(got.empty()) << "no outcome within 20 s";
    return got;
}

std::string group1(const spawn& s) { return std::get<match_result>(s.match).group(1).value_or(""); }

}  // namespace

// Sessions join and leave between waits; a session that left is never
// reported, and keeps every byte sent to it.
TEST(SessionGroup, JoinsAndLeavesDuringAWaitLoop) {
    std::deque<socket_session> socks(8);
    session_group g;
    for (std::uint64_t k = 0; k < 4; ++k) g.add(k, *socks[k].s, "line (\\d+)\n");
    for (int step = 0; step < 30; ++step) {
        if (step == 10)
            for (std::uint64_t k = 4; k < 8; ++k) g.add(k, *socks[k].s, "line (\\d+)\n");
        if (step == 20) {
            EXPECT_TRUE(g.remove(0) && g.remove(5) && !g.remove(5));
        }
        for (std::uint64_t k = 0; k < 8; ++k)
            if (g.contains(k) || (step >= 20 && (k == 0 || k == 5)))
                socks[k].say("line " + std::to_string(step) + "\n");
        const auto all = expect_all(g, 20.0);
        ASSERT_EQ(all.size(), g.size()) << "step " << step;
        for (const auto& o : all) {
            EXPECT_EQ(o.status, group_status::matched);
            EXPECT_EQ(o.session, socks[o.key].s.get());
            EXPECT_EQ(group1(*o.session), std::to_string(step)) << "key " << o.key;
            g.rearm(o.key);
        }
    }
    // The sessions that left read on from where the group stopped.
    EXPECT_EQ(socks[0].s->expect("line (\\d+)\n"), 0);
    EXPECT_EQ(group1(*socks[0].s), "20");
    EXPECT_EQ(socks[5].s->expect("line (\\d+)\n"), 0);
    EXPECT_EQ(group1(*socks[5].s), "20");
}

// A child that ends and a descriptor whose peer hangs up, among busy
// sessions: each end is reported once, and the others keep being served.
TEST(SessionGroup, EndsMidWaitAmongBusySessions) {
    std::vector<std::unique_ptr<spawn>> busy;
    session_group g;
    for (std::uint64_t k = 0; k < 3; ++k) {
        busy.push_back(start(fixture + " drip 10 0.02"));
        g.add(k, *busy.back(), "tick\r\n");
    }
    auto ending = start(fixture + " sleep 0.3");
    g.add(10, *ending, "never");
    socket_session sock;
    g.add(11, *sock.s, {"never", sentinel::eof});
    std::map<std::uint64_t, int> ticks_after_ends, ends;
    while (ends.size() < 2 || ticks_after_ends.size() < 3) {
        for (const auto& o : some(g)) {
            if (o.key < 3) {
                EXPECT_EQ(o.status, group_status::matched);
                if (ends.size() == 2) ++ticks_after_ends[o.key];
                g.rearm(o.key);
                continue;
            }
            ++ends[o.key];
            EXPECT_EQ(o.status, group_status::eof);
            EXPECT_FALSE(g.contains(o.key));
            // Not listed: what expect() would throw; listed: its position.
            EXPECT_EQ(o.index, o.key == 10 ? -1 : 1);
            EXPECT_EQ(o.error != nullptr, o.key == 10);
            if (o.key == 10) sock.hang_up();
        }
        if (HasFailure()) return;
    }
    EXPECT_EQ(ends, (std::map<std::uint64_t, int>{{10, 1}, {11, 1}}));
}

// A flood from one session never keeps the answer of another waiting.
TEST(SessionGroup, FloodDoesNotStarveQuietSession) {
    auto quiet = start(fixture + " print quiet");
    auto flood = start(fixture + " flood 20000000");
    for (spawn* s : {quiet.get(), flood.get()}) {
        pollfd p{s->child_fd, POLLIN, 0};
        ASSERT_EQ(::poll(&p, 1, 20000), 1);
    }
    session_group g;
    g.add(1, *flood, "END");
    g.add(2, *quiet, "quiet");
    const auto first = some(g);
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0].key, 2u);
    EXPECT_EQ(g.waiting(), 1u);
}

// Time-outs count from when each was set: waits ended by a chatty
// neighbour do not restart them. Listed, the time-out is the position;
// not listed, the outcome carries what expect() would throw.
TEST(SessionGroup, TimeoutsOutliveWaits) {
    auto chatty = start(fixture + " drip 10 0.02");
    auto listed = start(fixture + " sleep 10");
    auto unlisted = start(fixture + " sleep 10");
    session_group g;
    g.add(0, *chatty, "tick\r\n");
    g.add(1, *listed, {"never", sentinel::timeout}, 0.3);
    g.add(2, *unlisted, "never", 0.3);
    int chatty_outcomes = 0;
    std::map<std::uint64_t, group_outcome> timed_out;
    while (timed_out.size() < 2 && chatty_outcomes < 400) {
        for (const auto& o : some(g)) {
            if (o.key == 0) {
                ++chatty_outcomes;
                g.rearm(0);
            } else {
                timed_out.emplace(o.key, o);
            }
        }
    }
    ASSERT_EQ(timed_out.size(), 2u) << "time-outs kept from passing by " << chatty_outcomes << " ticks";
    EXPECT_GT(chatty_outcomes, 0);
    EXPECT_EQ(timed_out.at(1).status, group_status::timeout);
    EXPECT_EQ(timed_out.at(1).index, 1);
    EXPECT_TRUE(is(listed->after, sentinel::timeout));
    EXPECT_EQ(timed_out.at(2).status, group_status::timeout);
    EXPECT_EQ(timed_out.at(2).index, -1);
    EXPECT_THROW(std::rethrow_exception(timed_out.at(2).error), TIMEOUT);
    EXPECT_TRUE(g.contains(1) && g.contains(2));
}

// A time-out set again counts from then: a later one is not cut short by
// the one it replaced, and an earlier one is not held back by it.
TEST(SessionGroup, TimeoutSetAgainReplacesTheOldOne) {
    socket_session quiet;
    session_group g;
    g.add(0, *quiet.s, "never", 0.2);
    EXPECT_TRUE(g.wait(0.05).empty());
    const auto set_again = std::chrono::steady_clock::now();
    g.rearm(0, 0.6);
    EXPECT_EQ(some(g).at(0).status, group_status::timeout);
    EXPECT_GE(std::chrono::steady_clock::now() - set_again, std::chrono::milliseconds(600));
    g.rearm(0, 30.0);
    g.rearm(0, 0.1);
    EXPECT_EQ(some(g).at(0).status, group_status::timeout);
}

// A child that ends while a process it left keeps the terminal open is
// noticed, with a pidfd and where the system refuses pidfds.
TEST(SessionGroup, ChildEndSeenWithAndWithoutPidfd) {
    auto ends_seen = [] {
        auto s = start("/bin/sh -c 'trap \"\" HUP; sleep 8 & echo started; read x'");
        session_group g;
        g.add(0, *s, {"started", sentinel::eof});
        const auto got = expect_all(g, 20.0);
        const bool started = got.size() == 1 && got[0].index == 0;
        g.rearm(0);
        s->setecho(false);             // no echo to read, which would look at the child too
        s->sendline("");               // sh ends; the sleep holds the terminal
        const auto end = g.wait(6.0);  // empty if the end went unseen
        return started && end.size() == 1 && end[0].status == group_status::eof;
    };
    for (const auto watch : testing_support::both_watches)
        testing_support::run_with(watch,
                                  [&] { EXPECT_TRUE(ends_seen()) << testing_support::name_of(watch); });
}

// A thousand sessions (children and descriptors) answer, end and close: no
// descriptor and no zombie is left behind.
TEST(SessionGroup, ThousandSessionsLeaveNothing) {
    constexpr std::size_t count = 1000, children = 300;
    rlimit lim{};
    ::getrlimit(RLIMIT_NOFILE, &lim);
    if (lim.rlim_max < 2 * count + 100) GTEST_SKIP() << "the hard descriptor limit is too low";
    if (lim.rlim_cur < 2 * count + 100) {
        lim.rlim_cur = 2 * count + 100;
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lim), 0);
    }
    const int fds_before = testing_support::open_fd_count();
    {
        std::vector<std::unique_ptr<spawn>> sessions;
        std::deque<socket_session> socks(count - children);
        session_group g;
        for (std::size_t k = 0; k < count; ++k) {
            if (k < children) sessions.push_back(start(fixture + " print hello"));
            spawn& s = k < children ? *sessions.back() : *socks[k - children].s;
            g.add(k, s, {"hello", sentinel::eof});
        }
        for (auto& sock : socks) sock.say("hello"), sock.hang_up();
        const auto answers = expect_all(g, 60.0);
        ASSERT_EQ(answers.size(), count);
        for (const auto& o : answers) EXPECT_EQ(o.index, 0) << "key " << o.key;
        for (std::size_t k = 0; k < count; ++k) g.set_patterns(k, sentinel::eof);
        EXPECT_EQ(expect_all(g, 60.0).size(), count);
        EXPECT_EQ(g.size(), 0u);
    }
    EXPECT_EQ(testing_support::open_fd_count(), fds_before);
    EXPECT_FALSE(testing_support::has_zombie_child());
}

// What a C++ user reaches for beside the positional interface: options by
// name, moves, std::chrono time-outs, vectors of patterns, plain outcomes.
#include <ptypilot/run.hpp>

#include <gtest/gtest.h>

#include <chrono>

#include "support/helpers.hpp"

using namespace ptypilot;
using namespace std::chrono_literals;
using testing_support::fixture;

namespace {

spawn started(const std::string& command) {
    spawn s(command, {.timeout = 10s, .delaybeforesend = 0ms, .delayafterclose = 10ms});
    return s;  // a factory: only possible because sessions move
}

}  // namespace

TEST(Options, SettingsByNameReachTheSessionAndTheChild) {
    spawn s(fixture + " winsize", {.timeout = 5s,
                                   .maxread = 100,
                                   .env = env_map{{"A", "1"}},
                                   .delaybeforesend = 20ms,
                                   .delayafterread = 0,
                                   .ignorecase = true,
                                   .window = {40, 120}});
    EXPECT_EQ(s.timeout, 5.0);
    EXPECT_EQ(s.maxread, 100);
    EXPECT_DOUBLE_EQ(s.delaybeforesend, 0.02);
    EXPECT_EQ(s.delayafterread, 0.0);
    EXPECT_EQ(s.delayafterclose, defaults::delayafterclose);
    EXPECT_TRUE(s.ignorecase);
    EXPECT_EQ(s.env, (env_map{{"A", "1"}}));
    EXPECT_EQ(s.expect("40 120\r\n"), 0);

    spawn t(fixture, {"args", "x y"}, {.timeout = std::nullopt});
    EXPECT_EQ(t.timeout, std::nullopt);
    EXPECT_EQ(t.expect(EOF_{}), 0);
    EXPECT_NE(t.before_str().find("x y\r\n"), std::string::npos);
    // One number by name is a setting, never an argument list.
    spawn v(fixture + " exit 0", {.maxread = 5});
    EXPECT_EQ(v.maxread, 5);
    spawn w(fixture + " exit 0", {.delayafterclose = 0.01});
    EXPECT_EQ(w.delayafterclose, 0.01);
    spawn u(fixture + " exit 0", {});  // braces alone are still an empty argument list
    EXPECT_EQ(u.args->size(), 3u);     // split: program, "exit", "0"
}

TEST(Moves, SessionsLiveInContainersAndComeFromFactories) {
    std::vector<spawn> sessions;
    for (int i = 0; i < 3; ++i) sessions.push_back(started(fixture + " cat"));  // grows, so moves
    for (std::size_t i = 0; i < sessions.size(); ++i) sessions[i].sendline("n" + std::to_string(i));
    for (std::size_t i = 0; i < sessions.size(); ++i) {
        EXPECT_EQ(sessions[i].expect("n(\\d)\r\n.*n\\d\r\n"), 0);
        EXPECT_EQ(sessions[i].after_str(), "n" + std::to_string(i) + "\r\nn" + std::to_string(i) + "\r\n");
    }
    for (auto& s : sessions) s.close();
    EXPECT_FALSE(testing_support::has_zombie_child());
}

TEST(Moves, TheSessionMovedFromIsClosedAndTheIdentityTravels) {
    spawn a = started(fixture + " cat");
    const std::string identity = a.identity();
    const int pid = *a.pid;
    spawn b(std::move(a));
    EXPECT_EQ(b.identity(), identity);
    EXPECT_EQ(b.str().substr(0, identity.size()), identity);
    EXPECT_EQ(*b.pid, pid);
    EXPECT_TRUE(b.isalive());
    EXPECT_TRUE(a.closed);
    EXPECT_EQ(a.child_fd, -1);
    EXPECT_FALSE(a.isalive());
    EXPECT_FALSE(a.pid);
    EXPECT_THROW(a.read_nonblocking(1, 0), std::logic_error);
    a.close();

    // Assigning to an open session ends its child first.
    spawn c = started(fixture + " ignore-signals");
    const int old_pid = *c.pid;
    c.expect("ready");
    c = std::move(b);
    EXPECT_EQ(::kill(old_pid, 0), -1);
    EXPECT_EQ(*c.pid, pid);
    c.sendline("still here");
    EXPECT_EQ(c.expect("still here\r\n.*still here\r\n"), 0);
}

TEST(Chrono, EveryTimeOutTakesADuration) {
    spawn s = started(fixture + " echo-off-after 0.3");
    EXPECT_THROW(s.read_nonblocking(1, 100ms), TIMEOUT);
    EXPECT_EQ(s.expect({"never", sentinel::timeout}, 50ms), 1);
    EXPECT_EQ(s.expect_exact({"never", sentinel::timeout}, std::chrono::microseconds(1000)), 1);
    EXPECT_TRUE(s.waitnoecho(5s));
    EXPECT_EQ(run(fixture + " print hi", 5s), "hi");
    EXPECT_EQ(run(fixture + " exit 4", 5s, withexitstatus).second, 4);
}

TEST(Overloads, VectorsOfPatternsAndRunWithTheDefaultTimeOut) {
    spawn s = started(fixture + " print 'alpha beta gamma'");
    EXPECT_EQ(s.expect(std::vector<std::string>{"gam+a", "be.a"}), 1);
    EXPECT_EQ(s.before_str(), "alpha ");
    EXPECT_EQ(s.after_str(), "beta");
    EXPECT_EQ(s.expect(std::vector<regex>{regex("G\\w+", regex::ignorecase)}), 0);
    EXPECT_EQ(s.after_str(), "gamma");
    EXPECT_EQ(s.expect(sentinel::eof), 0);
    EXPECT_EQ(s.after_str(), "");  // end of file was the outcome, not text

    EXPECT_EQ(run(fixture + " exit 3", withexitstatus).second, 3);
    EXPECT_EQ(run(fixture + " password", event_list{{"[Pp]assword: ", "pw\n"}}), "Password: \r\ngot pw\r\n");
}

// A timer signal every millisecond, with a handler installed without
// SA_RESTART, so that every blocking call the session makes is interrupted
// over and over: time-outs must still hold and no EINTR may escape.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <termios.h>

#include <atomic>
#include <cstring>
#include <thread>

#include <ptypilot/expect_many.hpp>

#include "stress.hpp"

using namespace ptypilot;
using testing_support::fixture;

namespace {

std::atomic<long> ticks{0};
void on_alarm(int) { ticks.fetch_add(1, std::memory_order_relaxed); }

class signal_storm {
public:
    signal_storm() {
        struct sigaction sa {};
        sa.sa_handler = on_alarm;
        sa.sa_flags = 0;  // no SA_RESTART: interrupted calls fail with EINTR
        ::sigemptyset(&sa.sa_mask);
        ::sigaction(SIGALRM, &sa, &old_);
        itimerval every_ms{{0, 1000}, {0, 1000}};
        ::setitimer(ITIMER_REAL, &every_ms, nullptr);
        start_ = ticks.load();
    }
    ~signal_storm() {
        itimerval off{};
        ::setitimer(ITIMER_REAL, &off, nullptr);
        ::sigaction(SIGALRM, &old_, nullptr);
    }
    // A loaded machine runs the handler for only some of the ticks: enough
    // to interrupt every wait many times over, which is what counts.
    long fired() const { return ticks.load() - start_; }

private:
    struct sigaction old_ {};
    long start_ = 0;
};

double elapsed_of(const std::function<void()>& f) {
    const auto t0 = std::chrono::steady_clock::now();
    f();
    return stress::seconds_since(t0);
}

}  // namespace

TEST(SignalStorm, ExpectKeepsItsTimeOutAndFindsItsMatches) {
    spawn s(fixture + " pause first 3 second", {}, 20.0);
    stress::make_fast(s);
    signal_storm storm;
    // Silent child: the whole time-out is waited for, not cut short.
    const double waited = elapsed_of([&] { EXPECT_EQ(s.expect({"second", TIMEOUT{}}, 0.2), 1); });
    EXPECT_GE(waited, 0.19);
    EXPECT_LT(waited, 5.0);
    EXPECT_EQ(s.expect("second", 10.0), 0);
    EXPECT_EQ(*s.before, "first");
    EXPECT_EQ(s.expect(EOF_{}, 10.0), 0);
    // And without a TIMEOUT entry the time-out is thrown as such.
    spawn t(fixture + " sleep 5", {}, 20.0);
    stress::make_fast(t);
    EXPECT_THROW(t.expect("never", 0.2), TIMEOUT);
    EXPECT_GT(storm.fired(), 10);
}

TEST(SignalStorm, WaitOverManyKeepsEachTimeOutAndFindsItsMatches) {
    spawn a(fixture + " pause first 3 second", {}, 20.0);  // long after the other times out, however busy
    spawn b(fixture + " sleep 5", {}, 20.0);
    stress::make_fast(a);
    stress::make_fast(b);
    signal_storm storm;
    std::vector<expect_outcome> outcomes;
    const double waited = elapsed_of([&] {
        outcomes = expect_many({{a, "second"}, {b, {"never", sentinel::timeout}, 0.2}});
    });
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_EQ(outcomes[0].session, 1u);
    EXPECT_EQ(outcomes[0].index, 1);
    EXPECT_GE(waited, 0.19);
    EXPECT_LT(waited, 5.0);
    outcomes = expect_many({{a, "second", 10.0}});
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_EQ(*a.before, "first");
    EXPECT_GT(storm.fired(), 10);
}

// Sends to a descriptor without a child: interrupted writes and waits for
// room go on, and nothing is lost.
TEST(SignalStorm, SendOverADescriptorLosesNothing) {
    int sv[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    ::fcntl(sv[0], F_SETFL, ::fcntl(sv[0], F_GETFL) | O_NONBLOCK);
    spawn s = spawn::from_fd(sv[0], {.timeout = 20.0, .delaybeforesend = 0.0});
    signal_storm storm;
    const std::string big(8 << 20, 'q');
    std::size_t received = 0;
    std::thread reader([&] {
        char buf[65536];
        while (received < big.size()) {
            const ssize_t n = ::read(sv[1], buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            received += static_cast<std::size_t>(n);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    EXPECT_EQ(s.send(big), static_cast<long>(big.size()));
    reader.join();
    EXPECT_EQ(received, big.size());
    EXPECT_GT(storm.fired(), 10);
    ::close(sv[1]);
}

TEST(SignalStorm, ReadNonblockingKeepsItsTimeOut) {
    spawn s(fixture + " pause a 2 b", {}, 20.0);
    stress::make_fast(s);
    signal_storm storm;
    EXPECT_EQ(s.read_nonblocking(1, 10.0), "a");
    const double waited = elapsed_of([&] { EXPECT_THROW(s.read_nonblocking(10, 0.1), TIMEOUT); });
    EXPECT_GE(waited, 0.09);
    EXPECT_EQ(s.read_nonblocking(10, 10.0), "b");
    EXPECT_THROW((void)s.read_nonblocking(10, 10.0), EOF_);
    EXPECT_GT(storm.fired(), 10);
    s.close();
    EXPECT_EQ(s.exitstatus, 0);
}

TEST(SignalStorm, InteractRelaysEverythingThroughPipes) {
    int in[2], out[2];
    ASSERT_EQ(::pipe2(in, O_CLOEXEC), 0);
    ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
    spawn s(fixture + " cat", {}, 20.0);
    stress::make_fast(s);
    s.STDIN_FILENO_ = in[0];
    s.STDOUT_FILENO_ = out[1];
    std::string seen;
    std::thread reader([&] { seen = testing_support::read_until(out[0], "line 199\r\n", 30.0); });
    std::thread typist([&] {
        for (int i = 0; i < 200; ++i) {
            const std::string line = "line " + std::to_string(i) + "\n";
            (void)::write(in[1], line.data(), line.size());
            ::usleep(500);
        }
        // Give cat time to answer before the escape ends the relay.
        testing_support::wait_readable(out[0], 0.0);
        ::usleep(300000);
        (void)::write(in[1], "\x1d", 1);
    });
    {
        signal_storm storm;
        EXPECT_NO_THROW(s.interact());
        EXPECT_GT(storm.fired(), 10);
    }
    typist.join();
    ::close(out[1]);
    reader.join();
    EXPECT_NE(seen.find("line 0\r\n"), std::string::npos);
    EXPECT_NE(seen.find("line 199\r\n"), std::string::npos);
    EXPECT_TRUE(s.isalive());
    for (int fd : {in[0], in[1], out[0]}) ::close(fd);
}

// The user's terminal is left exactly as it was found, also when the relay
// is interrupted all the time and ends by the escape character.
TEST(SignalStorm, InteractLeavesTheUserTerminalAsItWasFound) {
    const testing_support::user_terminal user;
    ASSERT_TRUE(user.ok());
    termios before{};
    ASSERT_EQ(::tcgetattr(user.slave, &before), 0);
    spawn s(fixture + " cat", {}, 20.0);
    stress::make_fast(s);
    int out[2];
    ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
    s.STDIN_FILENO_ = user.slave;
    s.STDOUT_FILENO_ = out[1];
    std::thread typist([&] {
        ::usleep(200000);
        (void)::write(user.master, "hello\r", 6);
        ::usleep(200000);
        (void)::write(user.master, "\x1d", 1);
    });
    {
        signal_storm storm;
        EXPECT_NO_THROW(s.interact());
    }
    typist.join();
    termios after{};
    ASSERT_EQ(::tcgetattr(user.slave, &after), 0);
    EXPECT_EQ(before.c_iflag, after.c_iflag);
    EXPECT_EQ(before.c_oflag, after.c_oflag);
    EXPECT_EQ(before.c_cflag, after.c_cflag);
    EXPECT_EQ(before.c_lflag, after.c_lflag);
    EXPECT_EQ(std::memcmp(before.c_cc, after.c_cc, sizeof before.c_cc), 0);
    ::close(out[0]);
    ::close(out[1]);
}

// Sending and closing under the storm.
TEST(SignalStorm, SendAndCloseAreNotCutShort) {
    signal_storm storm;
    for (int i = 0; i < 3; ++i) {
        spawn s(fixture + " ignore-hup-int", {}, 20.0);
        stress::make_fast(s);
        s.delayafterterminate = 1.0;  // the child must die of SIGKILL within it, on a busy machine too
        ASSERT_EQ(s.expect("ready"), 0);
        EXPECT_EQ(s.send("abc"), 3);
        s.close();
        EXPECT_EQ(s.signalstatus, SIGKILL);
    }
    EXPECT_FALSE(testing_support::has_zombie_child());
}

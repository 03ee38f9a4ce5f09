// Children that misbehave: the session must end them, survive them, and
// never hang on them.
#include <gtest/gtest.h>

#include <csignal>

#include "stress.hpp"

using namespace ptypilot;
using testing_support::fixture;

TEST(Hostile, ChildIgnoringEverySignalIsStillEndedByClose) {
    spawn s(fixture + " ignore-signals", {}, 20.0);
    stress::make_fast(s);
    ASSERT_EQ(s.expect("ready"), 0);
    const auto t0 = std::chrono::steady_clock::now();
    s.close();
    EXPECT_LT(stress::seconds_since(t0), 10.0);
    EXPECT_FALSE(s.isalive());
    EXPECT_EQ(s.signalstatus, SIGKILL);
    EXPECT_FALSE(testing_support::has_zombie_child());
}

// It closes its side of the terminal, so the session sees end of file, yet
// it lives on. Closing the session must end it instead of waiting for it.
// close() gives such a child the session's time-out to finish, then ends it.
TEST(Hostile, ChildThatClosesItsTerminalAndLivesOnIsEndedByClose) {
    spawn s(fixture + " close-tty 60", {}, 1.0);
    stress::make_fast(s);
    ASSERT_EQ(s.expect({"closing", EOF_{}}), 0);
    ASSERT_EQ(s.expect(EOF_{}), 0);
    const auto t0 = std::chrono::steady_clock::now();
    s.close();
    EXPECT_LT(stress::seconds_since(t0), 10.0) << "close() waited for the child to end by itself";
    EXPECT_TRUE(s.terminated);
    EXPECT_TRUE(s.signalstatus.has_value());
    EXPECT_FALSE(testing_support::has_zombie_child());
}

// The same child, closed as the destructor does it.
TEST(Hostile, ReleasingASessionWhoseChildClosedItsTerminalDoesNotHang) {
    const auto t0 = std::chrono::steady_clock::now();
    {
        spawn s(fixture + " close-tty 60", {}, 1.0);
        stress::make_fast(s);
        ASSERT_EQ(s.expect(EOF_{}), 0);
    }
    EXPECT_LT(stress::seconds_since(t0), 10.0);
    EXPECT_FALSE(testing_support::has_zombie_child());
}

// A stopped child is not an ended one: isalive() says so without blocking,
// and close() continues and ends it.
TEST(Hostile, ChildThatStopsItself) {
    spawn s(fixture + " stop-self", {}, 20.0);
    stress::make_fast(s);
    ASSERT_EQ(s.expect("stopping\r\n"), 0);
    // Wait until the stop has happened.
    for (int i = 0; i < 200; ++i) {
        siginfo_t info{};
        if (::waitid(P_PID, static_cast<id_t>(*s.pid), &info, WSTOPPED | WNOHANG | WNOWAIT) == 0 &&
            info.si_pid == *s.pid)
            break;
        ::usleep(10000);
    }
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_TRUE(s.isalive());
    EXPECT_EQ(s.expect({"continued", TIMEOUT{}}, 0.3), 1);
    EXPECT_TRUE(s.isalive());
    s.close();
    EXPECT_LT(stress::seconds_since(t0), 10.0);
    EXPECT_TRUE(s.terminated);
    EXPECT_FALSE(testing_support::has_zombie_child());
}

// 100 MB without a newline, matched at its very end; memory follows the data
// (the buffer holds it all until the match) and nothing quadratic happens.
TEST(Hostile, HundredMegabyteFloodWithoutANewline) {
    constexpr long bytes = 100L * 1000 * 1000;
    spawn s(std::nullopt);
    stress::make_fast(s);
    s.maxread = 65536;
    s.timeout = 240.0;
    const long rss_before = stress::rss_kib();
    const long peak_before = stress::peak_rss_kib();
    const auto t0 = std::chrono::steady_clock::now();
    s._spawn(fixture, {"flood", std::to_string(bytes)});
    ASSERT_EQ(s.expect("[a-z]END"), 0);
    const double elapsed = stress::seconds_since(t0);
    EXPECT_EQ(s.before->size(), static_cast<std::size_t>(bytes - 1));
    EXPECT_EQ(s.before->substr(0, 26), "abcdefghijklmnopqrstuvwxyz");
    const long peak_after = stress::peak_rss_kib();
    std::printf("flood of %ld bytes in %.1f s; RSS %ld KiB before, peak %ld KiB before and %ld KiB after\n",
                bytes, elapsed, rss_before, peak_before, peak_after);
    // The buffer plus `before` (a copy), with room for growth by doubling.
    if (!stress::sanitized) {
        EXPECT_LT(peak_after - rss_before, 5 * bytes / 1024);
    }
    s.close();
}

TEST(Hostile, NulAndInvalidUtf8ArriveByteExact) {
    spawn s(fixture + " raw-bytes", {}, 20.0);
    stress::make_fast(s);
    ASSERT_EQ(s.expect_exact("END"), 0);
    std::string want;
    for (int round = 0; round < 2; ++round)
        for (int b = 0; b < 256; ++b) want += static_cast<char>(b);
    EXPECT_EQ(*s.before, want);

    // And through the regex strategy, whose buffer is the same bytes.
    spawn t(fixture + " raw-bytes", {}, 20.0);
    stress::make_fast(t);
    ASSERT_EQ(t.expect("\\xff\\x00\\x01"), 0);
    EXPECT_EQ(t.before->size(), 255u);
    ASSERT_EQ(t.expect("END"), 0);
    EXPECT_EQ(*t.before, want.substr(258));
}

// The child reads a little and exits while the parent still sends: every
// send either succeeds or fails with a system error; nothing hangs or kills
// the process (a pty raises no SIGPIPE, but a broken one must not either).
TEST(Hostile, ChildExitsWhileInputIsStillBeingSent) {
    for (int round = 0; round < 5; ++round) {
        spawn s(fixture + " read-exit 100", {}, 20.0);
        stress::make_fast(s);
        // Its terminal is raw: no "\r" is added.
        ASSERT_EQ(s.expect("ready\n"), 0);
        const std::string chunk(1000, 'k');
        const auto t0 = std::chrono::steady_clock::now();
        long sent = 0;
        bool failed = false;
        for (int i = 0; i < 2000 && stress::seconds_since(t0) < 20.0; ++i) {
            try {
                sent += s.send(chunk);
            } catch (const std::system_error&) {
                failed = true;
                break;
            }
        }
        EXPECT_TRUE(failed) << "sent " << sent << " bytes to a child that had ended";
        EXPECT_LT(stress::seconds_since(t0), 20.0);
        EXPECT_EQ(s.expect(EOF_{}), 0);
        s.close();
        EXPECT_EQ(s.exitstatus, 5);
    }
    EXPECT_FALSE(testing_support::has_zombie_child());
}

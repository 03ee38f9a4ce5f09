// Many sessions: one after the other, many at once, and from many threads.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "stress.hpp"

using namespace ptypilot;
using testing_support::fixture;

// Every cycle must give back what it took: descriptors, the child's process
// table entry, and memory.
TEST(Stress, SpawnExpectEofCloseCyclesLeakNothing) {
    // About a minute here unsanitized; a sanitized fork costs several times
    // more. PTYPILOT_STRESS_CYCLES=10000 runs the full soak.
    const long cycles = stress::count_from_env("PTYPILOT_STRESS_CYCLES", stress::sanitized ? 1000 : 4000);
    const long warmup = std::min(200L, cycles / 5);
    const int fds_before = testing_support::open_fd_count();
    const long peak_before = stress::peak_rss_kib();
    long rss_after_warmup = 0;
    const auto t0 = std::chrono::steady_clock::now();
    for (long i = 0; i < cycles; ++i) {
        spawn s(std::nullopt);
        stress::make_fast(s);
        s._spawn(fixture, {"print", "cycle"});
        ASSERT_EQ(s.expect({"cycle", EOF_{}}, 20.0), 0) << "cycle " << i;
        ASSERT_EQ(s.expect(EOF_{}, 20.0), 0) << "cycle " << i;
        s.close();
        ASSERT_FALSE(s.isalive());
        ASSERT_EQ(s.exitstatus, 0) << "cycle " << i;
        if (i + 1 == warmup) rss_after_warmup = stress::rss_kib();
    }
    const double elapsed = stress::seconds_since(t0);
    const long rss_end = stress::rss_kib();
    EXPECT_EQ(testing_support::open_fd_count(), fds_before);
    EXPECT_FALSE(testing_support::has_zombie_child());
    std::printf(
        "cycles %ld in %.1f s (%.2f ms each); peak RSS %ld KiB before, %ld KiB after; "
        "RSS %ld KiB after warm-up, %ld KiB at the end\n",
        cycles, elapsed, elapsed * 1000 / static_cast<double>(cycles), peak_before, stress::peak_rss_kib(),
        rss_after_warmup, rss_end);
    RecordProperty("cycles", static_cast<int>(cycles));
    RecordProperty("rss_growth_kib", static_cast<int>(rss_end - rss_after_warmup));
    // The sanitizer's quarantine holds freed memory on purpose; leaks there
    // are LeakSanitizer's to find.
    if (!stress::sanitized) {
        EXPECT_LT(rss_end - rss_after_warmup, 4096) << "memory grows with each cycle";
    }
}

// 64 children alive together, served in turn by one thread.
TEST(Stress, SixtyFourSessionsDrivenInTurn) {
    const int fds_before = testing_support::open_fd_count();
    {
        std::vector<std::unique_ptr<spawn>> sessions;
        for (int i = 0; i < 64; ++i) {
            sessions.push_back(std::make_unique<spawn>(fixture + " cat", std::vector<std::string>{}, 20.0));
            stress::make_fast(*sessions.back());
        }
        for (int round = 0; round < 5; ++round) {
            for (int i = 0; i < 64; ++i) {
                const std::string word = "s" + std::to_string(i) + "r" + std::to_string(round) + "x";
                sessions[static_cast<std::size_t>(i)]->sendline(word);
            }
            for (int i = 0; i < 64; ++i) {
                auto& s = *sessions[static_cast<std::size_t>(i)];
                const std::string word = "s" + std::to_string(i) + "r" + std::to_string(round) + "x";
                // The echo and then cat's copy: both lines carry the word.
                ASSERT_EQ(s.expect_exact(word + "\r\n"), 0);
                ASSERT_EQ(s.expect_exact(word + "\r\n"), 0);
                // No other session's words got mixed in.
                ASSERT_EQ(s.before->find('s'), std::string::npos) << *s.before;
            }
        }
        for (auto& s : sessions) {
            s->sendeof();
            ASSERT_EQ(s->expect(EOF_{}), 0);
            s->close();
            EXPECT_EQ(s->exitstatus, 0);
        }
    }
    EXPECT_EQ(testing_support::open_fd_count(), fds_before);
    EXPECT_FALSE(testing_support::has_zombie_child());
}

// Starting children while other threads run their own sessions: each fork
// happens in a process with threads busy in malloc, I/O and waits.
TEST(Stress, EightThreadsEachWithTheirOwnSessions) {
    const int fds_before = testing_support::open_fd_count();
    const int per_thread = stress::sanitized ? 15 : 40;
    std::atomic<int> failures{0};
    std::atomic<int> done{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            try {
                for (int i = 0; i < per_thread; ++i) {
                    spawn s(std::nullopt);
                    stress::make_fast(s);
                    s.timeout = 20.0;
                    s._spawn(fixture, {"cat"});
                    const std::string word = "t" + std::to_string(t) + "i" + std::to_string(i);
                    s.sendline(word);
                    s.expect_exact(word + "\r\n" + word + "\r\n");
                    // Regex patterns use per-thread match resources.
                    s.sendline("n=" + std::to_string(i));
                    s.expect("n=(\\d+)\r\n(?s:.*?)n=(\\d+)\r\n");
                    const auto& m = std::get<match_result>(s.match);
                    if (m.group(1) != std::to_string(i) || m.group(2) != std::to_string(i)) ++failures;
                    s.sendeof();
                    s.expect(EOF_{});
                    s.close();
                    if (s.exitstatus != 0) ++failures;
                    ++done;
                }
            } catch (const std::exception& e) {
                std::fprintf(stderr, "thread %d: %s\n", t, e.what());
                ++failures;
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(done.load(), 8 * per_thread);
    EXPECT_EQ(testing_support::open_fd_count(), fds_before);
    EXPECT_FALSE(testing_support::has_zombie_child());
}

// Watching and ending a child: isalive, wait, kill, terminate, close, release.
#include <gtest/gtest.h>
#include <sys/epoll.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <thread>

#include <ptypilot/expect_many.hpp>

#include "support/child_watch.hpp"
#include "support/helpers.hpp"

using namespace ptypilot;
using testing_support::child_watch;
using testing_support::fixture;
using testing_support::message_of;
using testing_support::read_until;
using testing_support::read_until_eof;
using testing_support::seconds_of;

namespace {

// Waits (boundedly) until the child has ended, without reaping it.
void await_exit(const spawn& s) {
    if (!testing_support::await_child(*s.pid, WEXITED, 10.0)) FAIL() << "child did not end";
}

// Reads until a read reports end of file, which it throws.
void read_until_eof_of(spawn& s) {
    for (;;) s.read_nonblocking(100, 50.0);
}

}  // namespace

TEST(IsAlive, RecordsAnExitOnce) {
    spawn s(fixture + " exit 3");
    testing_support::make_quick(s);
    await_exit(s);
    EXPECT_FALSE(s.isalive());
    EXPECT_EQ(s.exitstatus, 3);
    EXPECT_FALSE(s.signalstatus);
    EXPECT_EQ(s.status, 768);
    EXPECT_TRUE(s.terminated);
    // Already recorded: no further wait, and the fields never change.
    EXPECT_FALSE(s.isalive());
    EXPECT_EQ(s.exitstatus, 3);
}

TEST(IsAlive, RecordsADeathBySignal) {
    spawn s(fixture + " kill-self 9");
    await_exit(s);
    EXPECT_FALSE(s.isalive());
    EXPECT_FALSE(s.exitstatus);
    EXPECT_EQ(s.signalstatus, 9);
}

TEST(IsAlive, TrueWhileRunning) {
    spawn s(fixture + " sleep 5");
    testing_support::make_quick(s);
    EXPECT_TRUE(s.isalive());
    EXPECT_TRUE(s.isalive());
    EXPECT_FALSE(s.terminated);
}

TEST(IsAlive, BlocksOnceEndOfFileWasSeen) {
    // The child closes its terminal, then lives on for a while.
    spawn s(fixture + " close-tty 0.3");
    read_until_eof(s.child_fd);
    s.flag_eof = true;
    EXPECT_FALSE(s.isalive());
    EXPECT_EQ(s.exitstatus, 7);
}

TEST(IsAlive, ChildReapedElsewhere) {
    spawn s(fixture + " exit 0");
    testing_support::make_quick(s);
    int st = 0;
    ASSERT_EQ(::waitpid(*s.pid, &st, 0), *s.pid);
    EXPECT_EQ(message_of<ExceptionPty>([&] { s.isalive(); }),
              "isalive() encountered condition where \"terminated\" is 0, but there was no "
              "child process. Did someone else call waitpid() on our process?");
    EXPECT_FALSE(s.terminated);
    s.closed = true;  // nothing left to release
}

TEST(Wait, ReturnsTheExitCodeOfARunningChild) {
    spawn s(fixture + " sleep 0.2");
    EXPECT_EQ(s.wait(), 0);
    EXPECT_TRUE(s.terminated);
    spawn t(fixture + " sleep 5");
    testing_support::make_quick(t);
    std::thread killer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ::kill(*t.pid, SIGTERM);
    });
    EXPECT_EQ(t.wait(), std::nullopt);
    killer.join();
    EXPECT_EQ(t.signalstatus, SIGTERM);
}

// Whether the child happened to end before wait() must not decide between
// its status and an error: an end recorded already, or one not yet reaped,
// is the answer; only a session that never had a child has none.
TEST(Wait, OnAChildThatAlreadyEndedReturnsItsStatus) {
    const std::vector<std::pair<const char*, std::function<void(spawn&)>>> endings = {
        {"not yet reaped", [](spawn& s) { await_exit(s); }},
        {"recorded by isalive()",
         [](spawn& s) {
             await_exit(s);
             EXPECT_FALSE(s.isalive());
         }},
        {"recorded at end of file", [](spawn& s) { EXPECT_EQ(s.expect({sentinel::eof}, 10.0), 0); }},
    };
    for (const auto& [how, end] : endings) {
        spawn s(fixture + " exit 4");
        end(s);
        EXPECT_EQ(s.wait(), 4) << how;
        EXPECT_EQ(s.exitstatus, 4) << how;
        EXPECT_TRUE(s.terminated) << how;
        EXPECT_EQ(s.wait(), 4) << how;
    }
    // cat ends on end of file as fast as wait() is called, or faster.
    for (int i = 0; i < 20; ++i) {
        spawn cat("cat");
        cat.sendeof();
        EXPECT_EQ(cat.wait(), 0) << "round " << i;
    }
    EXPECT_THROW(spawn(std::nullopt).wait(), ExceptionPty);  // never had a child
}

TEST(Kill, SendsOnlyWhileAlive) {
    spawn s(fixture + " sleep 5");
    s.kill(SIGTERM);
    await_exit(s);
    EXPECT_FALSE(s.isalive());
    EXPECT_EQ(s.exitstatus, std::nullopt);
    EXPECT_EQ(s.signalstatus, SIGTERM);
    EXPECT_NO_THROW(s.kill(SIGKILL));  // recorded: nothing is sent
}

// The delays are how long a child may take at most: one that has ended
// costs none of them.
TEST(Terminate, AlreadyEndedReturnsAtOnce) {
    spawn s(fixture + " exit 0");
    s.delayafterterminate = 30;
    await_exit(s);
    EXPECT_LT(seconds_of([&] { EXPECT_TRUE(s.terminate()); }), 10.0);
}

TEST(Terminate, HangupEndsAChildThatRestoredIt) {
    spawn s(fixture + " hup-exit");
    s.delayafterterminate = 30;
    read_until(s.child_fd, "ready");
    EXPECT_LT(seconds_of([&] { EXPECT_TRUE(s.terminate()); }), 10.0);
    EXPECT_EQ(s.exitstatus, 42);
}

TEST(Terminate, InterruptEndsAChildThatKeepsHangupIgnored) {
    spawn s(fixture + " sleep 30");
    testing_support::make_quick(s);
    EXPECT_TRUE(s.terminate());
    EXPECT_EQ(s.signalstatus, SIGINT);
}

// A stopped child keeps every signal but SIGKILL and SIGCONT pending, so the
// interrupt can only end it once the escalation has continued it; the hangup
// before is lost on it, as the child starts with hangups ignored.
TEST(Terminate, ContinuesAStoppedChildSoTheInterruptEndsIt) {
    spawn s(fixture + " stop-self");
    testing_support::make_quick(s);
    read_until(s.child_fd, "stopping");
    ASSERT_TRUE(testing_support::await_child(*s.pid, WSTOPPED));
    EXPECT_TRUE(s.terminate());
    EXPECT_EQ(s.signalstatus, SIGINT);
    EXPECT_EQ(s.exitstatus, std::nullopt);
}

TEST(Terminate, StubbornChildNeedsForce) {
    spawn s(fixture + " ignore-hup-int");
    testing_support::make_quick(s);
    read_until(s.child_fd, "ready");
    EXPECT_FALSE(s.terminate());
    EXPECT_TRUE(s.isalive());
    EXPECT_TRUE(s.terminate(true));
    EXPECT_EQ(s.signalstatus, SIGKILL);
}

TEST(Close, EndsTheChildAndReleasesTheDescriptor) {
    spawn s(fixture + " ignore-signals");
    testing_support::make_quick(s);
    read_until(s.child_fd, "ready");
    const int fd = s.child_fd;
    s.close();
    EXPECT_TRUE(s.closed);
    EXPECT_EQ(s.child_fd, -1);
    EXPECT_EQ(s.signalstatus, SIGKILL);
    EXPECT_EQ(::fcntl(fd, F_GETFD), -1);
    s.close();  // twice is fine
}

TEST(Close, WithoutForceOnAStubbornChild) {
    spawn s(fixture + " ignore-hup-int");
    testing_support::make_quick(s);
    read_until(s.child_fd, "ready");
    const int old_fd = s.child_fd;
    EXPECT_EQ(message_of<ExceptionPty>([&] { s.close(false); }),
              "close() could not terminate the child using terminate()");
    EXPECT_FALSE(s.closed);
    EXPECT_EQ(s.child_fd, old_fd);
    // The number may be reused by now; a later close must not close it again.
    int p[2];
    ASSERT_EQ(::pipe(p), 0);
    s.close();
    EXPECT_TRUE(s.closed);
    EXPECT_NE(::fcntl(p[0], F_GETFD), -1);
    EXPECT_NE(::fcntl(p[1], F_GETFD), -1);
    ::close(p[0]);
    ::close(p[1]);
}

TEST(Close, ReapsAChildThatEndedOnItsOwn) {
    spawn s(fixture + " exit 5");
    s.delayafterclose = 30;
    s.delayafterterminate = 30;
    await_exit(s);
    EXPECT_LT(seconds_of([&] { s.close(); }), 10.0);
    EXPECT_EQ(s.exitstatus, 5);
    EXPECT_FALSE(testing_support::has_zombie_child());
}

TEST(Release, DestroyingAnOpenSessionEndsItsChild) {
    pid_t pid = 0;
    {
        spawn s(fixture + " ignore-signals");
        testing_support::make_quick(s);
        read_until(s.child_fd, "ready");
        pid = *s.pid;
    }
    EXPECT_EQ(::kill(pid, 0), -1);
    EXPECT_FALSE(testing_support::has_zombie_child());

    // Released without a moment's wait, the child has had its SIGKILL but
    // not yet ended when close() looks: the next start reaps it.
    {
        spawn s(fixture + " ignore-hup-int");
        testing_support::make_quick(s);
        s.delayafterclose = 0;
        s.delayafterterminate = 0;
        read_until(s.child_fd, "ready");
        pid = *s.pid;
    }
    bool reaped = false;
    for (int i = 0; i < 100 && !reaped; ++i) {
        ::usleep(50000);
        spawn probe(fixture + " exit 0");
        testing_support::make_quick(probe);
        reaped = ::kill(pid, 0) == -1 && !testing_support::has_zombie_child();
    }
    EXPECT_TRUE(reaped);
}

TEST(Cycles, ManyStartsLeaveNoDescriptorAndNoZombie) {
    const int before = testing_support::open_fd_count();
    for (int i = 0; i < 200; ++i) {
        spawn s(fixture + " print x", {}, 30.0);
        testing_support::make_quick(s);
        s.delayafterclose = 0;
        read_until_eof(s.child_fd);
        s.close();
        ASSERT_TRUE(s.terminated);
    }
    EXPECT_EQ(testing_support::open_fd_count(), before);
    EXPECT_FALSE(testing_support::has_zombie_child());
}

// A child that closes its terminal to finish its work in the background.
const std::string finishes_after_closing = "sh -c 'exec >&- 2>&- <&-; sleep 0.5; exit 7'";

TEST(Close, AfterEndOfFileWaitsForTheChildsOwnEnd) {
    spawn s(finishes_after_closing, {}, 10.0);
    testing_support::make_quick(s);
    EXPECT_FALSE(s.eof());
    ASSERT_EQ(s.expect(EOF_{}), 0);
    EXPECT_TRUE(s.eof());
    s.close();
    EXPECT_EQ(s.exitstatus, 7);
    EXPECT_EQ(s.signalstatus, std::nullopt);
}

// After end of file isalive() waits for the child, but kill and terminate
// must act at once: the child below would otherwise live a minute.
TEST(KillAndTerminate, ActAtOnceAfterEndOfFile) {
    const std::vector<std::pair<std::function<void(spawn&)>, int>> cases = {
        {[](spawn& s) { s.kill(SIGKILL); }, SIGKILL},
        {[](spawn& s) { EXPECT_TRUE(s.terminate()); }, SIGINT},
    };
    // clang 14 cannot capture a structured binding in a lambda; a reference can be.
    for (const auto& [action, ended_by] : cases) {
        const auto& act = action;
        spawn s(fixture + " close-tty 60", {}, 10.0);
        testing_support::make_quick(s);
        ASSERT_EQ(s.expect(EOF_{}), 0);
        EXPECT_LT(seconds_of([&] { act(s); }), 10.0);
        if (!s.terminated) await_exit(s);
        s.flag_eof = false;
        EXPECT_FALSE(s.isalive());
        EXPECT_EQ(s.signalstatus, ended_by);
    }
}

// Reads after end of file wait for such a child no longer than their
// time-out, then report the end of file again.
TEST(ReadNonblocking, AfterEndOfFileWaitsNoLongerThanItsTimeOut) {
    for (const child_watch watch : testing_support::both_watches) {
        testing_support::run_with(watch, [] {
            spawn s(fixture + " close-tty 60", {}, 10.0);
            testing_support::make_quick(s);
            ASSERT_EQ(s.expect(sentinel::eof), 0);
            const auto read_again = [&] {
                EXPECT_THROW(s.read_nonblocking(10, 0.5), EOF_);
                EXPECT_EQ(s.expect({"never", sentinel::eof}, 0.5), 1);
            };
            EXPECT_LT(seconds_of(read_again), 30.0);
            s.kill(SIGKILL);
        });
    }
}

// A child that ends while a process it started in the background keeps the
// terminal open: every wait notices its end, with a pidfd or without.
TEST(ChildEnd, NoticedByEveryWaitThoughItsTerminalStaysOpen) {
    const int null_fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    int silent[2];
    ASSERT_EQ(::pipe2(silent, O_CLOEXEC), 0);  // a user who types nothing
    const std::vector<std::pair<const char*, std::function<void(spawn&)>>> waits = {
        {"expect with a time-out", [](spawn& s) { EXPECT_EQ(s.expect({sentinel::eof}, 50.0), 0); }},
        {"expect without one", [](spawn& s) { EXPECT_EQ(s.expect({sentinel::eof}, std::nullopt), 0); }},
        {"read_nonblocking", [](spawn& s) { EXPECT_THROW(read_until_eof_of(s), EOF_); }},
        // Nobody reads the terminal (not canonical: it keeps what it is
        // sent, and is soon full): the send stops at the child's end.
        {"send", [](spawn& s) { EXPECT_LT(s.send(std::string(1 << 20, 'x')), 1L << 20); }},
        {"expect_many",
         [](spawn& s) {
             const auto got = expect_many({{s, {sentinel::eof}, std::nullopt}});
             ASSERT_EQ(got.size(), 1u);
             EXPECT_EQ(got[0].index, 0);
         }},
        // A loop watching fileno() alone would never wake: the terminal stays open.
        {"an epoll loop",
         [](spawn& s) {
             const int ep = ::epoll_create1(EPOLL_CLOEXEC);
             for (const int fd : s.wait_descriptors()) {
                 epoll_event ev{EPOLLIN, {}};
                 ::epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
             }
             const auto every = s.step_interval();
             epoll_event ev{};
             while (s.expect_step(pattern_input{sentinel::eof}).status != step_status::eof)
                 if (::epoll_wait(ep, &ev, 1, every ? static_cast<int>(*every * 1000) + 1 : 10000) == 0 &&
                     !every)
                     break;
             EXPECT_TRUE(s.eof()) << "nothing woke the loop";
             ::close(ep);
         }},
        {"interact",
         [&](spawn& s) {
             s.STDIN_FILENO_ = silent[0];
             s.STDOUT_FILENO_ = null_fd;
             EXPECT_EQ(s.interact(), interact_end::child_ended);
         }},
    };
    for (const child_watch watch : testing_support::both_watches) {
        for (const auto& [name, wait] : waits) {
            testing_support::run_with(watch, [&, name = name, wait = wait] {
                spawn s("sh -c 'stty -icanon -echo; sleep 20 & echo \"left $!\"; sleep 0.2; exit 3'");
                testing_support::make_quick(s);
                ASSERT_EQ(s.expect("left (\\d+)\r\n"), 0);
                const pid_t left = std::stoi(std::get<match_result>(s.match).group(1).value_or("0"));
                const double waited = seconds_of([&] { wait(s); });
                ::kill(left, SIGKILL);
                EXPECT_LT(waited, 10.0) << name << " " << name_of(watch);
                EXPECT_FALSE(s.isalive()) << name << " " << name_of(watch);
                EXPECT_EQ(s.exitstatus, 3) << name << " " << name_of(watch);
            });
        }
    }
    ::close(silent[0]);
    ::close(silent[1]);
    ::close(null_fd);
}

// A close() that could not end the child has closed the descriptor; the
// number may be someone else's file by now, and nothing may reach it.
TEST(Close, AfterAFailedCloseNoOperationTouchesTheOldNumber) {
    spawn s(fixture + " ignore-hup-int");
    testing_support::make_quick(s);
    read_until(s.child_fd, "ready");
    const int old_fd = s.child_fd;
    // Made while the number is taken, so that it gets another.
    char path[] = "/tmp/ptypilot-reuse-XXXXXX";
    const int tmp = ::mkstemp(path);
    ASSERT_GE(tmp, 0);
    EXPECT_THROW(s.close(false), ExceptionPty);
    // Someone else's file now holds the number.
    const int file = ::dup2(tmp, old_fd);
    ::close(tmp);
    ASSERT_EQ(file, old_fd);
    const std::vector<std::function<void()>> operations = {
        [&] { s.send("INJECTED"); },       [&] { s.sendline("x"); },  [&] { s.sendeof(); },
        [&] { s.read_nonblocking(1, 0); }, [&] { s.expect("x", 0); }, [&] { s.getecho(); },
        [&] { s.setecho(false); },         [&] { s.getwinsize(); },   [&] { s.setwinsize(5, 5); },
        [&] { s.waitnoecho(0); },          [&] { s.interact(); },
    };
    for (std::size_t i = 0; i < operations.size(); ++i)
        EXPECT_THROW(operations[i](), ExceptionPty) << "operation " << i;
    EXPECT_FALSE(s.isatty());
    struct stat st {};
    ASSERT_EQ(::fstat(file, &st), 0);
    EXPECT_EQ(st.st_size, 0);
    ::close(file);
    ::unlink(path);
    s.close();
    EXPECT_TRUE(s.closed);
}

// A caller that ignores SIGCHLD (the kernel then reaps every child) or that
// reaps every child itself takes the child's end away from the session:
// every entry point that needs it says so, none hangs or invents a status.
TEST(LostChild, EveryEntryPointSaysSo) {
    const int null_fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    const std::vector<std::pair<const char*, std::function<void(spawn&)>>> entry_points = {
        {"isalive", [](spawn& s) { s.isalive(); }},
        {"wait", [](spawn& s) { s.wait(); }},
        {"read_nonblocking", [](spawn& s) { s.read_nonblocking(10, 5.0); }},
        {"expect", [](spawn& s) { s.expect(EOF_{}, 5.0); }},
        {"kill", [](spawn& s) { s.kill(SIGTERM); }},
        {"terminate", [](spawn& s) { s.terminate(); }},
        {"close", [](spawn& s) { s.close(); }},
        {"interact",
         [&](spawn& s) {
             s.STDIN_FILENO_ = null_fd;
             s.STDOUT_FILENO_ = null_fd;
             s.interact();
         }},
    };
    for (const bool kernel_reaps : {true, false}) {
        ::signal(SIGCHLD, kernel_reaps ? SIG_IGN : SIG_DFL);
        for (const auto& [name, call] : entry_points) {
            spawn s(fixture + " exit 3");
            testing_support::make_quick(s);
            if (kernel_reaps) {
                for (int i = 0; i < 2000 && ::kill(*s.pid, 0) == 0; ++i)
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
            } else {
                int st = 0;
                ASSERT_EQ(::waitpid(*s.pid, &st, 0), *s.pid);
            }
            try {
                call(s);
                ADD_FAILURE() << name << " did not notice";
            } catch (const ExceptionPty& e) {
                EXPECT_NE(std::string(e.what()).find("Did someone else call waitpid() on our process?"),
                          std::string::npos)
                    << name << ": " << e.what();
            }
            EXPECT_FALSE(s.exitstatus) << name;
            s.closed = true;  // nothing left to release
        }
        // Taken away while wait() waits for it (by the kernel: a reaper of
        // the test's own would race wait() for the child).
        if (!kernel_reaps) continue;
        spawn s(fixture + " sleep 0.3");
        try {
            s.wait();
            ADD_FAILURE() << "wait did not notice";
        } catch (const ExceptionPty& e) {
            EXPECT_NE(std::string(e.what()).find("Did someone else call waitpid() on our process?"),
                      std::string::npos)
                << e.what();
        }
        s.closed = true;
    }
    ::signal(SIGCHLD, SIG_DFL);
    ::close(null_fd);
}

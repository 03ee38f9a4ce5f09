// The interactive relay, with pipes or a pty of the test's own standing in
// for the user's terminal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <termios.h>

#include <atomic>
#include <cstring>
#include <sstream>
#include <thread>

#include "support/helpers.hpp"

using namespace ptypilot;
using testing_support::fixture;
using testing_support::message_of;
using testing_support::read_until;
using testing_support::user_terminal;

namespace {

struct pipe_pair {
    int r = -1, w = -1;
    pipe_pair() {
        int p[2];
        if (::pipe2(p, O_CLOEXEC) == 0) {
            r = p[0];
            w = p[1];
        }
    }
    ~pipe_pair() {
        close_r();
        close_w();
    }
    void close_r() {
        if (r >= 0) ::close(r);
        r = -1;
    }
    void close_w() {
        if (w >= 0) ::close(w);
        w = -1;
    }
};

// Collects everything written to a pipe on a thread of the test's own, so
// that a large relay never blocks on a full pipe.
class collector {
public:
    collector() {
        thread_ = std::thread([this] {
            char buf[65536];
            for (;;) {
                const ssize_t n = ::read(pipe_.r, buf, sizeof buf);
                if (n == -1 && errno == EINTR) continue;  // a signal storm reaches this thread too
                if (n <= 0) break;
                data_.append(buf, static_cast<std::size_t>(n));
            }
        });
    }
    int fd() const { return pipe_.w; }
    std::string finish() {
        pipe_.close_w();
        thread_.join();
        return data_;
    }
    ~collector() {
        if (thread_.joinable()) finish();
    }

private:
    pipe_pair pipe_;
    std::string data_;
    std::thread thread_;
};

int dev_null() { return ::open("/dev/null", O_RDONLY | O_CLOEXEC); }

double cpu_seconds() {
    rusage ru{};
    ::getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) * 1e-6;
}

bool same_mode(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

}  // namespace

TEST(Interact, PendingBufferComesFirstThenTheChildUntilItEnds) {
    spawn s(fixture + " print hello");
    testing_support::make_quick(s);
    std::ostringstream pending;
    collector out;
    const int in = dev_null();
    s.stdout_ = &pending;
    s.STDIN_FILENO_ = in;
    s.STDOUT_FILENO_ = out.fd();
    s.buffer = "earlier";
    EXPECT_EQ(s.interact(), interact_end::child_ended);
    EXPECT_EQ(pending.str(), "earlier");
    EXPECT_TRUE(s.buffer.empty());
    EXPECT_EQ(out.finish(), "hello");
    EXPECT_EQ(s.exitstatus, 0);
    EXPECT_FALSE(s.closed);  // the relay leaves the session open
    ::close(in);
}

TEST(Interact, ExitCodeAndSignalAreRecorded) {
    for (const auto& [cmd, code, sig] :
         {std::tuple{std::string(" exit 5"), std::optional<int>(5), std::optional<int>()},
          std::tuple{std::string(" kill-self 15"), std::optional<int>(), std::optional<int>(15)}}) {
        spawn s(fixture + cmd);
        collector out;
        const int in = dev_null();
        s.STDIN_FILENO_ = in;
        s.STDOUT_FILENO_ = out.fd();
        s.interact();
        EXPECT_EQ(s.exitstatus, code);
        EXPECT_EQ(s.signalstatus, sig);
        ::close(in);
    }
}

TEST(Interact, NoOutputIsLostWhenTheChildEnds) {
    for (int round = 0; round < 20; ++round) {
        spawn s(fixture + " print last-words");
        collector out;
        const int in = dev_null();
        s.STDIN_FILENO_ = in;
        s.STDOUT_FILENO_ = out.fd();
        s.interact();
        ASSERT_EQ(out.finish(), "last-words") << "round " << round;
        ::close(in);
    }
    spawn big(fixture + " flood 5000000");
    std::ostringstream log;
    big.logfile = &log;
    collector out;
    const int in = dev_null();
    big.STDIN_FILENO_ = in;
    big.STDOUT_FILENO_ = out.fd();
    big.interact();
    const std::string got = out.finish();
    EXPECT_EQ(got.size(), 5000003u);
    EXPECT_EQ(got.substr(got.size() - 3), "END");
    EXPECT_EQ(log.str(), got);
    ::close(in);
}

// The child wrote several chunks' worth and ended before the relay started,
// so every byte has to come from what the relay takes after the child's end.
TEST(Interact, OutputLeftInThePtyByAnEndedChildIsRelayed) {
    // Well within what a pty keeps for a writer that has gone (about 10 KB on
    // kernels with small buffers), so the child ends before anyone reads.
    constexpr int bytes = 6000;
    spawn s(fixture + " flood " + std::to_string(bytes));
    std::ostringstream pending;
    collector out;
    const int in = dev_null();
    s.stdout_ = &pending;
    s.STDIN_FILENO_ = in;
    s.STDOUT_FILENO_ = out.fd();
    ASSERT_TRUE(testing_support::await_child(*s.pid, WEXITED)) << "the child is stuck writing";
    s.interact();
    std::string want;
    for (int i = 0; i < bytes; ++i) want += static_cast<char>('a' + i % 26);
    EXPECT_EQ(pending.str() + out.finish(), want + "END");
    EXPECT_EQ(s.exitstatus, 0);
    ::close(in);
}

TEST(Interact, EscapeEndsTheRelayAndIsNotSent) {
    spawn s(fixture + " cat");
    testing_support::make_quick(s);
    pipe_pair in;
    collector out;
    s.STDIN_FILENO_ = in.r;
    s.STDOUT_FILENO_ = out.fd();
    const std::string typed = std::string("one\x1dtwo\n") + "\x1d" + "three\n";
    ASSERT_EQ(::write(in.w, typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
    EXPECT_EQ(s.interact(), interact_end::escape);
    EXPECT_TRUE(s.isalive());
    // Everything before the last escape reached the child, the first escape
    // included; "three" did not.
    const std::string seen = read_until(s.child_fd, std::string("one\x1dtwo\r\n"), 10);
    EXPECT_NE(seen.find("one\x1dtwo\r\n"), std::string::npos);
    EXPECT_EQ(seen.find("three"), std::string::npos);
}

TEST(Interact, InputFilterDecidesWhatCountsAsEscape) {
    spawn s(fixture + " cat");
    testing_support::make_quick(s);
    pipe_pair in;
    collector out;
    s.STDIN_FILENO_ = in.r;
    s.STDOUT_FILENO_ = out.fd();
    const std::string typed =
        "a\x1d"
        "b\nq";
    ASSERT_EQ(::write(in.w, typed.data(), typed.size()), 5);
    s.interact("\x1d", [](std::string d) {
        std::string o;
        for (char c : d) {
            if (c == '\x1d') continue;  // never ends the relay
            o += c == 'q' ? '\x1d' : c;
        }
        return o;
    });
    EXPECT_NE(read_until(s.child_fd, "ab\r\n", 10).find("ab\r\n"), std::string::npos);
}

TEST(Interact, OutputFilterAndLog) {
    spawn s(fixture + " print abc");
    std::ostringstream log;
    s.logfile = &log;
    collector out;
    const int in = dev_null();
    s.STDIN_FILENO_ = in;
    s.STDOUT_FILENO_ = out.fd();
    s.interact("\x1d", nullptr, [](std::string d) {
        for (char& c : d) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        return d;
    });
    EXPECT_EQ(out.finish(), "ABC");
    EXPECT_EQ(log.str(), "ABC");
    ::close(in);
}

TEST(Interact, InputAtEndOfFileDoesNotSpin) {
    spawn s(fixture + " sleep 1.5");
    collector out;
    const int in = dev_null();
    s.STDIN_FILENO_ = in;
    s.STDOUT_FILENO_ = out.fd();
    const double before = cpu_seconds();
    s.interact();
    // A loop that kept polling the ended input would burn the whole 1.5 s.
    EXPECT_LT(cpu_seconds() - before, 0.5);
    EXPECT_EQ(s.exitstatus, 0);
    ::close(in);
}

TEST(Interact, ClosedTerminalOfALivingChildDoesNotSpin) {
    spawn s(fixture + " close-tty 1.5");
    collector out;
    pipe_pair in;  // stays open and silent
    s.STDIN_FILENO_ = in.r;
    s.STDOUT_FILENO_ = out.fd();
    const double before = cpu_seconds();
    s.interact();
    EXPECT_LT(cpu_seconds() - before, 0.5);
    EXPECT_EQ(s.exitstatus, 7);
    EXPECT_EQ(out.finish(), "closing\r\n");
}

TEST(Interact, UserTerminalIsRawDuringTheRelayAndRestoredAfter) {
    const user_terminal user;
    ASSERT_TRUE(user.ok());
    termios before{};
    ASSERT_EQ(::tcgetattr(user.slave, &before), 0);

    spawn s(fixture + " print x");
    collector out;
    s.STDIN_FILENO_ = user.slave;
    s.STDOUT_FILENO_ = out.fd();
    termios during{};
    s.interact("\x1d", nullptr, [&](std::string d) {
        ::tcgetattr(user.slave, &during);
        return d;
    });
    EXPECT_EQ(during.c_lflag & (ECHO | ICANON | ISIG | IEXTEN), 0u);
    EXPECT_EQ(during.c_iflag & (ICRNL | IXON), 0u);
    EXPECT_EQ(during.c_oflag & OPOST, 0u);
    EXPECT_EQ(during.c_cc[VMIN], 1);
    termios after{};
    ASSERT_EQ(::tcgetattr(user.slave, &after), 0);
    EXPECT_TRUE(same_mode(before, after));

    // Restored on the error path too.
    spawn t(fixture + " print y");
    t.STDIN_FILENO_ = user.slave;
    t.STDOUT_FILENO_ = out.fd();
    EXPECT_THROW(
        t.interact("\x1d", nullptr, [](std::string) -> std::string { throw std::runtime_error("filter"); }),
        std::runtime_error);
    ASSERT_EQ(::tcgetattr(user.slave, &after), 0);
    EXPECT_TRUE(same_mode(before, after));
}

TEST(Interact, KeysReachTheChildUntranslated) {
    const user_terminal user;
    ASSERT_TRUE(user.ok());
    // The child's own terminal is made raw too, so that what arrives is
    // exactly what was typed.
    spawn s("sh -c 'stty raw -echo; head -c 3 | od -An -tx1'");
    collector out;
    s.STDIN_FILENO_ = user.slave;
    s.STDOUT_FILENO_ = out.fd();
    std::thread typist([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        (void)::write(user.master, "a\r\x03", 3);
    });
    s.interact();
    typist.join();
    EXPECT_NE(out.finish().find("61 0d 03"), std::string::npos);
}

TEST(Interact, ClosedOutputIsAnErrorOfTheRelay) {
    ::signal(SIGPIPE, SIG_IGN);
    spawn s(fixture + " print x");
    testing_support::make_quick(s);
    pipe_pair out;
    out.close_r();
    const int in = dev_null();
    s.STDIN_FILENO_ = in;
    s.STDOUT_FILENO_ = out.w;
    EXPECT_EQ(message_of<std::system_error>([&] { s.interact(); }), "[Errno 32] Broken pipe");
    ::signal(SIGPIPE, SIG_DFL);
    ::close(in);
}

namespace {
std::atomic<int> ticks{0};
void on_alarm(int) { ticks.fetch_add(1, std::memory_order_relaxed); }
}  // namespace

// A signal that interrupts the relay's wait (no SA_RESTART) must neither end
// the relay nor lose what either side sends.
TEST(Interact, SignalsDuringTheWaitLoseNothing) {
    struct sigaction sa {};
    sa.sa_handler = on_alarm;
    ::sigaction(SIGALRM, &sa, nullptr);
    itimerval every_ms{{0, 1000}, {0, 1000}};
    ::setitimer(ITIMER_REAL, &every_ms, nullptr);

    spawn s(fixture + " pause first 0.3 second");
    testing_support::make_quick(s);
    collector out;
    const int in = dev_null();
    s.STDIN_FILENO_ = in;
    s.STDOUT_FILENO_ = out.fd();
    s.interact();

    itimerval off{};
    ::setitimer(ITIMER_REAL, &off, nullptr);
    ::signal(SIGALRM, SIG_DFL);
    ::close(in);
    EXPECT_GT(ticks.load(), 10);
    EXPECT_EQ(out.finish(), "firstsecond");
    EXPECT_EQ(s.exitstatus, 0);
}

// select() refuses a descriptor that is not open instead of waiting on the
// rest, and so does the relay.
TEST(Interact, RefusesAStandardInputThatIsNotOpen) {
    spawn s(fixture + " sleep 5");
    testing_support::make_quick(s);
    pipe_pair closed_in;
    s.STDIN_FILENO_ = closed_in.r;
    closed_in.close_r();
    EXPECT_EQ(message_of<std::system_error>([&] { s.interact(); }), "[Errno 9] Bad file descriptor");
}

TEST(Interact, LeavesTheWindowSizeAloneUnlessAsked) {
    const user_terminal user(winsize{33, 77, 0, 0});
    ASSERT_TRUE(user.ok());
    spawn s(fixture + " winsize");
    collector out;
    s.STDIN_FILENO_ = user.slave;
    s.STDOUT_FILENO_ = out.fd();
    EXPECT_EQ(s.interact(), interact_end::child_ended);
    EXPECT_EQ(out.finish(), "24 80\r\n");
}

// Asked, the relay gives the child the user's size after each SIGWINCH and
// again when it goes on after the caller had the terminal; the previous
// action of SIGWINCH is back afterwards.
TEST(Interact, FollowsTheWindowSizeWhenAsked) {
    const user_terminal user(winsize{33, 77, 0, 0});
    ASSERT_TRUE(user.ok());
    struct sigaction before {};
    ::sigaction(SIGWINCH, nullptr, &before);

    spawn s(fixture + " winch 2", {.window = {33, 77}});
    // A size the child never reports would leave it waiting for ever.
    const testing_support::kill_after watchdog(*s.pid, 20.0);
    collector out;
    pipe_pair wake;
    s.STDIN_FILENO_ = user.slave;
    s.STDOUT_FILENO_ = out.fd();
    auto resize = [&](unsigned short rows, unsigned short cols) {
        const winsize size{rows, cols, 0, 0};
        ::ioctl(user.master, TIOCSWINSZ, &size);
    };
    interact_options options;
    options.follow_window_size = true;
    options.wake_fd = wake.r;
    options.on_wake = [&] {
        char c = 0;
        (void)::read(wake.r, &c, 1);
        resize(55, 99);  // while the caller has the terminal, as while stopped
        return true;
    };
    std::string seen;
    const auto end = s.interact(
        "\x1d", nullptr,
        [&](std::string d) {
            seen += d;
            if (seen == "33 77\r\n") {
                // Not the process's controlling terminal: the signal that a
                // resize brings is sent by hand.
                resize(44, 88);
                ::kill(::getpid(), SIGWINCH);
            } else if (seen == "33 77\r\n44 88\r\n") {
                (void)::write(wake.w, "w", 1);
            }
            return d;
        },
        options);
    EXPECT_EQ(end, interact_end::child_ended);
    EXPECT_EQ(out.finish(), "33 77\r\n44 88\r\n55 99\r\n");
    struct sigaction after {};
    ::sigaction(SIGWINCH, nullptr, &after);
    EXPECT_EQ(after.sa_handler, before.sa_handler);

    // With the screen on, the child's size stays one the screen can show.
    const user_terminal wide(winsize{50, 1200, 0, 0});
    ASSERT_TRUE(wide.ok());
    spawn t(fixture + " winch 1", {.window = {10, 20}});
    const testing_support::kill_after wide_watchdog(*t.pid, 20.0);
    t.enable_screen();
    t.expect_exact("10 20\r\n");
    collector wide_out;
    t.STDIN_FILENO_ = wide.slave;
    t.STDOUT_FILENO_ = wide_out.fd();
    EXPECT_EQ(t.interact("\x1d", nullptr, nullptr, options), interact_end::child_ended);
    EXPECT_EQ(wide_out.finish(), "50 1000\r\n");
    EXPECT_EQ(t.screen().columns, virtual_terminal::max_side);
}

// The wake descriptor hands the caller the user's terminal in its own mode;
// the relay goes on in raw mode or ends, as the caller says.
TEST(Interact, WakeDescriptorHandsTheTerminalToTheCaller) {
    const user_terminal user;
    ASSERT_TRUE(user.ok());
    termios own{};
    ASSERT_EQ(::tcgetattr(user.slave, &own), 0);
    spawn s(fixture + " sleep 20");
    testing_support::make_quick(s);
    collector out;
    pipe_pair wake;
    s.STDIN_FILENO_ = user.slave;
    s.STDOUT_FILENO_ = out.fd();
    interact_options options;
    options.wake_fd = wake.r;
    std::vector<bool> own_mode_during_wake;
    options.on_wake = [&] {
        char c = 0;
        (void)::read(wake.r, &c, 1);
        termios now{};
        ::tcgetattr(user.slave, &now);
        own_mode_during_wake.push_back(same_mode(now, own));
        if (c == 'g') (void)::write(wake.w, "e", 1);  // the relay goes on, then wakes again
        return c == 'g';
    };
    ASSERT_EQ(::write(wake.w, "g", 1), 1);
    EXPECT_EQ(s.interact("\x1d", nullptr, nullptr, options), interact_end::woken);
    EXPECT_EQ(own_mode_during_wake, (std::vector<bool>{true, true}));
    EXPECT_TRUE(s.isalive());
    termios after{};
    ASSERT_EQ(::tcgetattr(user.slave, &after), 0);
    EXPECT_TRUE(same_mode(after, own));
}

// Keys typed before the relay and while the caller has the terminal are the
// child's: no switch of the terminal's mode throws them away.
TEST(Interact, KeysTypedAheadReachTheChild) {
    int user_master = -1, user_slave = -1;
    ASSERT_EQ(::openpty(&user_master, &user_slave, nullptr, nullptr, nullptr), 0);
    spawn s("timeout 15 head -n 2");
    collector out;
    pipe_pair wake;
    s.STDIN_FILENO_ = user_slave;
    s.STDOUT_FILENO_ = out.fd();
    const auto type = [&](const std::string& keys) {
        ASSERT_EQ(::write(user_master, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
        ASSERT_TRUE(testing_support::wait_readable(user_slave));  // the terminal holds them
    };
    interact_options options;
    options.wake_fd = wake.r;
    options.on_wake = [&] {
        char c = 0;
        (void)::read(wake.r, &c, 1);
        type("during\r");
        return true;
    };
    type("before\r");
    ASSERT_EQ(::write(wake.w, "w", 1), 1);  // the relay answers it before it reads the keys
    EXPECT_EQ(s.interact("\x1d", nullptr, nullptr, options), interact_end::child_ended);
    EXPECT_EQ(s.exitstatus, 0);
    const std::string shown = out.finish();
    EXPECT_NE(shown.find("before\r\nduring\r\n"), std::string::npos) << shown;
    ::close(user_master);
    ::close(user_slave);
}

// Nobody is left to relay to once the user's terminal hangs up.
TEST(Interact, HungUpTerminalEndsTheRelay) {
    user_terminal user;
    ASSERT_TRUE(user.ok());
    spawn s(fixture + " sleep 20");
    testing_support::make_quick(s);
    collector out;
    s.STDIN_FILENO_ = user.slave;
    s.STDOUT_FILENO_ = out.fd();
    std::thread closer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        ::close(std::exchange(user.master, -1));
    });
    EXPECT_EQ(s.interact(), interact_end::hangup);
    closer.join();
    EXPECT_TRUE(s.isalive());
}

// Input from a pipe that ends reaches the child as its end-of-file
// character. (`timeout` ends a child that never learns it.)
TEST(Interact, InputThatEndsReachesTheChildAsEndOfFile) {
    spawn s("timeout --foreground 20 " + fixture + " cat");
    collector out;
    pipe_pair in;
    s.STDIN_FILENO_ = in.r;
    s.STDOUT_FILENO_ = out.fd();
    ASSERT_EQ(::write(in.w, "abc\n", 4), 4);
    in.close_w();
    EXPECT_EQ(s.interact(), interact_end::child_ended);
    EXPECT_EQ(s.exitstatus, 0);
    EXPECT_EQ(out.finish(), "abc\r\nabc\r\n");
}

// Filters may rely on chunks of at most 1000 bytes, whatever the relay takes
// in one read when there is no filter.
TEST(Interact, FiltersSeeChunksOfAtMostAThousandBytes) {
    spawn s(fixture + " flood 200000");
    testing_support::make_quick(s);
    collector out;
    const int in = dev_null();
    s.STDIN_FILENO_ = in;
    s.STDOUT_FILENO_ = out.fd();
    std::size_t largest = 0;
    s.interact("\x1d", nullptr, [&](std::string chunk) {
        largest = std::max(largest, chunk.size());
        return chunk;
    });
    ::close(in);
    EXPECT_LE(largest, 1000u);
    EXPECT_GT(largest, 0u);
    EXPECT_EQ(out.finish().size(), 200003u);
}

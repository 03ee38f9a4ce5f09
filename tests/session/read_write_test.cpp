// Reading from and writing to a child.
#include <gtest/gtest.h>
#include <sys/time.h>
#include <termios.h>

#include <atomic>
#include <cstdio>
#include <sstream>

#include "support/helpers.hpp"

using namespace ptypilot;
using testing_support::fixture;
using testing_support::message_of;

namespace {

// A stream that remembers every chunk between flushes.
class chunk_log : public std::ostream {
public:
    chunk_log() : std::ostream(&buf_) {}
    const std::vector<std::string>& chunks() const { return buf_.chunks; }
    std::string all() const {
        std::string s;
        for (const auto& c : buf_.chunks) s += c;
        return s;
    }

private:
    struct buf : std::streambuf {
        std::vector<std::string> chunks;
        std::string pending;
        int overflow(int c) override {
            if (c != EOF) pending += static_cast<char>(c);
            return c;
        }
        std::streamsize xsputn(const char* s, std::streamsize n) override {
            pending.append(s, static_cast<std::size_t>(n));
            return n;
        }
        int sync() override {
            if (!pending.empty()) chunks.push_back(std::move(pending));
            pending.clear();
            return 0;
        }
    } buf_;
};

std::string read_all(spawn& s) {
    std::string out;
    try {
        for (;;) out += s.read_nonblocking(4096, 20);
    } catch (const EOF_&) {}
    return out;
}

void quick(spawn& s) {
    testing_support::make_quick(s);
    s.delaybeforesend = 0;
}

}  // namespace

TEST(ReadNonblocking, ClosedSessionIsRefusedEvenWithOutputPending) {
    spawn s(fixture + " print pending");
    quick(s);
    ASSERT_TRUE(testing_support::wait_readable(s.child_fd));
    s.close();
    EXPECT_EQ(message_of<std::logic_error>([&] { s.read_nonblocking(10, 0); }),
              "I/O operation on closed file in read_nonblocking().");
}

TEST(ReadNonblocking, OutputLeftByAnEndedChildComesBeforeEndOfFile) {
    spawn s(fixture + " print leftover");
    quick(s);
    while (s.isalive()) ::usleep(10000);
    EXPECT_EQ(s.read_nonblocking(), "l");  // one byte unless asked for more
    EXPECT_EQ(s.read_nonblocking(100, 5), "eftover");
    EXPECT_FALSE(s.flag_eof);
    // Ended and consumed: end of file at once, not after the time-out.
    EXPECT_EQ(message_of<EOF_>([&] {
                  s.read_nonblocking(100, 30);
              }).rfind("End Of File (EOF) in read_nonblocking().", 0),
              0u);
    EXPECT_TRUE(s.flag_eof);
    EXPECT_TRUE(s.eof());
    EXPECT_EQ(s.exitstatus, 0);
}

TEST(ReadNonblocking, ChildThatClosesItsTerminalAndLivesOn) {
    spawn s(fixture + " close-tty 0.3");
    quick(s);
    EXPECT_EQ(s.read_nonblocking(100, 5), "closing\r\n");
    EXPECT_EQ(message_of<EOF_>([&] { s.read_nonblocking(100, 5); }),
              "End Of File (EOF) in read_nonblocking(). Exception style platform.");
    EXPECT_TRUE(s.isalive() == false);  // flag_eof makes isalive wait for the end
    EXPECT_EQ(s.exitstatus, 7);
    EXPECT_THROW(s.read_nonblocking(100, 5), EOF_);
}

TEST(ReadNonblocking, TimeOutOnASilentChild) {
    spawn s(fixture + " sleep 5");
    quick(s);
    EXPECT_EQ(message_of<TIMEOUT>([&] { s.read_nonblocking(100, 0); }),
              "Timeout exceeded in read_nonblocking().");
    EXPECT_FALSE(s.flag_eof);
    s.timeout = 0.05;
    EXPECT_THROW(s.read_nonblocking(100), TIMEOUT);  // -1: the session's time-out
}

TEST(ReadNonblocking, WithoutLimitWaitsForOutput) {
    spawn s(fixture + " pause a 2 b");
    quick(s);
    EXPECT_EQ(s.read_nonblocking(10, std::nullopt), "a");
    EXPECT_EQ(s.read_nonblocking(10, std::nullopt), "b");
}

TEST(ReadNonblocking, TakesAtMostSizeBytesAndLogsThem) {
    spawn s(fixture + " print 123456789012");
    quick(s);
    chunk_log both, read_only;
    s.logfile = &both;
    s.logfile_read = &read_only;
    std::string first = s.read_nonblocking(5, 5);
    EXPECT_EQ(first.size(), 5u);
    const std::string rest = read_all(s);
    EXPECT_EQ(first + rest, "123456789012");
    EXPECT_EQ(both.all(), "123456789012");
    EXPECT_EQ(read_only.chunks(), both.chunks());
    EXPECT_EQ(both.chunks().front(), first);
}

// A log that fails is the error of the read that logged, but what that read
// took from the child is kept, as for any error of an expect: in `before`.
TEST(ReadNonblocking, AFailingLogLosesNoOutput) {
    spawn s(fixture + " print hello");
    quick(s);
    std::ostream broken(nullptr);
    s.logfile_read = &broken;
    EXPECT_THROW(s.expect("never"), std::ios_base::failure);
    EXPECT_EQ(s.before_str().substr(0, 5), "hello");
    // Read alone, the chunk waits in the buffer.
    spawn t(fixture + " print hello");
    quick(t);
    t.logfile_read = &broken;
    EXPECT_THROW(t.read_nonblocking(100, 5), std::ios_base::failure);
    EXPECT_EQ(t.buffer.substr(0, 5), "hello");
}

// A log stream may read another session while it logs a chunk: each read
// keeps its own bytes, and every log gets the chunk of the read it logs.
TEST(ReadNonblocking, ALogThatReadsAnotherSessionKeepsEachChunk) {
    spawn inner(fixture + " print inner-text"), outer(fixture + " print outer-text");
    quick(inner);
    quick(outer);
    struct reading_log : std::streambuf {
        spawn* other = nullptr;
        std::string got;
        std::streamsize xsputn(const char*, std::streamsize n) override {
            if (got.empty()) got = other->read_nonblocking(100, 20);
            return n;
        }
    } reader;
    reader.other = &inner;
    std::ostream reading(&reader);
    chunk_log read_only;
    outer.logfile = &reading;
    outer.logfile_read = &read_only;
    const std::string first = outer.read_nonblocking(100, 20);
    EXPECT_EQ(first.substr(0, 10), "outer-text");
    EXPECT_EQ(reader.got.substr(0, 10), "inner-text");
    EXPECT_EQ(read_only.all(), first);
}

namespace {
std::atomic<int> alarms{0};
void count_alarm(int) { alarms.fetch_add(1); }
}  // namespace

TEST(ReadNonblocking, SignalsDoNotCutTheWaitShort) {
    spawn s(fixture + " sleep 5");
    quick(s);
    struct sigaction sa {};
    sa.sa_handler = count_alarm;
    ::sigaction(SIGALRM, &sa, nullptr);
    itimerval every_ms{{0, 1000}, {0, 1000}};
    ::setitimer(ITIMER_REAL, &every_ms, nullptr);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_THROW(s.read_nonblocking(10, 0.3), TIMEOUT);
    const double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    itimerval off{};
    ::setitimer(ITIMER_REAL, &off, nullptr);
    ::signal(SIGALRM, SIG_DFL);
    EXPECT_GE(waited, 0.29);
    EXPECT_GT(alarms.load(), 10);
}

TEST(Send, CountsLogsAndDelivers) {
    spawn s(fixture + " hexdump 5");
    quick(s);
    testing_support::read_until(s.child_fd, "ready\n");
    chunk_log both, sent;
    s.logfile = &both;
    s.logfile_send = &sent;
    EXPECT_EQ(s.send("ab\rc\x01"), 5);
    EXPECT_EQ(both.chunks(), std::vector<std::string>{"ab\rc\x01"});
    EXPECT_EQ(sent.chunks(), std::vector<std::string>{"ab\rc\x01"});
    EXPECT_EQ(read_all(s), "61 62 0d 63 01\n");
}

TEST(Send, LineIsTwoSends) {
    spawn s(fixture + " hexdump 6");
    quick(s);
    testing_support::read_until(s.child_fd, "ready\n");
    chunk_log sent;
    s.logfile_send = &sent;
    EXPECT_EQ(s.sendline("abcd"), 5);
    EXPECT_EQ(sent.chunks(), (std::vector<std::string>{"abcd", "\n"}));
    EXPECT_EQ(s.sendline(), 1);
    EXPECT_EQ(sent.chunks().size(), 3u);
    EXPECT_EQ(read_all(s), "61 62 63 64 0a 0a\n");
}

TEST(Send, WriteAndWritelinesAddNothing) {
    spawn s(fixture + " hexdump 4");
    quick(s);
    testing_support::read_until(s.child_fd, "ready\n");
    s.write("a");
    s.writelines(std::vector<std::string>{"b", "c", "d"});
    EXPECT_EQ(read_all(s), "61 62 63 64\n");
}

TEST(Send, ControlCharacters) {
    // Every char value, in order, with the byte it must send (none: -1).
    const std::string lower = "abcdefghijklmnopqrstuvwxyz";
    const std::string upper = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    const std::vector<std::pair<char, int>> symbols = {{'@', 0x00},  {'`', 0x00}, {'[', 0x1b}, {'{', 0x1b},
                                                       {'\\', 0x1c}, {'|', 0x1c}, {']', 0x1d}, {'}', 0x1d},
                                                       {'^', 0x1e},  {'~', 0x1e}, {'_', 0x1f}, {'?', 0x7f}};
    std::vector<std::pair<char, int>> table;
    for (int v = 0; v < 256; ++v) {
        const char c = static_cast<char>(v);
        int byte = -1;
        if (const auto i = lower.find(c); i != std::string::npos) byte = static_cast<int>(i) + 1;
        if (const auto i = upper.find(c); i != std::string::npos) byte = static_cast<int>(i) + 1;
        for (const auto& [symbol, b] : symbols)
            if (symbol == c) byte = b;
        table.emplace_back(c, byte);
    }
    std::vector<std::string> want_chunks;
    std::string want_hex;
    for (const auto& [c, byte] : table) {
        if (byte < 0) continue;
        want_chunks.emplace_back(1, static_cast<char>(byte));
        char b[4];
        std::snprintf(b, sizeof b, want_hex.empty() ? "%02x" : " %02x", byte);
        want_hex += b;
    }
    ASSERT_EQ(want_chunks.size(), 64u);

    spawn s(fixture + " hexdump " + std::to_string(want_chunks.size()));
    quick(s);
    testing_support::read_until(s.child_fd, "ready\n");
    chunk_log sent;
    s.logfile_send = &sent;
    for (const auto& [c, byte] : table)
        EXPECT_EQ(s.sendcontrol(c), byte < 0 ? 0 : 1)
            << "char " << static_cast<int>(static_cast<unsigned char>(c));
    // Nothing is logged for what was not sent. A byte short, the child would
    // wait for it: stop here then.
    ASSERT_EQ(sent.chunks(), want_chunks);
    EXPECT_EQ(read_all(s), want_hex + "\n");
}

TEST(Send, EndOfFileCharacterIsTheTerminalsOwn) {
    spawn s(fixture + " cat");
    quick(s);
    chunk_log sent;
    s.logfile_send = &sent;
    termios mode{};
    ASSERT_EQ(::tcgetattr(s.child_fd, &mode), 0);
    mode.c_cc[VEOF] = 0x01;
    ASSERT_EQ(::tcsetattr(s.child_fd, TCSANOW, &mode), 0);
    s.sendline("text");
    s.sendeof();
    EXPECT_EQ(sent.chunks().back(), "\x01");
    // cat saw end of file and ended on its own.
    read_all(s);
    EXPECT_FALSE(s.isalive());
    EXPECT_EQ(s.exitstatus, 0);
}

TEST(Send, InterruptCharacterEndsTheForegroundChild) {
    spawn s(fixture + " cat");
    quick(s);
    s.sendintr();
    read_all(s);
    EXPECT_FALSE(s.isalive());
    EXPECT_EQ(s.signalstatus, SIGINT);
}

TEST(Send, AfterCloseTheWriteFailsButTheDataWasLogged) {
    spawn s(fixture + " cat");
    quick(s);
    s.close();
    chunk_log sent;
    s.logfile_send = &sent;
    EXPECT_EQ(message_of<std::system_error>([&] { s.send("late"); }), "[Errno 9] Bad file descriptor");
    EXPECT_EQ(sent.all(), "late");
    EXPECT_THROW(s.sendeof(), std::system_error);
}

TEST(ReadNonblocking, ExtraWaitOfTheIrixPath) {
    // A grandchild keeps the terminal open, so the child's end shows only
    // through the liveness check after the extra wait.
    spawn s("sh -c '(sleep 3 &); sleep 0.3'");
    quick(s);
    s.irix_hack = true;
    EXPECT_EQ(message_of<EOF_>([&] { s.read_nonblocking(100, 10); }),
              "End Of File (EOF) in read_nonblocking(). Pokey platform.");
    EXPECT_TRUE(s.flag_eof);
    EXPECT_EQ(s.exitstatus, 0);
}

TEST(ReadNonblocking, EndedChildWithTheTerminalStillHeldOpen) {
    spawn s("sh -c '(sleep 3 &); exit 0'");
    quick(s);
    while (s.isalive()) ::usleep(10000);
    EXPECT_EQ(message_of<EOF_>([&] { s.read_nonblocking(100, 10); }),
              "End Of File (EOF) in read_nonblocking(). Braindead platform.");
}

TEST(ReadNonblocking, TimeOutIsWaitedOnceNotTwice) {
    auto s = testing_support::start_quick(fixture + " sleep 10");
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_THROW(s->read_nonblocking(10, 2.0), TIMEOUT);
    const double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_GE(waited, 1.99);
    EXPECT_LT(waited, 3.5);  // a second full wait would take 4 s
    const auto t1 = std::chrono::steady_clock::now();
    EXPECT_EQ(s->expect({"never", TIMEOUT{}}, 2.0), 1);
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t1).count(), 3.5);
}

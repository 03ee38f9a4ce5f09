// Sessions over descriptors the test opens itself: a socket pair, a TCP
// connection on loopback, a pipe pair, a pty pair posing as a serial line.
// The test plays the other side.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>

#include <functional>
#include <sstream>
#include <thread>

#include <ptypilot/expect_many.hpp>

#include "support/helpers.hpp"

using namespace ptypilot;

namespace {

// The session's side and the side the test plays, each a descriptor.
struct line_pair {
    int session_read = -1;
    int session_write = -1;
    int peer_read = -1;
    int peer_write = -1;
};

spawn_options quick() { return {.timeout = 10.0, .delaybeforesend = 0.0}; }

line_pair socket_pair() {
    int sv[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    return {sv[0], sv[0], sv[1], sv[1]};
}

line_pair pipe_pair() {
    int to_session[2], from_session[2];
    EXPECT_EQ(::pipe2(to_session, O_CLOEXEC), 0);
    EXPECT_EQ(::pipe2(from_session, O_CLOEXEC), 0);
    return {to_session[0], from_session[1], from_session[0], to_session[1]};
}

// A small server on loopback: the test accepts the connection and answers.
line_pair tcp_connection() {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    EXPECT_EQ(::listen(listener, 1), 0);
    socklen_t len = sizeof addr;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
    const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    EXPECT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    const int server = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    ::close(listener);
    return {client, client, server, server};
}

// A pty pair as a serial line: the session holds the terminal side, raw as a
// device line is set up; the test plays the device on the other.
line_pair serial_line() {
    int master = -1, slave = -1;
    EXPECT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave, F_SETFD, FD_CLOEXEC);
    termios mode{};
    ::tcgetattr(slave, &mode);
    ::cfmakeraw(&mode);
    ::cfsetspeed(&mode, B115200);
    ::tcsetattr(slave, TCSANOW, &mode);
    return {slave, slave, master, master};
}

void peer_says(const line_pair& p, const std::string& text) {
    ASSERT_EQ(::write(p.peer_write, text.data(), text.size()), static_cast<ssize_t>(text.size()));
}

// Ends the peer's side: the session's next read meets end of file.
void peer_hangs_up(line_pair& p) {
    ::close(p.peer_read);
    if (p.peer_write != p.peer_read) ::close(p.peer_write);
    p.peer_read = p.peer_write = -1;
}

spawn session_over(const line_pair& p, descriptor_close on_close = descriptor_close::close) {
    if (p.session_read == p.session_write) return spawn::from_fd(p.session_read, quick(), on_close);
    return spawn::from_fds(p.session_read, p.session_write, quick(), on_close);
}

bool is_open(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

struct kind {
    const char* name;
    std::function<line_pair()> make;
};

const std::vector<kind> kinds = {
    {"socketpair", socket_pair},
    {"pipes", pipe_pair},
    {"tcp", tcp_connection},
    {"serial", serial_line},
};

}  // namespace

// A dialogue, line reading, logging and end of file, over each kind.
TEST(DescriptorSession, ConversationOverEachKind) {
    for (const auto& k : kinds) {
        SCOPED_TRACE(k.name);
        const int fds_before = testing_support::open_fd_count();
        line_pair p = k.make();
        std::ostringstream log;
        {
            spawn s = session_over(p);
            s.logfile = &log;
            EXPECT_EQ(s.fileno(), p.session_read);
            EXPECT_TRUE(s.isalive());
            EXPECT_FALSE(s.pid);
            EXPECT_TRUE(s.terminated);

            peer_says(p, "login: ");
            EXPECT_EQ(s.expect({"login: ", sentinel::eof}), 0);
            s.sendline("root");
            EXPECT_EQ(testing_support::read_until(p.peer_read, "\n"), "root\n");
            peer_says(p, "welcome\r\nlast login: never\r\n# ");
            EXPECT_EQ(s.readline(), "welcome\r\n");
            EXPECT_EQ(s.expect_exact("# "), 0);
            EXPECT_EQ(s.before, "last login: never\r\n");

            peer_says(p, "bye");
            EXPECT_EQ(s.expect_exact("bye"), 0);
            peer_hangs_up(p);
            EXPECT_EQ(s.expect(sentinel::eof), 0);
            EXPECT_EQ(s.before, "");
            EXPECT_FALSE(s.isalive());
            EXPECT_TRUE(s.eof());
            s.close();
            EXPECT_FALSE(is_open(p.session_read));
            EXPECT_FALSE(is_open(p.session_write));
            EXPECT_EQ(s.child_fd, -1);
        }
        EXPECT_EQ(log.str(), "login: root\nwelcome\r\nlast login: never\r\n# bye");
        EXPECT_EQ(testing_support::open_fd_count(), fds_before);
    }
}

TEST(DescriptorSession, LeaveKeepsTheDescriptorsOpen) {
    for (const auto& k : kinds) {
        SCOPED_TRACE(k.name);
        line_pair p = k.make();
        {
            spawn s = session_over(p, descriptor_close::leave);
            s.send("x");
        }  // released without close(): left all the same
        EXPECT_TRUE(is_open(p.session_read));
        EXPECT_TRUE(is_open(p.session_write));
        EXPECT_EQ(testing_support::read_until(p.peer_read, "x"), "x");
        ::close(p.session_read);
        if (p.session_write != p.session_read) ::close(p.session_write);
        peer_hangs_up(p);
    }
}

// Calls that need a child: refused clearly, or nothing to do.
TEST(DescriptorSession, LifecycleWithoutAChild) {
    line_pair p = socket_pair();
    spawn s = spawn::from_fd(p.session_read, quick());
    const std::vector<std::pair<const char*, std::function<void()>>> refused = {
        {"wait()", [&] { s.wait(); }},
        {"kill()", [&] { s.kill(SIGTERM); }},
    };
    for (const auto& [call, f] : refused) {
        try {
            f();
            ADD_FAILURE() << call << " did not throw";
        } catch (const ExceptionPty& e) {
            EXPECT_EQ(std::string(e.what()).rfind(call, 0), 0u) << e.what();
            EXPECT_NE(std::string(e.what()).find("over a descriptor"), std::string::npos);
        }
    }
    EXPECT_THROW(s._spawn("/bin/true"), std::logic_error);
    EXPECT_TRUE(s.terminate(true));
    EXPECT_TRUE(s.isalive());  // nothing was ended
    EXPECT_EQ(s.name, "<fd " + std::to_string(p.session_read) + ">");
    EXPECT_FALSE(s.isatty());
    EXPECT_FALSE(s.exitstatus);
    s.close();
    EXPECT_FALSE(s.isalive());
    peer_hangs_up(p);
}

TEST(DescriptorSession, BadDescriptorRefusedAndNothingTaken) {
    EXPECT_THROW(spawn::from_fd(-1), std::system_error);
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    const int closed_fd = fds[1];
    ::close(closed_fd);
    EXPECT_THROW(spawn::from_fds(fds[0], closed_fd), std::system_error);
    EXPECT_TRUE(is_open(fds[0]));
    ::close(fds[0]);
}

TEST(DescriptorSession, OwnedDescriptorBecomesCloseOnExec) {
    int sv[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);  // inheritable
    spawn s = spawn::from_fd(sv[0]);
    EXPECT_NE(::fcntl(sv[0], F_GETFD) & FD_CLOEXEC, 0);
    spawn t = spawn::from_fd(sv[1], {}, descriptor_close::leave);
    EXPECT_EQ(::fcntl(sv[1], F_GETFD) & FD_CLOEXEC, 0);  // the caller's: untouched
    t.close();
    ::close(sv[1]);
}

// A reader that has gone away: the send fails with EPIPE instead of the
// signal ending the process.
TEST(DescriptorSession, SendToAGoneReaderThrowsInsteadOfSigpipe) {
    for (const auto& k : kinds) {
        if (std::string(k.name) == "serial") continue;  // a terminal raises no SIGPIPE
        SCOPED_TRACE(k.name);
        line_pair p = k.make();
        spawn s = session_over(p);
        peer_hangs_up(p);
        try {
            for (int i = 0; i < 100; ++i) s.send(std::string(65536, 'x'));
            ADD_FAILURE() << "every send went through";
        } catch (const std::system_error& e) {
            // A TCP peer that has gone may answer with a reset first.
            EXPECT_TRUE(e.code().value() == EPIPE || e.code().value() == ECONNRESET) << e.what();
        }
        sigset_t pending;
        ::sigpending(&pending);
        EXPECT_EQ(::sigismember(&pending, SIGPIPE), 0);
    }
    // Keys the relay passes on meet the same gone reader, while the device
    // still has the line open towards the session.
    line_pair p = pipe_pair();
    spawn s = session_over(p);
    ::close(p.peer_read);
    int keyboard[2];
    ASSERT_EQ(::pipe2(keyboard, O_CLOEXEC), 0);
    ASSERT_EQ(::write(keyboard[1], "typed\x1d", 6), 6);
    s.STDIN_FILENO_ = keyboard[0];
    const int screen = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    s.STDOUT_FILENO_ = screen;
    EXPECT_EQ(s.interact(), interact_end::escape);
    ::close(screen);
    ::close(keyboard[0]);
    ::close(keyboard[1]);
    ::close(p.peer_write);
}

// A socket an event loop left non-blocking: reads wait again after EAGAIN,
// and a send larger than the socket's buffer waits for room.
TEST(DescriptorSession, NonBlockingSocket) {
    line_pair p = socket_pair();
    ::fcntl(p.session_read, F_SETFL, ::fcntl(p.session_read, F_GETFL) | O_NONBLOCK);
    spawn s = spawn::from_fd(p.session_read, quick());
    const std::string big(4 << 20, 'b');
    std::string received;
    std::thread reader([&] {
        char buf[65536];
        while (received.size() < big.size() + 3) {
            const ssize_t n = ::read(p.peer_read, buf, sizeof buf);
            if (n <= 0) break;
            received.append(buf, static_cast<std::size_t>(n));
        }
    });
    EXPECT_EQ(s.send(big + "END"), static_cast<long>(big.size() + 3));
    reader.join();
    EXPECT_EQ(received.size(), big.size() + 3);
    std::thread late([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        peer_says(p, "late answer");
    });
    EXPECT_EQ(s.expect("late answer"), 0);
    late.join();
    peer_hangs_up(p);
}

// A pty pair posing as a serial device: the session's terminal settings stay
// as the caller made them (raw: nothing echoed or translated).
TEST(DescriptorSession, SerialLineStaysRaw) {
    line_pair p = serial_line();
    spawn s = spawn::from_fd(p.session_read, quick());
    EXPECT_TRUE(s.isatty());
    EXPECT_FALSE(s.getecho());
    s.send("AT\r");
    EXPECT_EQ(testing_support::read_until(p.peer_read, "\r"), "AT\r");
    peer_says(p, "\r\nOK\r\n");
    EXPECT_EQ(s.expect_exact("OK\r\n"), 0);
    EXPECT_EQ(s.before, "\r\n");
    peer_hangs_up(p);
    EXPECT_EQ(s.expect({"never", sentinel::eof}), 1);
}

// The relay over a descriptor: keyboard to the device, device to the screen,
// until the device's end.
TEST(DescriptorSession, InteractUntilTheDeviceHangsUp) {
    line_pair p = socket_pair();
    spawn s = spawn::from_fd(p.session_read, quick());
    int keyboard[2], screen[2];
    ASSERT_EQ(::pipe2(keyboard, O_CLOEXEC), 0);
    ASSERT_EQ(::pipe2(screen, O_CLOEXEC), 0);
    ASSERT_EQ(::write(keyboard[1], "typed", 5), 5);
    ::close(keyboard[1]);
    peer_says(p, "from device");
    ::shutdown(p.peer_write, SHUT_WR);
    s.STDIN_FILENO_ = keyboard[0];
    s.STDOUT_FILENO_ = screen[1];
    s.interact();
    ::close(screen[1]);
    EXPECT_EQ(testing_support::read_until_eof(screen[0]), "from device");
    EXPECT_EQ(testing_support::read_until(p.peer_read, "typed"), "typed");
    EXPECT_TRUE(s.eof());
    ::close(keyboard[0]);
    ::close(screen[0]);
    peer_hangs_up(p);
}

// Following the window size over a socket or pipes: there is no window to
// follow, the relay runs, and the screen takes the user's size, after a
// SIGWINCH too.
TEST(DescriptorSession, InteractFollowsTheWindowWithoutATerminal) {
    for (const auto& k : {kinds[0], kinds[1]}) {
        SCOPED_TRACE(k.name);
        line_pair p = k.make();
        spawn s = session_over(p);
        s.enable_screen();
        int user_master = -1, user_slave = -1, shown[2];
        winsize user{30, 100, 0, 0};
        ASSERT_EQ(::openpty(&user_master, &user_slave, nullptr, nullptr, &user), 0);
        ASSERT_EQ(::pipe2(shown, O_CLOEXEC), 0);
        s.STDIN_FILENO_ = user_slave;
        s.STDOUT_FILENO_ = shown[1];
        peer_says(p, "first ");
        bool resized = false;
        const filter_function resize_then_end = [&](std::string d) {
            if (!resized) {
                resized = true;
                user = {40, 120, 0, 0};
                ::ioctl(user_master, TIOCSWINSZ, &user);
                ::kill(::getpid(), SIGWINCH);
                EXPECT_EQ(::write(p.peer_write, "second", 6), 6);
                peer_hangs_up(p);
            }
            return d;
        };
        interact_options follow;
        follow.follow_window_size = true;
        s.interact("\x1d", nullptr, resize_then_end, follow);
        ::close(shown[1]);
        EXPECT_EQ(testing_support::read_until_eof(shown[0]), "first second");
        EXPECT_EQ(s.screen().rows, 40);
        EXPECT_EQ(s.screen().columns, 120);
        for (const int fd : {user_master, user_slave, shown[0]}) ::close(fd);
    }
}

// Sessions over descriptors and children in one wait.
TEST(DescriptorSession, InTheWaitOverManyBesideAChild) {
    line_pair a = socket_pair();
    line_pair b = tcp_connection();
    spawn sa = spawn::from_fd(a.session_read, quick());
    spawn sb = spawn::from_fd(b.session_read, quick());
    auto child = testing_support::start_quick(testing_support::fixture + " pause '' 0.2 child-ready");
    std::thread devices([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        peer_says(b, "tcp-ready");
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        peer_says(a, "pair-ready");
    });
    std::vector<bool> heard(3, false);
    const std::vector<expect_target> targets = {
        {sa, "pair-ready"}, {sb, "tcp-ready"}, {*child, "child-ready"}};
    while (!(heard[0] && heard[1] && heard[2])) {
        std::vector<expect_target> waiting;
        std::vector<std::size_t> where;
        for (std::size_t i = 0; i < 3; ++i)
            if (!heard[i]) waiting.push_back(targets[i]), where.push_back(i);
        for (const auto& o : expect_many(waiting)) heard[where[o.session]] = true;
    }
    devices.join();
    EXPECT_EQ(sb.after_str(), "tcp-ready");
    peer_hangs_up(a);
    peer_hangs_up(b);
}

TEST(DescriptorSession, MovesKeepTheDescriptor) {
    line_pair p = socket_pair();
    std::vector<spawn> sessions;
    sessions.push_back(spawn::from_fd(p.session_read, quick()));
    sessions.push_back(spawn(std::nullopt));
    spawn moved = std::move(sessions.front());
    EXPECT_TRUE(sessions.front().closed);
    peer_says(p, "still here");
    EXPECT_EQ(moved.expect("here"), 0);
    moved.close();
    EXPECT_FALSE(is_open(p.session_read));
    peer_hangs_up(p);
}

// The screen of a descriptor that is no terminal: the size given, resized
// by setwinsize() alone, and answers to the peer's queries.
TEST(DescriptorSession, ScreenOverADescriptorThatIsNoTerminal) {
    for (const auto& k : {kinds[0], kinds[1]}) {
        SCOPED_TRACE(k.name);
        line_pair p = k.make();
        spawn_options options = quick();
        options.window = {10, 30};
        options.screen = screen_options{.answer_queries = true};
        spawn s = p.session_read == p.session_write
                      ? spawn::from_fd(p.session_read, options)
                      : spawn::from_fds(p.session_read, p.session_write, options);
        EXPECT_EQ(s.screen().rows, 10);
        EXPECT_EQ(s.screen().columns, 30);
        s.setwinsize(12, 40);
        peer_says(p, "where\x1b[6n");
        s.expect_screen_exact("where");
        EXPECT_EQ(testing_support::read_until(p.peer_read, "R"), "\x1b[1;6R");
        EXPECT_EQ(s.screen().columns, 40);
        EXPECT_EQ(s.screen().rows, 12);
        peer_hangs_up(p);
    }
}

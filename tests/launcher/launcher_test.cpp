// The launcher run as a person (or a script) would run it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>

#include <chrono>
#include <thread>

#include "support/helpers.hpp"

using testing_support::fixture;
using testing_support::launcher;

namespace {

struct result {
    std::string out;
    int code = -1;
};

int decode(int st) { return WIFEXITED(st) ? WEXITSTATUS(st) : 1000 + WTERMSIG(st); }

char** to_argv(std::vector<std::string>& words) {
    static thread_local std::vector<char*> ptrs;
    ptrs.clear();
    for (auto& w : words) ptrs.push_back(w.data());
    ptrs.push_back(nullptr);
    return ptrs.data();
}

// Runs the launcher with standard input from /dev/null and standard output
// (and error) captured.
result run(std::vector<std::string> words) {
    words.insert(words.begin(), launcher);
    int p[2];
    if (::pipe2(p, O_CLOEXEC) != 0) return {};
    char** argv = to_argv(words);
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int in = ::open("/dev/null", O_RDONLY);
        ::dup2(in, 0);
        ::dup2(p[1], 1);
        ::dup2(p[1], 2);
        ::execv(argv[0], argv);
        ::_exit(126);
    }
    ::close(p[1]);
    result r;
    r.out = testing_support::read_until_eof(p[0], 60);
    ::close(p[0]);
    int st = 0;
    ::waitpid(pid, &st, 0);
    r.code = decode(st);
    return r;
}

// The launcher on a terminal of the test's own, driven key by key.
class terminal_session {
public:
    explicit terminal_session(std::vector<std::string> words) {
        words.insert(words.begin(), launcher);
        char** argv = to_argv(words);
        pid_ = ::forkpty(&master_, nullptr, nullptr, nullptr);
        if (pid_ == 0) {
            ::execv(argv[0], argv);
            ::_exit(126);
        }
    }
    ~terminal_session() {
        if (pid_ > 0 && code_ < 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        ::close(master_);
    }
    void type(const std::string& keys) {
        ASSERT_EQ(::write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    }
    std::string wait_for(const std::string& text) {
        seen_ += testing_support::read_until(master_, text, 20);
        return seen_;
    }
    int finish() {
        seen_ += testing_support::read_until_eof(master_, 20);
        int st = 0;
        for (int i = 0; i < 400 && ::waitpid(pid_, &st, WNOHANG) == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        code_ = decode(st);
        return code_;
    }
    const std::string& seen() const { return seen_; }

private:
    int master_ = -1;
    pid_t pid_ = -1;
    int code_ = -1;
    std::string seen_;
};

}  // namespace

TEST(Launcher, MessagesForBadCommandLines) {
    auto r = run({});
    EXPECT_EQ(r.out, "No program specified\n");
    EXPECT_EQ(r.code, 1);
    r = run({"CD", "/tmp"});
    EXPECT_EQ(r.out, "No program to run!\n");
    EXPECT_EQ(r.code, 1);
    r = run({"--"});
    EXPECT_EQ(r.out, "No program to run!\n");
    EXPECT_EQ(r.code, 1);
}

TEST(Launcher, FailedLaunches) {
    auto r = run({"no-such-program-anywhere"});
    EXPECT_EQ(r.out,
              "Failed to launch the program: The command was not found or was not executable: "
              "no-such-program-anywhere.\n");
    EXPECT_EQ(r.code, 1);
    // A program word with a blank is used whole once it has arguments.
    r = run({"ls -l", "x"});
    EXPECT_EQ(r.out,
              "Failed to launch the program: The command was not found or was not executable: ls -l.\n");
    EXPECT_EQ(r.code, 1);
    // Exec fails after the fork: reported by the launcher itself, once.
    r = run({"/tmp", "x"});
    EXPECT_EQ(r.out, "Failed to launch the program: [Errno 13] Permission denied\n");
    EXPECT_EQ(r.code, 1);
}

TEST(Launcher, RunsTheProgramWithItsDirectoryAndEnvironment) {
    auto r = run({"CD", "/usr", "--", "ENV", "A=1", "B=x=y", "C", "=z", "--", fixture, "env"});
    EXPECT_EQ(r.out, "A=1\r\nB=x=y\r\n");
    EXPECT_EQ(r.code, 0);
    r = run({"CD", "/usr", "--", fixture, "cwd"});
    EXPECT_EQ(r.out, "/usr\r\n");
    r = run({fixture, "env"});
    EXPECT_EQ(r.out, "");  // no ENV block: an empty environment
    r = run({"CD", "/nonexistent", "--", fixture, "print", "still"});
    EXPECT_EQ(r.out, "Warning: Failed to change working directory\nstill");
}

TEST(Launcher, SingleWordWithBlankIsSplit) {
    auto r = run({fixture + " print split"});
    EXPECT_EQ(r.out, "split");
    r = run({"--", "CD"});
    EXPECT_NE(r.out.find("Failed to launch the program"), std::string::npos);
}

TEST(Launcher, ExitStatusFollowsTheChild) {
    EXPECT_EQ(run({fixture, "exit", "3"}).code, 3);
    EXPECT_EQ(run({fixture, "exit", "0"}).code, 0);
    // Killed by a signal: 128 + the signal, as shells report it.
    EXPECT_EQ(run({fixture, "kill-self", "9"}).code, 137);
    EXPECT_EQ(run({fixture, "kill-self", "15"}).code, 143);
}

TEST(Launcher, OutputArrivesWhole) {
    for (int i = 0; i < 10; ++i) EXPECT_EQ(run({"/bin/echo", "hello"}).out, "hello\r\n");
    const auto r = run({fixture, "flood", "5000000"});
    EXPECT_EQ(r.out.size(), 5000003u);
    EXPECT_EQ(r.out.substr(r.out.size() - 3), "END");
}

TEST(Launcher, InputAtEndOfFileUsesNoCpuWhileWaiting) {
    rusage before{}, after{};
    ::getrusage(RUSAGE_CHILDREN, &before);
    EXPECT_EQ(run({"/bin/sleep", "1.5"}).code, 0);
    ::getrusage(RUSAGE_CHILDREN, &after);
    const double used = static_cast<double>(after.ru_utime.tv_sec - before.ru_utime.tv_sec +
                                            after.ru_stime.tv_sec - before.ru_stime.tv_sec) +
                        static_cast<double>(after.ru_utime.tv_usec - before.ru_utime.tv_usec +
                                            after.ru_stime.tv_usec - before.ru_stime.tv_usec) *
                            1e-6;
    EXPECT_LT(used, 0.5);
}

TEST(Launcher, ClosedOutputIsReportedNotFatal) {
    std::vector<std::string> words{launcher, fixture, "flood", "100000"};
    char** argv = to_argv(words);
    int p[2];
    ASSERT_EQ(::pipe(p), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(p[1], 1);
        ::close(p[0]);
        ::close(p[1]);
        ::close(2);
        ::execv(argv[0], argv);
        ::_exit(126);
    }
    ::close(p[0]);  // nobody will read the launcher's output
    ::close(p[1]);
    int st = 0;
    ::waitpid(pid, &st, 0);
    EXPECT_TRUE(WIFEXITED(st)) << "killed by signal " << WTERMSIG(st);
    EXPECT_EQ(WEXITSTATUS(st), 1);
}

TEST(Launcher, InteractiveShellOnATerminal) {
    terminal_session t({"CD", "/usr", "--", "ENV", "PS1=$ ", "PATH=/bin:/usr/bin", "--", "/bin/sh"});
    t.wait_for("$ ");
    t.type("echo \"$((6*7)) $PWD\"\r");
    EXPECT_NE(t.wait_for("42 /usr").find("42 /usr"), std::string::npos);
    t.type("stty size\r");
    EXPECT_NE(t.wait_for("24 80").find("24 80"), std::string::npos);
    t.type("exit 6\r");
    EXPECT_EQ(t.finish(), 6);
}

TEST(Launcher, CtrlBracketLeavesAndEndsTheChild) {
    terminal_session t({"ENV", "PS1=$ ", "--", "/bin/sh"});
    t.wait_for("$ ");
    t.type("\x1d");
    EXPECT_EQ(t.finish(), 0);
}

TEST(Launcher, TerminalIsLeftAsItWasFound) {
    int master = -1, slave = -1;
    ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    termios before{};
    ASSERT_EQ(::tcgetattr(slave, &before), 0);
    std::vector<std::string> words{launcher, fixture, "print", "x"};
    char** argv = to_argv(words);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(slave, 0);
        ::dup2(slave, 1);
        ::execv(argv[0], argv);
        ::_exit(126);
    }
    int st = 0;
    ::waitpid(pid, &st, 0);
    termios after{};
    ASSERT_EQ(::tcgetattr(slave, &after), 0);
    EXPECT_EQ(before.c_lflag, after.c_lflag);
    EXPECT_EQ(before.c_iflag, after.c_iflag);
    EXPECT_EQ(before.c_oflag, after.c_oflag);
    ::close(master);
    ::close(slave);
}

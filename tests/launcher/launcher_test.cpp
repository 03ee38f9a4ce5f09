// The launcher run as a person (or a script) would run it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>

#include <ptypilot/version.hpp>

#include "launcher/grammar.hpp"
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
// (and error) captured, then the descriptors in `closed` closed.
result run(std::vector<std::string> words, std::initializer_list<int> closed = {}) {
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
        for (const int fd : closed) ::close(fd);
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

// How the launcher's terminal is set up, as users' terminals come.
struct terminal_setup {
    winsize size{};                    // 0×0: a terminal that reports no size
    bool controlling = true;           // the launcher's controlling terminal (it leads a session)
    bool nonblocking = false;          // O_NONBLOCK on the terminal, as another program may leave it
    bool sigchld_ignored = false;      // started by a parent that ignored SIGCHLD
    bool sighup_ignored = false;       // started under nohup
    std::optional<std::string> input;  // standard input from a pipe holding this instead
};

// The launcher on a terminal of the test's own, driven key by key.
class terminal_session {
public:
    explicit terminal_session(std::vector<std::string> words, const terminal_setup& setup = {}) {
        words.insert(words.begin(), launcher);
        char** argv = to_argv(words);
        int slave = -1;
        if (::openpty(&master_, &slave, nullptr, nullptr, setup.size.ws_row ? &setup.size : nullptr) != 0)
            return;
        ::fcntl(master_, F_SETFD, FD_CLOEXEC);
        ::fcntl(slave, F_SETFD, FD_CLOEXEC);
        ::tcgetattr(slave, &initial_mode_);
        int in[2] = {-1, -1};
        if (setup.input && ::pipe2(in, O_CLOEXEC) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            if (setup.controlling) {
                ::setsid();
                ::ioctl(slave, TIOCSCTTY, 0);
            }
            ::dup2(setup.input ? in[0] : slave, 0);
            ::dup2(slave, 1);
            ::dup2(slave, 2);
            if (setup.nonblocking) ::fcntl(slave, F_SETFL, ::fcntl(slave, F_GETFL) | O_NONBLOCK);
            if (setup.sigchld_ignored) ::signal(SIGCHLD, SIG_IGN);
            if (setup.sighup_ignored) ::signal(SIGHUP, SIG_IGN);
            const rlimit no_core{0, 0};  // SIGQUIT would dump one
            ::setrlimit(RLIMIT_CORE, &no_core);
            ::execv(argv[0], argv);
            ::_exit(126);
        }
        ::close(slave);
        if (setup.input) {
            ::close(in[0]);
            (void)::write(in[1], setup.input->data(), setup.input->size());
            ::close(in[1]);
        }
    }
    ~terminal_session() {
        if (pid_ > 0 && code_ < 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        hang_up();
    }
    pid_t pid() const { return pid_; }
    void type(const std::string& keys) {
        ASSERT_EQ(::write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    }
    std::string wait_for(const std::string& text) {
        seen_ += testing_support::read_until(master_, text, 20);
        return seen_;
    }
    // The number after `label` once a whole line holding it has arrived.
    long wait_for_number(const std::string& label) {
        for (int tries = 0; tries < 100; ++tries) {
            const auto at = seen_.find(label);
            if (at != std::string::npos && seen_.find("\r\n", at) != std::string::npos)
                return std::atol(seen_.c_str() + at + label.size());
            seen_ += testing_support::read_until(master_, "\r\n", 0.2);
        }
        return -1;
    }
    // The launcher's exit code, 1000 + the signal that ended it, or -1 if it
    // still runs after a generous wait.
    int finish() {
        if (master_ >= 0) seen_ += testing_support::read_until_eof(master_, 20);
        return wait_exit();
    }
    int wait_exit() {
        int st = 0;
        for (int i = 0; i < 400; ++i) {
            if (::waitpid(pid_, &st, WNOHANG) == pid_) return code_ = decode(st);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return -1;
    }
    // The terminal's modes as the launcher left them (the master sees the
    // modes of its side), and as the test made it.
    termios mode() const {
        termios m{};
        ::tcgetattr(master_, &m);
        return m;
    }
    const termios& initial_mode() const { return initial_mode_; }
    void resize(unsigned short rows, unsigned short cols) {
        const winsize ws{rows, cols, 0, 0};
        ::ioctl(master_, TIOCSWINSZ, &ws);
    }
    // As a terminal window that is closed.
    void hang_up() {
        if (master_ >= 0) ::close(master_);
        master_ = -1;
    }
    const std::string& seen() const { return seen_; }

private:
    int master_ = -1;
    pid_t pid_ = -1;
    int code_ = -1;
    termios initial_mode_{};
    std::string seen_;
};

bool is_raw(const termios& m) { return (m.c_lflag & (ICANON | ECHO | ISIG)) == 0; }
bool same_mode(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_lflag == b.c_lflag;
}

// The state letter of a process ('R', 'S', 'T', 'Z', ...), 0 once it is gone.
char process_state(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string all((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const auto close_paren = all.rfind(')');
    return close_paren == std::string::npos || close_paren + 2 >= all.size() ? 0 : all[close_paren + 2];
}

// Waits, generously, until `pred` holds.
template <class Pred>
bool eventually(Pred pred) {
    for (int i = 0; i < 400; ++i) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

// True once the process has ended (gone, or a zombie nobody reaps); one that
// lives on is killed, so that a failing test leaves nothing behind.
bool ended(pid_t pid) {
    if (eventually([&] {
            const char st = process_state(pid);
            return st == 0 || st == 'Z';
        }))
        return true;
    ::kill(pid, SIGKILL);
    return false;
}

// Runs a command and returns what it printed.
std::string output_of(std::vector<std::string> words) {
    int p[2];
    if (::pipe2(p, O_CLOEXEC) != 0) return {};
    char** argv = to_argv(words);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(p[1], 1);
        ::execvp(argv[0], argv);
        ::_exit(126);
    }
    ::close(p[1]);
    std::string out = testing_support::read_until_eof(p[0], 20);
    ::close(p[0]);
    ::waitpid(pid, nullptr, 0);
    return out;
}

// An interactive shell with job control in a tmux window of its own: what
// stopping and continuing the launcher needs.
class job_control_shell {
public:
    job_control_shell() {
        if (dir_.empty()) return;
        tmux({"new-session", "-d", "-x", "100", "-y", "40",
              "env -i PATH=/usr/bin:/bin TERM=xterm PS1='outer$ ' dash -i"});
        tty_ = output_of({"tmux", "-S", dir_ + "/socket", "display-message", "-p", "#{pane_tty}"});
        while (!tty_.empty() && tty_.back() == '\n') tty_.pop_back();
    }
    ~job_control_shell() { tmux({"kill-server"}); }
    // A line typed and entered.
    void enter(const std::string& line) {
        tmux({"send-keys", "-l", line});
        tmux({"send-keys", "Enter"});
    }
    void key(const std::string& name) { tmux({"send-keys", name}); }
    std::string screen() {
        return output_of({"tmux", "-S", dir_ + "/socket", "capture-pane", "-p", "-J", "-S", "-1000"});
    }
    bool shows(const std::string& text) {
        return eventually([&] { return screen().find(text) != std::string::npos; });
    }
    termios mode() const {
        termios m{};
        const int fd = ::open(tty_.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) {
            ::tcgetattr(fd, &m);
            ::close(fd);
        }
        return m;
    }

private:
    void tmux(std::vector<std::string> words) {
        words.insert(words.begin(), {"tmux", "-S", dir_ + "/socket", "-f", "/dev/null"});
        output_of(std::move(words));
    }
    const testing_support::scoped_temp_dir scratch_;
    const std::string dir_ = scratch_.path();
    std::string tty_;
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

TEST(Launcher, HelpAndVersionAsTheFirstWord) {
    const struct {
        std::vector<std::string> words;
        std::string out;
        int code;
    } cases[] = {
        {{"--help"}, ptypilot::launcher::usage(), 0},
        {{"-h", "ls"}, ptypilot::launcher::usage(), 0},
        {{"--version"}, std::string("ptypilot ") + PTYPILOT_VERSION_STRING + "\n", 0},
        {{"--", "--version"},
         "Failed to launch the program: The command was not found or was not executable: --version.\n",
         1},
    };
    for (const auto& c : cases) {
        const auto r = run(c.words);
        EXPECT_EQ(r.out, c.out) << c.words.front();
        EXPECT_EQ(r.code, c.code) << c.words.front();
    }
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

// Standard streams the caller closed: a closed input is empty input, and the
// child's output is never taken for a signal (bytes 2, 15 and 20 would be
// SIGINT, SIGTERM and SIGTSTP).
TEST(Launcher, ClosedStandardStreams) {
    auto r = run({"/bin/sh", "-c", "echo hello; read x; echo got=$x"}, {0});
    EXPECT_NE(r.out.find("hello\r\ngot=\r\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.code, 0);
    r = run({"/bin/sh", "-c", "printf '\\002\\017\\024'; exit 3"}, {0, 1});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.code, 3);
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
    const testing_support::user_terminal user;
    ASSERT_TRUE(user.ok());
    const int slave = user.slave;
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
}

// Killed or hung up, the launcher gives the terminal back, ends its child and
// ends by the same signal, so that its parent sees what happened.
TEST(Launcher, EndingSignalsRestoreTheTerminalAndEndTheChild) {
    for (const int sig : {SIGTERM, SIGHUP, SIGINT, SIGQUIT}) {
        SCOPED_TRACE(::strsignal(sig));
        terminal_session t({fixture, "holdout"});
        const pid_t child = static_cast<pid_t>(t.wait_for_number("pid "));
        ASSERT_GT(child, 0);
        EXPECT_TRUE(is_raw(t.mode()));
        ::kill(t.pid(), sig);
        EXPECT_EQ(t.finish(), 1000 + sig);
        EXPECT_TRUE(same_mode(t.mode(), t.initial_mode()));
        EXPECT_TRUE(ended(child));
    }
}

// A terminal that takes no more output (a frozen window, a stalled
// connection) must not keep the launcher from answering.
TEST(Launcher, EndingSignalIsAnsweredWhileTheTerminalTakesNothing) {
    terminal_session t({fixture, "flood", "100000000"});
    t.wait_for("abc");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // nothing read: the terminal fills up
    ::kill(t.pid(), SIGTERM);
    EXPECT_EQ(t.wait_exit(), 1000 + SIGTERM);
    EXPECT_TRUE(same_mode(t.mode(), t.initial_mode()));
}

// A terminal that hangs up: the kernel signals the launcher when it is the
// terminal's controlling process; otherwise only the read tells.
TEST(Launcher, HangUpEndsTheChildAndTheLauncherAsSighupWould) {
    struct case_t {
        const char* what;
        bool controlling;
        bool sighup_ignored;
        int exit;  // as wait_exit() tells it: 1000 + a signal that ended the launcher
    };
    // Under nohup the launcher is not ended by the signal it was told to
    // ignore: the child that nobody can reach any more is, and its end is the
    // exit code (the holdout ignores SIGHUP and SIGINT, so SIGKILL).
    for (const auto& c : {case_t{"controlling terminal", true, false, 1000 + SIGHUP},
                          case_t{"not the controlling terminal", false, false, 1000 + SIGHUP},
                          case_t{"SIGHUP ignored at start", true, true, 128 + SIGKILL}}) {
        SCOPED_TRACE(c.what);
        terminal_setup setup;
        setup.controlling = c.controlling;
        setup.sighup_ignored = c.sighup_ignored;
        terminal_session t({fixture, "holdout"}, setup);
        const pid_t child = static_cast<pid_t>(t.wait_for_number("pid "));
        ASSERT_GT(child, 0);
        t.hang_up();
        EXPECT_EQ(t.wait_exit(), c.exit);
        EXPECT_TRUE(ended(child));
    }
}

// Stopped from outside and continued with fg, the launcher gives the shell a
// terminal in line mode meanwhile and takes raw mode again on its return;
// sent to the background, it stops rather than take the terminal.
TEST(Launcher, StopsAndContinuesUnderAShellWithJobControl) {
    job_control_shell sh;
    sh.enter(launcher + " ENV PS1='inner$ ' PATH=/usr/bin:/bin -- /bin/sh");
    // The prompt, not the command line that holds its text.
    ASSERT_TRUE(sh.shows("\ninner$ "));
    sh.enter("echo pid=$PPID");
    pid_t pid = 0;
    ASSERT_TRUE(eventually([&] {
        const std::string s = sh.screen();
        const auto at = s.find("\npid=");
        if (at != std::string::npos) pid = static_cast<pid_t>(std::atol(s.c_str() + at + 5));
        return pid > 0;
    }));
    ASSERT_TRUE(is_raw(sh.mode()));

    int round = 0;
    auto stopped_in_line_mode = [&] {
        return eventually([&] { return process_state(pid) == 'T' && !is_raw(sh.mode()); });
    };
    auto back_in_raw_mode_and_relaying = [&] {
        EXPECT_TRUE(eventually([&] { return process_state(pid) != 'T' && is_raw(sh.mode()); }));
        // Ctrl-C is a key for the inner shell, not a signal for the launcher.
        sh.key("C-c");
        ++round;
        sh.enter("echo r$((" + std::to_string(100 * round) + "+1))");
        EXPECT_TRUE(sh.shows("r" + std::to_string(100 * round + 1)));
    };
    for (const int sig : {SIGTSTP, SIGTTIN, SIGTTOU}) {
        SCOPED_TRACE(::strsignal(sig));
        ::kill(pid, sig);
        EXPECT_TRUE(stopped_in_line_mode());
        sh.enter("fg");
        back_in_raw_mode_and_relaying();
    }

    ::kill(pid, SIGTSTP);
    EXPECT_TRUE(stopped_in_line_mode());
    sh.enter("bg");
    // In the background it stops again as it reaches for the terminal, which
    // stays as the outer shell has it. Until it has, jobs shows it running
    // (on a busy machine that can take a while), so ask again.
    EXPECT_TRUE(eventually([&] {
        sh.enter("jobs");
        return sh.screen().find("Stopped (tty output)") != std::string::npos;
    }));
    EXPECT_TRUE(stopped_in_line_mode());
    sh.enter("fg");
    back_in_raw_mode_and_relaying();

    sh.enter("exit 4");
    sh.enter("echo status=$?");
    EXPECT_TRUE(sh.shows("status=4"));
}

TEST(Launcher, ChildStartsAtTheTerminalsSizeAndFollowsIt) {
    terminal_setup setup;
    setup.size = {30, 100, 0, 0};
    // A size set after the start would often come after the program's first
    // look; a few rounds make that show.
    for (int round = 0; round < 5; ++round) {
        terminal_session t({fixture, "winsize"}, setup);
        EXPECT_EQ(t.wait_for("\r\n").substr(0, 8), "30 100\r\n");
        EXPECT_EQ(t.finish(), 0);
    }
    terminal_session t({fixture, "winch", "1"}, setup);
    EXPECT_EQ(t.wait_for("\r\n"), "30 100\r\n");
    t.resize(50, 160);
    EXPECT_NE(t.wait_for("50 160\r\n").find("50 160\r\n"), std::string::npos);
    EXPECT_EQ(t.finish(), 0);
}

// Input from a pipe or file that ends: the child gets its end-of-file
// character once its terminal reads lines; a child in raw mode gets none and
// is relayed until it ends.
TEST(Launcher, InputThatEndsEndsTheChildsInput) {
    const struct {
        std::vector<std::string> words;
        std::string input, shown;
        int code;
    } cases[] = {
        {{"/bin/sh"}, "echo h$((1+1))i\n", "h2i", 0},
        {{"/bin/sh"}, "echo x$((2*3))y; exit 3\n", "x6y", 3},
        {{fixture, "cat"}, "no newline", "no newline", 0},
        {{"/bin/sh", "-c", "stty raw; sleep 1; echo done"}, "x", "done", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        terminal_setup setup;
        setup.input = c.input;
        terminal_session t(c.words, setup);
        EXPECT_EQ(t.finish(), c.code);
        EXPECT_NE(t.seen().find(c.shown), std::string::npos) << t.seen();
    }
}

// A terminal left non-blocking by another program: the relay waits for room
// instead of failing, and loses nothing either way.
TEST(Launcher, NonBlockingTerminalLosesNothing) {
    terminal_setup setup;
    setup.nonblocking = true;
    {
        terminal_session t({fixture, "flood", "2000000"}, setup);
        EXPECT_EQ(t.finish(), 0);
        EXPECT_EQ(t.seen().size(), 2000003u);
        EXPECT_EQ(t.seen().substr(t.seen().size() - 3), "END");
    }
    terminal_session t({fixture, "sink", "300000"}, setup);
    t.wait_for("ready\n");
    long sum = 0;
    std::string keys;
    for (int i = 0; i < 300000; ++i) {
        keys += static_cast<char>('a' + i % 26);
        sum += 'a' + i % 26;
    }
    t.type(keys);
    // The child's terminal is raw: its line ends in a bare newline.
    const std::string expected = "got 300000 " + std::to_string(sum) + "\n";
    EXPECT_NE(t.wait_for(expected).find(expected), std::string::npos);
    EXPECT_EQ(t.finish(), 0);
}

// A parent that ignored SIGCHLD passes that on through exec; the launcher
// must still be able to wait for its child.
TEST(Launcher, InheritedIgnoredSigchldIsReset) {
    terminal_setup setup;
    setup.sigchld_ignored = true;
    EXPECT_EQ(terminal_session({"/bin/sh", "-c", "exit 3"}, setup).finish(), 3);
    EXPECT_EQ(terminal_session({fixture, "kill-self", "15"}, setup).finish(), 143);
}

// Starting a child, on both ways of forking it.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

#include <ptypilot/split_command_line.hpp>
#include <ptypilot/which.hpp>

#include "support/child_watch.hpp"
#include "support/helpers.hpp"

using namespace ptypilot;
using testing_support::fixture;
using testing_support::message_of;
using testing_support::read_until_eof;

namespace {

struct how {
    bool native;
};

std::unique_ptr<spawn> start(bool native, const std::string& command, std::vector<std::string> args = {},
                             std::optional<std::string> cwd = std::nullopt,
                             std::optional<env_map> env = std::nullopt) {
    auto s = std::make_unique<spawn>(std::nullopt);
    s->use_native_pty_fork = native;
    s->cwd = std::move(cwd);
    s->env = std::move(env);
    testing_support::make_quick(*s);
    s->_spawn(command, std::move(args));
    return s;
}

std::string output_of(bool native, const std::string& command, std::vector<std::string> args = {},
                      std::optional<std::string> cwd = std::nullopt,
                      std::optional<env_map> env = std::nullopt) {
    auto s = start(native, command, std::move(args), std::move(cwd), std::move(env));
    return read_until_eof(s->child_fd);
}

std::string current_directory() {
    char buf[4096];
    return ::getcwd(buf, sizeof buf) ? buf : "?";
}

// A scratch directory holding `prog`, a link to the fixture.
struct scratch_dir {
    scratch_dir() { (void)::symlink(fixture.c_str(), (path + "/prog").c_str()); }
    const testing_support::scoped_temp_dir dir;
    const std::string path = dir.path();
};

}  // namespace

class Start : public ::testing::TestWithParam<bool> {};

INSTANTIATE_TEST_SUITE_P(BothForks, Start, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "native" : "substitute"; });

TEST_P(Start, RunningSessionState) {
    auto s = start(GetParam(), fixture + " sleep 5");
    EXPECT_TRUE(s->pid);
    EXPECT_GT(*s->pid, 0);
    EXPECT_GE(s->child_fd, 0);
    EXPECT_TRUE(s->isatty());
    EXPECT_FALSE(s->closed);
    EXPECT_FALSE(s->terminated);
    EXPECT_TRUE(s->isalive());
    EXPECT_EQ(s->name, "<" + fixture + " sleep 5>");
    // The parent's side must not leak into children started later.
    EXPECT_TRUE(::fcntl(s->child_fd, F_GETFD) & FD_CLOEXEC);
}

TEST_P(Start, CommandWithoutArgumentsIsSplitAndLookedUp) {
    auto s = start(GetParam(), "sh -c 'echo \"$0|$1\"' 'first word'");
    EXPECT_EQ(s->command, which("sh"));
    ASSERT_TRUE(s->args);
    EXPECT_EQ((*s->args)[0], which("sh"));
    EXPECT_EQ(s->args->size(), 4u);
    EXPECT_NE(read_until_eof(s->child_fd).find("first word|\r\n"), std::string::npos);
}

TEST_P(Start, CommandWithArgumentsIsOneWord) {
    EXPECT_THROW(start(GetParam(), "sh -c", {"true"}), ExceptionPty);
    const std::string out = output_of(GetParam(), fixture, {"args", "a b", "c"});
    EXPECT_EQ(out, fixture + "\r\nargs\r\na b\r\nc\r\n");
}

TEST_P(Start, ChildSeesATerminalOf24By80) {
    EXPECT_EQ(output_of(GetParam(), fixture + " winsize"), "24 80\r\n");
}

TEST_P(Start, ChildHasOnlyTheStandardDescriptors) {
    // Open descriptors without close-on-exec, as a careless caller would.
    int stray[2];
    ASSERT_EQ(::pipe(stray), 0);
    const int high = ::fcntl(stray[0], F_DUPFD, 700);
    for (const auto watch : testing_support::both_watches)
        testing_support::run_with(watch, [&] {
            EXPECT_EQ(output_of(GetParam(), fixture + " fds"), "0 1 2 \r\n")
                << testing_support::name_of(watch);
        });
    ::close(stray[0]);
    ::close(stray[1]);
    ::close(high);
}

TEST_P(Start, StandardStreamsAreTheTerminalWhenTheCallerHasNone) {
    // With 0-2 closed the pty itself lands on them, where keeping its number
    // must still clear close-on-exec.
    const int saved[3] = {::fcntl(0, F_DUPFD_CLOEXEC, 10), ::fcntl(1, F_DUPFD_CLOEXEC, 10),
                          ::fcntl(2, F_DUPFD_CLOEXEC, 10)};
    for (int fd = 0; fd <= 2; ++fd) ::close(fd);
    std::string out;
    int master = -1;  // the session's own side stays off 0-2 as well
    try {
        auto s = start(GetParam(), fixture + " fds");
        master = s->child_fd;
        out = read_until_eof(s->child_fd);
    } catch (const std::exception& e) {
        out = e.what();
    }
    for (int fd = 0; fd <= 2; ++fd) {
        ::dup2(saved[fd], fd);
        ::close(saved[fd]);
    }
    EXPECT_EQ(out, "0 1 2 \r\n");
    EXPECT_GT(master, 2);
}

TEST_P(Start, PtyStaysOutOfOtherThreadsChildren) {
    // Other threads fork and exec all the while; a pty descriptor that exists
    // without close-on-exec for a moment ends up in their children. Two of
    // them catch the shorter window of the substitute start far more often.
    std::atomic<bool> stop{false};
    std::mutex found;
    std::string leaked;
    const auto probe = [&] {
        while (!stop) {
            std::string seen = testing_support::output_of_plain({fixture, "fd-targets"});
            if (seen.find("/dev/ptmx") != std::string::npos || seen.find("/dev/pts/") != std::string::npos) {
                const std::lock_guard lock(found);
                leaked = std::move(seen);
                stop = true;
            }
        }
    };
    std::thread probers[] = {std::thread(probe), std::thread(probe)};
    for (int i = 0; i < 300 && !stop; ++i) {
        auto s = start(GetParam(), fixture + " exit 0");
        s->delayafterclose = 0;
        read_until_eof(s->child_fd);
    }
    stop = true;
    for (auto& t : probers) t.join();
    EXPECT_EQ(leaked, "");
}

TEST_P(Start, ChildIgnoresHangupOnlyAndStartsUnblocked) {
    // Whatever the caller did with its own signals stays out of the child.
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGINT, SIG_IGN);
    sigset_t block;
    ::sigemptyset(&block);
    ::sigaddset(&block, SIGUSR1);
    ::sigprocmask(SIG_BLOCK, &block, nullptr);
    const std::string out = output_of(GetParam(), fixture + " dispositions");
    ::sigprocmask(SIG_UNBLOCK, &block, nullptr);
    ::signal(SIGPIPE, SIG_DFL);
    ::signal(SIGINT, SIG_DFL);
    EXPECT_EQ(out, "HUP=ign PIPE=dfl INT=dfl MASK=empty\r\n");
    // Asked, SIGHUP starts at its default too, for a child that traps it.
    spawn s(std::nullopt, {.ignore_sighup = false});
    s.use_native_pty_fork = GetParam();
    s._spawn(fixture + " dispositions");
    EXPECT_EQ(read_until_eof(s.child_fd), "HUP=dfl PIPE=dfl INT=dfl MASK=empty\r\n");
}

// Out of descriptors at each step of the start: a std::system_error with
// EMFILE (the start's own text kept), nothing left open, no child left.
TEST_P(Start, OutOfDescriptorsIsASystemErrorThatLeavesNothing) {
    struct limit_restored {
        rlimit saved{};
        limit_restored() { ::getrlimit(RLIMIT_NOFILE, &saved); }
        ~limit_restored() { ::setrlimit(RLIMIT_NOFILE, &saved); }
    } limit;
    // The sanitized build checks each virtual call's target once, by writing
    // to a pipe of its own; a start with descriptors to spare gets those
    // checks done before none are left.
    {
        auto warm = start(GetParam(), fixture + " print ok");
        EXPECT_EQ(read_until_eof(warm->child_fd), "ok");
    }
    const int before = testing_support::open_fd_count();
    std::vector<std::string> texts;
    for (int spare = 0; spare <= 5; ++spare) {
        rlimit low = limit.saved;
        low.rlim_cur = static_cast<rlim_t>(before + spare);
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
        try {
            auto s = start(GetParam(), fixture + " print ok");
            EXPECT_EQ(read_until_eof(s->child_fd), "ok");
        } catch (const std::system_error& e) {
            // So does the check of the call on e.
            ::setrlimit(RLIMIT_NOFILE, &limit.saved);
            EXPECT_EQ(e.code().value(), EMFILE) << e.what();
            texts.emplace_back(e.what());
        }
        ::setrlimit(RLIMIT_NOFILE, &limit.saved);
        EXPECT_EQ(testing_support::open_fd_count(), before);
        EXPECT_TRUE(::waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD);
    }
    const char* kept = GetParam() ? "Error! pty.fork() failed: [Errno 24] Too many open files"
                                  : "Error! Could not open pty with os.openpty().";
    EXPECT_NE(std::find(texts.begin(), texts.end(), kept), texts.end());
}

TEST_P(Start, EnvironmentIsExactlyTheGivenMap) {
    EXPECT_EQ(output_of(GetParam(), fixture + " env", {}, std::nullopt, env_map{}), "");
    EXPECT_EQ(output_of(GetParam(), fixture + " env", {}, std::nullopt, env_map{{"A", "1"}, {"B", "x=y"}}),
              "A=1\r\nB=x=y\r\n");
    testing_support::scoped_env marker("PTYPILOT_TEST_MARKER", "inherited");
    EXPECT_NE(output_of(GetParam(), fixture + " env").find("PTYPILOT_TEST_MARKER=inherited"),
              std::string::npos);
    // The caller's environment with changes over it: one changed, one added,
    // every other name kept as the caller has it.
    const env_map env = environment_with({{"PTYPILOT_TEST_MARKER", "changed"}, {"PTYPILOT_TEST_ADDED", "1"}});
    EXPECT_EQ(env.at("PTYPILOT_TEST_MARKER"), "changed");
    EXPECT_EQ(env.at("PTYPILOT_TEST_ADDED"), "1");
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string name(*e, static_cast<std::size_t>(std::strchr(*e, '=') - *e));
        if (name.rfind("PTYPILOT_TEST_", 0) != 0) {
            EXPECT_EQ(env.at(name), ::getenv(name.c_str())) << name;
        }
    }
    const std::string out = output_of(GetParam(), fixture + " env", {}, std::nullopt, env);
    EXPECT_NE(out.find("PTYPILOT_TEST_MARKER=changed\r\n"), std::string::npos);
    EXPECT_EQ(out.find("PTYPILOT_TEST_MARKER=inherited"), std::string::npos);
}

TEST_P(Start, WorkingDirectoryIsTheChildsOnly) {
    const std::string caller = current_directory();
    EXPECT_EQ(output_of(GetParam(), fixture + " cwd", {}, std::string("/usr")), "/usr\r\n");
    EXPECT_EQ(current_directory(), caller);
}

TEST_P(Start, StartsFromTwoThreadsKeepTheirOwnDirectories) {
    // A directory entered by the calling process is shared by all its
    // threads: the other thread's child would start in it.
    testing_support::scoped_cwd keep;
    std::atomic<int> astray{0};
    const auto starts = [&](const std::string& dir) {
        for (int i = 0; i < 100; ++i)
            if (output_of(GetParam(), fixture + " cwd", {}, dir) != dir + "\r\n") ++astray;
    };
    std::thread one(starts, "/usr");
    std::thread two(starts, "/tmp");
    one.join();
    two.join();
    EXPECT_EQ(astray, 0);
}

TEST_P(Start, RelativeProgramIsFoundFromTheNewDirectory) {
    const scratch_dir dir;
    const std::string caller = current_directory();
    struct lookup {
        const char* path;  // PATH while looking up; null leaves it alone
        const char* command;
    };
    for (const auto& [path, command] : {lookup{nullptr, "./prog print hi"}, lookup{".", "prog print hi"},
                                        lookup{":/nonexistent", "prog print hi"}}) {
        SCOPED_TRACE(command);
        std::optional<testing_support::scoped_env> env;
        if (path) env.emplace("PATH", path);
        EXPECT_EQ(output_of(GetParam(), command, {}, dir.path), "hi");
    }
    EXPECT_EQ(current_directory(), caller);
}

TEST_P(Start, DirectoryThatCannotBeEnteredWarnsAndGoesOn) {
    const scratch_dir dir;
    for (const std::string& cwd : {std::string("/nonexistent/dir"), dir.path + "/prog"}) {
        SCOPED_TRACE(cwd);
        auto s = std::make_unique<spawn>(std::nullopt);
        std::ostringstream out;
        s->stdout_ = &out;
        s->use_native_pty_fork = GetParam();
        s->cwd = cwd;
        s->_spawn(fixture + " cwd");
        EXPECT_EQ(out.str(), "Warning: Failed to change working directory\n");
        EXPECT_EQ(read_until_eof(s->child_fd), current_directory() + "\r\n");
    }
}

TEST(StartRefuses, BytesThatWouldCutOrBendAWord) {
    using namespace std::string_literals;
    struct refused {
        std::string command;
        std::vector<std::string> args;
        std::optional<std::string> cwd;
        std::optional<env_map> env;
        std::string message;
    };
    const refused cases[] = {
        {fixture + "\0 print evil"s, {}, {}, {}, "ptypilot: the command holds a NUL byte"},
        {"/bin/echo\0evil"s, {"x"}, {}, {}, "ptypilot: the command holds a NUL byte"},
        {fixture, {"print\0"s}, {}, {}, "ptypilot: argument 1 holds a NUL byte"},
        {fixture, {"print", "a\0b"s}, {}, {}, "ptypilot: argument 2 holds a NUL byte"},
        {fixture + " cwd", {}, "/tmp\0/nonexistent"s, {}, "ptypilot: the working directory holds a NUL byte"},
        {fixture + " env", {}, {}, env_map{{"A=B", "C"}}, "ptypilot: environment name \"A=B\" holds '='"},
        {fixture + " env", {}, {}, env_map{{"", "x"}}, "ptypilot: an environment name is empty"},
        {fixture + " env", {}, {}, env_map{{"A\0B"s, "1"}}, "ptypilot: an environment name holds a NUL byte"},
        {fixture + " env",
         {},
         {},
         env_map{{"A", "1\0 2"s}},
         "ptypilot: the value of environment name \"A\" holds a NUL byte"},
    };
    const std::string caller = current_directory();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        auto s = std::make_unique<spawn>(std::nullopt);
        s->cwd = c.cwd;
        s->env = c.env;
        try {
            s->_spawn(c.command, c.args);
            ADD_FAILURE() << "started";
        } catch (const std::invalid_argument& e) {
            EXPECT_EQ(e.what(), c.message);
        }
        EXPECT_FALSE(s->pid);
        EXPECT_FALSE(s->command);
        EXPECT_EQ(current_directory(), caller);
    }
}

TEST_P(Start, ProgramNotFound) {
    EXPECT_EQ(message_of<ExceptionPty>([&] { start(GetParam(), "no-such-program-here"); }),
              "The command was not found or was not executable: no-such-program-here.");
}

TEST_P(Start, EmptyCommandLine) { EXPECT_THROW(start(GetParam(), ""), std::out_of_range); }

TEST_P(Start, ExecFailureIsThrownInTheCallerAndLeavesNothingBehind) {
    const int fds_before = testing_support::open_fd_count();
    // A directory passes the lookup's X_OK test but cannot be executed.
    EXPECT_EQ(message_of<std::system_error>([&] { start(GetParam(), "/tmp", {"x"}); }),
              "[Errno 13] Permission denied");
    // A file that is executable but no program the kernel can load.
    char path[] = "/tmp/ptypilot-noexec-XXXXXX";
    const int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd,
                      "\x7f"
                      "ELF garbage",
                      12),
              12);
    ::close(fd);
    ::chmod(path, 0755);
    EXPECT_EQ(message_of<std::system_error>([&] { start(GetParam(), path, {"x"}); }),
              "[Errno 8] Exec format error");
    ::unlink(path);
    EXPECT_EQ(testing_support::open_fd_count(), fds_before);
    EXPECT_FALSE(testing_support::has_zombie_child());
}

TEST_P(Start, ExecFailureWithStandardStreamsClosed) {
    // The report pipe must not land on 0-2, which the child replaces.
    const int saved_in = ::dup(0);
    ::close(0);
    bool thrown = false;
    try {
        start(GetParam(), "/tmp", {"x"});
    } catch (const std::system_error& e) {
        thrown = e.code().value() == EACCES;
    }
    ::dup2(saved_in, 0);
    ::close(saved_in);
    EXPECT_TRUE(thrown);
}

TEST_P(Start, ASessionStartsOnlyOnce) {
    auto s = start(GetParam(), fixture + " sleep 5");
    const std::string name = s->name;
    const auto args = s->args;
    EXPECT_THROW(s->_spawn("/bin/echo other"), std::logic_error);
    // It still says what it runs.
    EXPECT_EQ(s->command, fixture);
    EXPECT_EQ(s->args, args);
    EXPECT_EQ(s->name, name);
}

TEST(StartSubstitute, MakesTheTerminalControlling) {
    // /dev/tty opens only for a process with a controlling terminal.
    const std::string out = output_of(false, "sh -c 'echo x > /dev/tty && echo ok'");
    EXPECT_EQ(out, "x\r\nok\r\n");
}

// Shared bits of the session tests.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include <ptypilot/spawn.hpp>

namespace testing_support {

inline const std::string fixture = PTYPILOT_FIXTURE;
inline const std::string launcher = PTYPILOT_LAUNCHER;

inline int open_fd_count() {
    int n = 0;
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (dirent* e = ::readdir(d))
            if (e->d_name[0] != '.') ++n;
        ::closedir(d);
    }
    return n - 1;  // the directory's own descriptor
}

// How long `f` took, in seconds.
inline double seconds_of(const std::function<void()>& f) {
    const auto t0 = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Peak resident size so far, in KiB.
inline long peak_rss_kib() {
    rusage ru{};
    ::getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}

// True if this process has a child that has ended but was not reaped.
inline bool has_zombie_child() {
    siginfo_t info{};
    info.si_pid = 0;
    if (::waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) != 0) return false;
    return info.si_pid != 0;
}

// Waits, without reaping, until child `pid` has reached `state` (WEXITED or
// WSTOPPED); false if `limit_s` passes first.
inline bool await_child(pid_t pid, int state, double limit_s = 20.0) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(limit_s);
    while (std::chrono::steady_clock::now() < end) {
        siginfo_t info{};
        if (::waitid(P_PID, static_cast<id_t>(pid), &info, state | WNOHANG | WNOWAIT) == 0 &&
            info.si_pid == pid)
            return true;
        ::usleep(5000);
    }
    return false;
}

// Everything readable on `fd` until EOF/EIO or `limit_s` seconds pass.
inline std::string read_until_eof(int fd, double limit_s = 20.0) {
    std::string out;
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(limit_s);
    char buf[65536];
    while (std::chrono::steady_clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
}

// Reads `fd` until `needle` shows up (or `limit_s` passes); returns all read.
inline std::string read_until(int fd, const std::string& needle, double limit_s = 20.0) {
    std::string out;
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(limit_s);
    char buf[4096];
    while (out.find(needle) == std::string::npos && std::chrono::steady_clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
}

// Runs `argv` without a terminal (standard input /dev/null, output and error
// into a pipe) and returns what it wrote; used as a probe from other threads.
inline std::string output_of_plain(const std::vector<std::string>& argv) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return "pipe2 failed";
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    ::posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    ::posix_spawn_file_actions_adddup2(&actions, out[1], 2);
    std::vector<char*> words;
    for (const auto& w : argv) words.push_back(const_cast<char*>(w.c_str()));
    words.push_back(nullptr);
    pid_t pid = -1;
    const int err = ::posix_spawn(&pid, words[0], &actions, nullptr, words.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    std::string text = err == 0 ? read_until_eof(out[0]) : "posix_spawn failed";
    ::close(out[0]);
    if (err == 0) ::waitpid(pid, nullptr, 0);
    return text;
}

// Waits, without reading, until `fd` has something to read.
inline bool wait_readable(int fd, double limit_s = 20.0) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, static_cast<int>(limit_s * 1000)) == 1;
}

// Sets an environment variable for the life of the object.
class scoped_env {
public:
    scoped_env(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value != nullptr)
            ::setenv(name, value, 1);
        else
            ::unsetenv(name);
    }
    ~scoped_env() {
        if (old_)
            ::setenv(name_.c_str(), old_->c_str(), 1);
        else
            ::unsetenv(name_.c_str());
    }

private:
    std::string name_;
    std::optional<std::string> old_;
};

// Restores the working directory the test started in.
class scoped_cwd {
public:
    scoped_cwd() {
        char buf[4096];
        dir_ = ::getcwd(buf, sizeof buf) ? buf : "/";
    }
    ~scoped_cwd() { (void)::chdir(dir_.c_str()); }

private:
    std::string dir_;
};

// A session with short teardown delays, for tests that close many children.
// A stubborn child costs three whole pauses; the one after SIGKILL must
// still outlast a busy machine's delay in running the dying child.
inline void make_quick(ptypilot::spawn& s) {
    s.delayafterclose = 0.01;
    s.delayafterterminate = 0.5;
}

// A started session with short teardown delays and no pause before sends.
inline std::unique_ptr<ptypilot::spawn> start_quick(const std::string& cmd, double timeout = 10.0) {
    auto s = std::make_unique<ptypilot::spawn>(cmd, std::vector<std::string>{}, timeout);
    make_quick(*s);
    s->delaybeforesend = 0;
    return s;
}

// The same for a program and its argument words, which may hold any bytes.
inline std::unique_ptr<ptypilot::spawn> start_quick(const std::string& program, std::vector<std::string> args,
                                                    double timeout = 10.0) {
    auto s = std::make_unique<ptypilot::spawn>(program, std::move(args), timeout);
    make_quick(*s);
    s->delaybeforesend = 0;
    return s;
}

// Whether an expect outcome field holds sentinel `k`.
inline bool is(const ptypilot::after_value& v, ptypilot::sentinel k) {
    const auto* p = std::get_if<ptypilot::sentinel>(&v);
    return p && *p == k;
}
inline bool is(const ptypilot::match_value& v, ptypilot::sentinel k) {
    const auto* p = std::get_if<ptypilot::sentinel>(&v);
    return p && *p == k;
}

// A directory of its own under /tmp, removed with everything in it.
class scoped_temp_dir {
public:
    scoped_temp_dir() {
        char tmpl[] = "/tmp/ptypilot-test-XXXXXX";
        if (::mkdtemp(tmpl) != nullptr) path_ = tmpl;
    }
    ~scoped_temp_dir() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    scoped_temp_dir(const scoped_temp_dir&) = delete;
    scoped_temp_dir& operator=(const scoped_temp_dir&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// The message of the E that `f` throws; a failure of the test (and "") if it
// throws nothing. Anything else it throws fails the test as it propagates.
template <class E, class F>
std::string message_of(F&& f) {
    try {
        f();
    } catch (const E& e) {
        return e.what();
    }
    ADD_FAILURE() << "nothing was thrown";
    return "";
}

// A bound for a loop that waits on something the code under test should
// bring about: a fault then fails the test instead of spinning.
class time_limit {
public:
    explicit time_limit(double seconds = 20.0)
        : end_(std::chrono::steady_clock::now() +
               std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                   std::chrono::duration<double>(seconds))) {}
    bool passed() const { return std::chrono::steady_clock::now() >= end_; }

private:
    std::chrono::steady_clock::time_point end_;
};

// Kills `pid` unless destroyed within `seconds`, so that a call that waits
// for the child's end fails the test instead of hanging it.
class kill_after {
public:
    kill_after(pid_t pid, double seconds)
        : thread_([this, pid, seconds] {
              std::unique_lock lock(mutex_);
              if (!woken_.wait_for(lock, std::chrono::duration<double>(seconds), [this] { return done_; }))
                  ::kill(pid, SIGKILL);
          }) {}
    ~kill_after() {
        {
            std::lock_guard lock(mutex_);
            done_ = true;
        }
        woken_.notify_one();
        thread_.join();
    }
    kill_after(const kill_after&) = delete;
    kill_after& operator=(const kill_after&) = delete;

private:
    std::mutex mutex_;
    std::condition_variable woken_;
    bool done_ = false;
    std::thread thread_;  // last: it uses the members above
};

// A terminal of the test's own standing in for the user's: `slave` is what
// the session reads and writes, `master` the keyboard and the screen.
class user_terminal {
public:
    explicit user_terminal(std::optional<winsize> size = std::nullopt) {
        winsize ws = size.value_or(winsize{});
        if (::openpty(&master, &slave, nullptr, nullptr, size ? &ws : nullptr) != 0) return;
        ::fcntl(master, F_SETFD, FD_CLOEXEC);
        ::fcntl(slave, F_SETFD, FD_CLOEXEC);
    }
    ~user_terminal() {
        if (master >= 0) ::close(master);
        if (slave >= 0) ::close(slave);
    }
    user_terminal(const user_terminal&) = delete;
    user_terminal& operator=(const user_terminal&) = delete;
    bool ok() const { return master >= 0 && slave >= 0; }

    int master = -1;
    int slave = -1;
};

}  // namespace testing_support

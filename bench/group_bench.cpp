// Benchmarks of the session group, each beside what it is measured against:
//
//   build/bench/ptypilot_group_bench [idle [N]] [sockets [N]] [ptys [N]]
//
// idle:    one active session among N idle ones (1000), its round trip
//          against a lone session's expect_loop();
// sockets: N descriptor sessions (10000) over connected Unix sockets, all
//          active, an echo at the other end in a helper process; CPU per
//          round trip against a plain epoll loop over the same sockets;
// ptys:    N pty sessions (4000) in one thread: all start, 20 round trips
//          each, close; the start time per session against a lone start,
//          and the descriptors and children left. Each start, lone or among
//          many, is timed on its own once the child before it has come up, so
//          that the children's own loading is not taken for the start's cost.
// Only this program raises its soft limit on descriptors; the library never does.
#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <ptypilot/ptypilot.hpp>

namespace {

double last_user_per_trip = 0;  // of the last loop measured

using clock_type = std::chrono::steady_clock;
const std::string fixture = PTYPILOT_FIXTURE;

double since(clock_type::time_point t0) {
    return std::chrono::duration<double>(clock_type::now() - t0).count();
}

double cpu_seconds() {
    rusage ru{};
    ::getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) * 1e-6;
}

double user_seconds() {
    rusage ru{};
    ::getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec) + static_cast<double>(ru.ru_utime.tv_usec) * 1e-6;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// The median of the last hundred starts: those with the most sessions open,
// where a cost that grows with them shows most.
double median_of_last_hundred(const std::vector<double>& v) {
    return median(std::vector<double>(v.end() - std::min<std::ptrdiff_t>(100, std::ssize(v)), v.end()));
}

int open_descriptors() {
    int n = 0;
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (dirent* e = ::readdir(d))
            if (e->d_name[0] != '.') ++n;
        ::closedir(d);
    }
    return n - 1;
}

bool zombie_left() {
    siginfo_t info{};
    if (::waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) != 0) return false;  // no child at all
    return info.si_pid != 0;
}

void raise_descriptor_limit() {
    rlimit lim{};
    ::getrlimit(RLIMIT_NOFILE, &lim);
    lim.rlim_cur = lim.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &lim);
}

void verdict(const char* what, double ratio, double target) {
    std::printf("  %-44s ratio %5.2f   target <= %.2f %s\n", what, ratio, target,
                ratio <= target ? "met" : "MISSED");
    std::fflush(stdout);
}

std::unique_ptr<ptypilot::spawn> cat_session() {
    auto s = std::make_unique<ptypilot::spawn>(fixture, std::vector<std::string>{"cat"});
    s->delaybeforesend = 0;
    s->delayafterread = 0;
    s->delayafterclose = 0.01;
    return s;
}

// One session's round trips (send, wait for the answer): median time and
// CPU per trip. `trip` sends and waits.
template <class Trip>
std::pair<double, double> trips(int n, Trip&& trip) {
    std::vector<double> t;
    const double cpu0 = cpu_seconds();
    for (int i = 0; i < n; ++i) {
        const auto t0 = clock_type::now();
        trip();
        t.push_back(since(t0));
    }
    return {median(t), (cpu_seconds() - cpu0) / n};
}

// The lone session and the group take turns, a batch of trips each, so
// that the load of a shared machine weighs on both alike.
void bench_idle(int idle) {
    const int batches = 20, batch = 100;
    auto lone = cat_session();
    lone->setecho(false);
    auto lone_ping = std::make_shared<ptypilot::searcher_re>(lone->compile_pattern_list("ping\r\n"));
    std::vector<std::unique_ptr<ptypilot::spawn>> sessions;
    ptypilot::session_group group;
    for (int i = 0; i <= idle; ++i) {
        sessions.push_back(cat_session());
        sessions.back()->setecho(false);
        group.add(static_cast<std::uint64_t>(i), *sessions.back(), "ping\r\n", std::nullopt);
    }
    ptypilot::spawn& active = *sessions.front();
    std::vector<double> lone_t, lone_cpu, group_t, group_cpu;
    for (int b = 0; b < batches; ++b) {
        const auto [lt, lc] = trips(batch, [&] {
            lone->sendline("ping");
            lone->expect_loop(lone_ping);
        });
        const auto [gt, gc] = trips(batch, [&] {
            active.sendline("ping");
            if (group.wait(10.0).size() != 1) std::printf("  (no answer)\n");
            group.rearm(0, std::nullopt);
        });
        lone_t.push_back(lt), lone_cpu.push_back(lc), group_t.push_back(gt), group_cpu.push_back(gc);
    }
    std::printf(
        "group: 1 active + %d idle     trip %7.1f us, CPU %6.1f us;  lone session %7.1f us, CPU %6.1f us\n",
        idle, median(group_t) * 1e6, median(group_cpu) * 1e6, median(lone_t) * 1e6, median(lone_cpu) * 1e6);
    verdict("round trip, group / lone", median(group_t) / median(lone_t), 2.0);
    lone->close();
    for (auto& s : sessions) s->close();
}

// Connects `n` Unix stream sockets to an echo in a helper process (each
// side holds one end of each: the descriptor limit counts per process).
pid_t echo_helper(int n, std::vector<int>& ends) {
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string name = "ptypilot-group-bench-" + std::to_string(::getpid());
    std::memcpy(addr.sun_path + 1, name.data(), name.size());  // abstract: nothing to clean up
    const auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    if (::bind(listener, reinterpret_cast<sockaddr*>(&addr), len) != 0 || ::listen(listener, 4096) != 0) {
        std::perror("listen");
        std::exit(1);
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int ep = ::epoll_create1(EPOLL_CLOEXEC);
        epoll_event ev{EPOLLIN, {}};
        ev.data.fd = listener;
        ::epoll_ctl(ep, EPOLL_CTL_ADD, listener, &ev);
        std::vector<epoll_event> events(4096);
        char buf[4096];
        for (;;) {
            const int got = ::epoll_wait(ep, events.data(), static_cast<int>(events.size()), -1);
            for (int k = 0; k < got; ++k) {
                const int fd = events[static_cast<std::size_t>(k)].data.fd;
                if (fd == listener) {
                    const int c = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
                    if (c < 0) continue;
                    epoll_event cev{EPOLLIN, {}};
                    cev.data.fd = c;
                    ::epoll_ctl(ep, EPOLL_CTL_ADD, c, &cev);
                    continue;
                }
                const ssize_t r = ::read(fd, buf, sizeof buf);
                if (r <= 0) {
                    ::close(fd);
                    continue;
                }
                if (::write(fd, buf, static_cast<std::size_t>(r)) != r) ::_exit(3);
            }
        }
    }
    for (int i = 0; i < n; ++i) {
        const int c = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (c < 0 || ::connect(c, reinterpret_cast<sockaddr*>(&addr), len) != 0) {
            std::perror("connect");
            std::exit(1);
        }
        ends.push_back(c);
    }
    ::close(listener);
    return pid;
}

// The least a program can do: epoll, read, count, write again.
double plain_loop(const std::vector<int>& fds, int trips_each) {
    const int ep = ::epoll_create1(EPOLL_CLOEXEC);
    for (std::size_t i = 0; i < fds.size(); ++i) {
        epoll_event ev{EPOLLIN, {}};
        ev.data.u64 = i;
        ::epoll_ctl(ep, EPOLL_CTL_ADD, fds[i], &ev);
    }
    std::vector<int> left(fds.size(), trips_each);
    std::vector<epoll_event> events(4096);
    char buf[2000];
    const double cpu0 = cpu_seconds(), user0 = user_seconds();
    for (const int fd : fds)
        if (::write(fd, "ping\n", 5) != 5) std::exit(4);
    std::size_t done = 0, count = 0;
    while (done < fds.size()) {
        const int got = ::epoll_wait(ep, events.data(), static_cast<int>(events.size()), -1);
        for (int k = 0; k < got; ++k) {
            const auto i = static_cast<std::size_t>(events[static_cast<std::size_t>(k)].data.u64);
            if (::read(fds[i], buf, sizeof buf) != 5 || std::memcmp(buf, "ping\n", 5) != 0) std::exit(5);
            ++count;
            if (--left[i] > 0) {
                if (::write(fds[i], "ping\n", 5) != 5) std::exit(4);
            } else {
                ++done;
            }
        }
    }
    const double cpu = cpu_seconds() - cpu0;
    last_user_per_trip = (user_seconds() - user0) / static_cast<double>(count);
    ::close(ep);
    return cpu / static_cast<double>(count);
}

double group_loop(ptypilot::session_group& group, std::vector<std::unique_ptr<ptypilot::spawn>>& sessions,
                  int trips_each) {
    std::vector<int> left(sessions.size(), trips_each);
    const double cpu0 = cpu_seconds(), user0 = user_seconds();
    for (std::size_t i = 0; i < sessions.size(); ++i) {
        sessions[i]->send("ping\n");
        group.rearm(i);
    }
    std::size_t count = 0;
    while (group.waiting() > 0) {
        for (const auto& o : group.wait(30.0)) {
            if (o.status != ptypilot::group_status::matched) std::exit(6);
            ++count;
            if (--left[o.key] > 0) {
                o.session->send("ping\n");
                group.rearm(o.key);
            }
        }
    }
    last_user_per_trip = (user_seconds() - user0) / static_cast<double>(count);
    return (cpu_seconds() - cpu0) / static_cast<double>(count);
}

void bench_sockets(int n) {
    const int trips_each = 20;
    std::vector<int> ends;
    const pid_t helper = echo_helper(n, ends);
    std::vector<std::unique_ptr<ptypilot::spawn>> sessions;
    ptypilot::session_group group;
    for (std::size_t i = 0; i < ends.size(); ++i) {
        sessions.push_back(std::make_unique<ptypilot::spawn>(ptypilot::spawn::from_fd(
            ends[i], {.timeout = 30.0, .delaybeforesend = 0.0}, ptypilot::descriptor_close::leave)));
        group.add(i, *sessions.back(), "ping\n");
    }
    // Each pair of loops runs back to back, so that the drift of a shared
    // machine weighs on both alike: the verdict is the median pair's ratio.
    std::vector<double> plain, ours, plain_user, ours_user, ratios;
    for (int rep = 0; rep < 7; ++rep) {
        plain.push_back(plain_loop(ends, trips_each));
        plain_user.push_back(last_user_per_trip);
        ours.push_back(group_loop(group, sessions, trips_each));
        ours_user.push_back(last_user_per_trip);
        ratios.push_back(ours.back() / plain.back());
    }
    std::printf(
        "group: %d descriptor sessions   CPU per trip %6.2f us (user %5.2f);  plain epoll loop %6.2f us "
        "(user %5.2f)\n",
        n, median(ours) * 1e6, median(ours_user) * 1e6, median(plain) * 1e6, median(plain_user) * 1e6);
    verdict("CPU per round trip, group / plain epoll", median(ratios), 1.3);
    sessions.clear();
    for (const int fd : ends) ::close(fd);
    ::kill(helper, SIGKILL);
    ::waitpid(helper, nullptr, 0);
}

// Waits, untimed, until the child of a session has come up: cat has
// answered a line (the terminal's echo alone comes without the child).
void come_up(ptypilot::spawn& s) {
    s.sendline("up");
    s.expect_exact("up\r\nup\r\n");
}

void come_up(int master) {
    if (::write(master, "up\n", 3) != 3) std::exit(9);
    std::string seen;
    char buf[64];
    while (seen.find("up\r\nup\r\n") == std::string::npos) {
        const ssize_t n = ::read(master, buf, sizeof buf);
        if (n <= 0) std::exit(10);
        seen.append(buf, static_cast<std::size_t>(n));
    }
}

// The raw side of a start: forkpty, exec, and the wait until the exec
// happened (a close-on-exec pipe closes), as the session's start waits.
double raw_start(int* master) {
    const auto t0 = clock_type::now();
    int p[2];
    if (::pipe2(p, O_CLOEXEC) != 0) std::exit(7);
    const pid_t pid = ::forkpty(master, nullptr, nullptr, nullptr);
    if (pid == 0) {
        ::execl(fixture.c_str(), fixture.c_str(), "cat", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(p[1]);
    char c = 0;
    if (::read(p[0], &c, 1) != 0) std::exit(8);
    ::close(p[0]);
    ::fcntl(*master, F_SETFD, FD_CLOEXEC);
    return since(t0);
}

// forkpty starts among `n` children kept open, against one started alone.
void raw_starts(int n) {
    std::vector<double> lone;
    for (int i = 0; i < 50; ++i) {
        int m = -1;
        lone.push_back(raw_start(&m));
        come_up(m);
        ::close(m);
        ::wait(nullptr);
    }
    std::vector<int> masters;
    std::vector<double> among;
    for (int i = 0; i < n; ++i) {
        int m = -1;
        among.push_back(raw_start(&m));
        come_up(m);
        masters.push_back(m);
    }
    for (const int m : masters) ::close(m);
    for (int i = 0; i < n; ++i) ::wait(nullptr);
    const double last_starts = median_of_last_hundred(among);
    std::printf(
        "  raw forkpty: start %6.0f us median among %d, the last hundred %6.0f us (alone %6.0f us): "
        "ratio %.2f\n",
        median(among) * 1e6, n, last_starts * 1e6, median(lone) * 1e6, last_starts / median(lone));
}

void bench_ptys(int n) {
    const int trips_each = 20;
    const int fds_before = open_descriptors();
    // Lone starts before and after the many, since a shared machine drifts.
    // The caller's own CPU time per start beside the wall time: the child's
    // side, and where the system places it, is in the wall time alone.
    std::vector<double> lone, lone_cpu;
    const auto lone_starts = [&lone, &lone_cpu] {
        for (int i = 0; i < 50; ++i) {
            const auto t0 = clock_type::now();
            const double c0 = cpu_seconds();
            auto s = cat_session();
            lone_cpu.push_back(cpu_seconds() - c0);
            lone.push_back(since(t0));
            come_up(*s);
            s->close(true);
        }
    };
    lone_starts();
    std::vector<std::unique_ptr<ptypilot::spawn>> sessions;
    auto kept = std::make_unique<ptypilot::session_group>();
    ptypilot::session_group& group = *kept;
    std::vector<double> among, among_cpu;
    for (int i = 0; i < n; ++i) {
        const auto t0 = clock_type::now();
        const double c0 = cpu_seconds();
        sessions.push_back(cat_session());
        among_cpu.push_back(cpu_seconds() - c0);
        among.push_back(since(t0));
        come_up(*sessions.back());
        group.add(static_cast<std::uint64_t>(i), *sessions.back(), "ping\r\n");
    }
    const double start_each = median(among);
    const double last_starts = median_of_last_hundred(among);
    std::printf("  started %d sessions: %.0f us median, the last hundred %.0f us\n", n, start_each * 1e6,
                last_starts * 1e6);
    std::fflush(stdout);
    for (auto& s : sessions) s->setecho(false);
    std::vector<int> left(sessions.size(), trips_each);
    const double cpu0 = cpu_seconds();
    const auto t1 = clock_type::now();
    for (auto& s : sessions) s->sendline("ping");
    std::size_t count = 0, failed = 0;
    while (group.waiting() > 0) {
        for (const auto& o : group.wait(60.0)) {
            ++count;
            if (o.status != ptypilot::group_status::matched) {
                ++failed;
                continue;
            }
            if (--left[o.key] > 0) {
                o.session->sendline("ping");
                group.rearm(o.key);
            }
        }
    }
    const double wall = since(t1), cpu = cpu_seconds() - cpu0;
    const auto t2 = clock_type::now();
    std::printf("  %zu trips: %.1f s\n", count, wall);
    std::fflush(stdout);
    // Forced: on a loaded machine a child may take longer to go than the
    // polite signals wait.
    for (auto& s : sessions) s->close(true);
    const double close_each = since(t2) / n;
    kept.reset();
    sessions.clear();
    lone_starts();
    std::printf(
        "group: %d pty sessions   start %6.0f us median (lone %6.0f us); %zu trips (%zu failed), CPU %5.1f "
        "us/trip, %7.0f trips/s; close %6.0f us each\n",
        n, start_each * 1e6, median(lone) * 1e6, count, failed, cpu / static_cast<double>(count) * 1e6,
        static_cast<double>(count) / wall, close_each * 1e6);
    std::printf("  the caller's CPU per start: the last hundred %.0f us, lone %.0f us\n",
                median_of_last_hundred(among_cpu) * 1e6, median(lone_cpu) * 1e6);
    std::printf("  left behind: %d descriptors, %s\n", open_descriptors() - fds_before,
                zombie_left() ? "a zombie" : "no zombie");
    verdict("start with the most open, among many / lone", last_starts / median(lone), 1.3);
    raw_starts(n);
}

}  // namespace

int main(int argc, char** argv) {
    raise_descriptor_limit();
    const std::vector<std::string> args(argv + 1, argv + argc);
    auto count_after = [&](std::size_t i, int fallback) {
        return i + 1 < args.size() && std::isdigit(static_cast<unsigned char>(args[i + 1][0]))
                   ? std::atoi(args[i + 1].c_str())
                   : fallback;
    };
    const bool all = args.empty();
    for (std::size_t i = 0; i < args.size() || (all && i < 3); ++i) {
        const std::string what = all ? (i == 0 ? "idle" : i == 1 ? "sockets" : "ptys") : args[i];
        if (what == "idle") bench_idle(all ? 1000 : count_after(i, 1000));
        if (what == "sockets") bench_sockets(all ? 10000 : count_after(i, 10000));
        if (what == "ptys") bench_ptys(all ? 4000 : count_after(i, 4000));
    }
    return 0;
}

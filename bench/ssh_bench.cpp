// 200 sessions to the local sshd from one thread, over SSH channels, beside
// what users do today: 200 ssh client processes, each under a pty of its
// own. Each session runs `cat`; every session keeps one round trip in flight,
// all waited on by one expect_many. Reported: the trip's median and 99th
// percentile, the CPU per trip (this process, and the ssh clients for the
// second way), and the memory the sessions take (resident and proportional
// set size, this process's growth plus the clients').
//
//   ssh_bench [sessions [trips-each]]
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <ptypilot/ptypilot.hpp>

#include "ssh/sshd_server.hpp"

namespace {

using clock_type = std::chrono::steady_clock;

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[static_cast<std::size_t>(p * static_cast<double>(v.size() - 1))];
}

// Kernel-counted CPU seconds of one process (user + system).
double cpu_of(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(in, line);
    unsigned long user = 0, sys = 0;
    std::sscanf(line.c_str() + line.rfind(')') + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu",
                &user, &sys);
    return static_cast<double>(user + sys) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// Resident and proportional set size of one process, KiB.
std::pair<long, long> memory_of(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/smaps_rollup");
    long rss = 0, pss = 0;
    for (std::string line; std::getline(in, line);) {
        std::sscanf(line.c_str(), "Rss: %ld", &rss);
        std::sscanf(line.c_str(), "Pss: %ld", &pss);
    }
    return {rss, pss};
}

struct way {
    const char* name;
    std::vector<std::unique_ptr<ptypilot::spawn>> sessions;
    std::vector<int> helpers;  // the ssh client processes, if any
};

void measure(way& w, int trips_each, std::pair<long, long> before) {
    // Logged in and running cat (the remote programs start one after
    // another): one trip each first, not counted.
    for (auto& s : w.sessions) s->send("up\n");
    for (auto& s : w.sessions) s->expect_exact("up", 60);
    std::vector<ptypilot::expect_target> targets;
    for (auto& s : w.sessions)
        targets.emplace_back(*s, std::make_shared<ptypilot::searcher_re>(s->compile_pattern_list("ping")));
    auto [rss, pss] = memory_of(::getpid());
    rss -= before.first;
    pss -= before.second;
    for (int pid : w.helpers) {
        const auto [r, p] = memory_of(pid);
        rss += r;
        pss += p;
    }
    const auto cpu_now = [&] {
        double total = cpu_of(::getpid());
        for (int pid : w.helpers) total += cpu_of(pid);
        return total;
    };
    std::vector<clock_type::time_point> sent(w.sessions.size());
    std::vector<int> left(w.sessions.size(), trips_each);
    std::vector<double> trips;
    const double cpu0 = cpu_now();
    for (std::size_t i = 0; i < w.sessions.size(); ++i)
        sent[i] = clock_type::now(), w.sessions[i]->send("ping\n");
    std::vector<std::size_t> active(w.sessions.size());
    for (std::size_t i = 0; i < active.size(); ++i) active[i] = i;
    while (!active.empty()) {
        std::vector<ptypilot::expect_target> waiting;
        for (std::size_t i : active) waiting.push_back(targets[i]);
        for (const auto& o : ptypilot::expect_many(waiting)) {
            const std::size_t i = active[o.session];
            trips.push_back(std::chrono::duration<double>(clock_type::now() - sent[i]).count());
            if (--left[i] > 0) sent[i] = clock_type::now(), w.sessions[i]->send("ping\n");
        }
        std::erase_if(active, [&](std::size_t i) { return left[i] == 0; });
    }
    const double cpu = cpu_now() - cpu0;
    std::printf(
        "%-32s %4zu sessions  trip median %8.1f us  p99 %8.1f us  CPU %7.1f us/trip  memory RSS %7ld KiB, "
        "PSS %7ld KiB (%.0f KiB/session)\n",
        w.name, w.sessions.size(), percentile(trips, 0.5) * 1e6, percentile(trips, 0.99) * 1e6,
        cpu / static_cast<double>(trips.size()) * 1e6, rss, pss,
        static_cast<double>(pss) / static_cast<double>(w.sessions.size()));
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 200;
    const int trips_each = argc > 2 ? std::atoi(argv[2]) : 50;
    rlimit lim{};
    ::getrlimit(RLIMIT_NOFILE, &lim);
    lim.rlim_cur = lim.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &lim);
    testing_support::sshd_server server;
    const ptypilot::spawn_options quick{.delaybeforesend = 0.0, .delayafterread = 0.0};
    {
        // OpenSSH's default of 10 channels per connection.
        way channels{"libssh channels, 10 a connection", {}, {}};
        const auto before = memory_of(::getpid());
        std::vector<ptypilot::ssh::connection> connections;
        for (int i = 0; i < count; ++i) {
            if (i % 10 == 0) connections.emplace_back(server.options());
            channels.sessions.push_back(std::make_unique<ptypilot::spawn>(
                connections.back().open_session({.command = "cat", .pty = false}, quick)));
        }
        measure(channels, trips_each, before);
    }
    {
        way clients{"ssh processes, each on a pty", {}, {}};
        const auto before = memory_of(::getpid());
        for (int i = 0; i < count; ++i) {
            auto s = std::make_unique<ptypilot::spawn>(
                "ssh",
                ptypilot::argument_list{"-T", "-i", server.user_key, "-o",
                                        "UserKnownHostsFile=" + server.known_hosts, "-o", "BatchMode=yes",
                                        "-p", std::to_string(server.port), server.user + "@127.0.0.1", "cat"},
                quick);
            s->setecho(false);
            clients.helpers.push_back(*s->pid);
            clients.sessions.push_back(std::move(s));
        }
        measure(clients, trips_each, before);
    }
    return 0;
}

// A hundred sessions driven concurrently from one thread by an Asio event
// loop: each session's descriptors (wait_descriptors(): the terminal, and the
// child's pidfd, which tells its end even while a process it left keeps the
// terminal open) are watched with async_wait, and each time one turns
// readable expect_step() takes what is there. Without a pidfd a timer of
// step_interval() stands in for it. Every session runs
// `cat` and makes twenty round trips; the program checks that every answer
// came back, in order, and exits non-zero otherwise.
//
//   many_sessions_asio [sessions [round-trips]]
#include <asio.hpp>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <ptypilot/ptypilot.hpp>

using namespace ptypilot;
using namespace std::chrono_literals;

namespace {

// What every session shares: how many still run, and the time limit that
// ends the run once none does.
struct loop {
    asio::io_context io;
    asio::steady_timer limit{io, 60s};
    std::size_t running = 0;
};

// One session and its place in the loop.
struct driver {
    driver(loop& l_, int trips_)
        : l(l_),
          session("/bin/cat", {.timeout = 10s, .maxread = 65536, .delaybeforesend = 0, .delayafterread = 0}),
          recheck(l.io),
          answer(std::make_shared<searcher_re>(
              session.compile_pattern_list({"ping (\\d+)\r\n", sentinel::eof}))),
          trips(trips_) {
        session.setecho(false);  // only cat's copy comes back
        for (const int fd : session.wait_descriptors()) watches.emplace_back(l.io, fd);
        ++l.running;
    }

    loop& l;
    spawn session;
    // Asio's handles on the session's descriptors. The session owns them:
    // each handle gives its descriptor back (release()) instead of closing it.
    std::vector<asio::posix::stream_descriptor> watches;
    // Steps now and then when no descriptor tells the child's end.
    asio::steady_timer recheck;
    // Each wait armed counts up: a handler of an older wait (another
    // descriptor turned readable in the same round) finds it stale.
    unsigned armed = 0;
    bool stopped = false;
    // Compiled once: each step then searches only what the last read added.
    std::shared_ptr<search_strategy> answer;
    int trips;
    int answered = 0;
    std::string failure;
};

void ping(driver& d) { d.session.sendline("ping " + std::to_string(d.answered + 1)); }

void release_watches(driver& d) {
    for (auto& w : d.watches)
        if (w.is_open()) w.release();
    d.recheck.cancel();
}

void stop(driver& d, std::string failure = {}) {
    d.failure = std::move(failure);
    d.stopped = true;
    release_watches(d);
    if (--d.l.running == 0) d.l.limit.cancel();
}

void on_readable(driver& d);

// One wait on every descriptor of the session (and the timer): whichever
// comes first steps it, and the others are dropped.
void arm(driver& d) {
    const unsigned round = ++d.armed;
    auto fire = [&d, round](const asio::error_code& ec) {
        if (ec || d.stopped || round != d.armed) return;
        for (auto& w : d.watches) w.cancel();
        d.recheck.cancel();
        on_readable(d);
    };
    for (auto& w : d.watches) w.async_wait(asio::posix::stream_descriptor::wait_read, fire);
    if (const auto every = d.session.step_interval()) {
        d.recheck.expires_after(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::duration<double>(*every)));
        d.recheck.async_wait(fire);
    }
}

void on_readable(driver& d) {
    // Step until nothing is left: after a match the buffer may hold the
    // next one already, and no new readiness would announce it.
    for (;;) {
        const step_result r = d.session.expect_step(d.answer);
        if (r.status == step_status::nothing) break;
        if (r.status == step_status::eof) return stop(d, "end of file after " + std::to_string(d.answered));
        const auto& m = std::get<match_result>(d.session.match);
        if (std::stoi(m.group(1).value_or("0")) != d.answered + 1)
            return stop(d, "answer out of order: " + m.str());
        if (++d.answered == d.trips) return stop(d);
        ping(d);
    }
    arm(d);
}

}  // namespace

int main(int argc, char** argv) {
    const int sessions = argc > 1 ? std::atoi(argv[1]) : 100;
    const int trips = argc > 2 ? std::atoi(argv[2]) : 20;
    loop l;
    std::vector<std::unique_ptr<driver>> drivers;
    for (int i = 0; i < sessions; ++i) {
        drivers.push_back(std::make_unique<driver>(l, trips));
        ping(*drivers.back());
        on_readable(*drivers.back());
    }
    // A session that hangs fails the run instead of holding it.
    bool timed_out = false;
    l.limit.async_wait([&](const asio::error_code& ec) {
        if (ec) return;  // cancelled: every session has stopped
        timed_out = true;
        l.io.stop();
    });
    l.io.run();

    int failed = 0;
    for (std::size_t i = 0; i < drivers.size(); ++i) {
        driver& d = *drivers[i];
        release_watches(d);
        if (d.failure.empty() && d.answered != d.trips)
            d.failure = "only " + std::to_string(d.answered) + " answers";
        if (!d.failure.empty()) {
            std::printf("session %zu: %s\n", i, d.failure.c_str());
            ++failed;
        }
        d.session.close();
    }
    const bool ok = failed == 0 && !timed_out;
    std::printf("%d sessions, %d round trips each, one thread: %s\n", sessions, trips,
                ok ? "all answered" : "FAILED");
    return ok ? 0 : 1;
}

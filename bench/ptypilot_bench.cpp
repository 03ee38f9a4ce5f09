// Benchmarks: each scenario runs beside a raw C loop doing the same work
// with plain system calls (the physical limit here), alternately, and the
// median times are reported with their ratio.
//
//   build/bench/ptypilot_bench [scenario...]
//
// Scenarios: spawn, eof-default, eof-tuned, prompt, roundtrip, relay.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <ptypilot/ptypilot.hpp>

namespace {

const std::string fixture = PTYPILOT_FIXTURE;
const std::string launcher = PTYPILOT_LAUNCHER;

double seconds(const std::function<void()>& f) {
    const auto t0 = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Runs both sides `reps` times, alternating, and prints the medians.
void compare(const char* name, int reps, const std::function<void()>& ours, const std::function<void()>& raw,
             const char* unit = "ms", double scale = 1e3) {
    std::vector<double> a, b;
    for (int i = 0; i < reps; ++i) {
        a.push_back(seconds(ours));
        b.push_back(seconds(raw));
    }
    const double ma = median(a), mb = median(b);
    std::printf("%-28s ptypilot %10.3f %s   raw %10.3f %s   ratio %.2f\n", name, ma * scale, unit, mb * scale,
                unit, ma / mb);
    std::fflush(stdout);
}

// The raw side of a child on a pty: forkpty + execv.
pid_t raw_start(const std::vector<std::string>& words, int* master) {
    std::vector<char*> argv;
    for (const auto& w : words) argv.push_back(const_cast<char*>(w.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = ::forkpty(master, nullptr, nullptr, nullptr);
    if (pid == 0) {
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    return pid;
}

// Reads the pty master until EIO; returns the byte count.
std::size_t raw_drain(int fd, std::size_t chunk) {
    std::vector<char> buf(chunk);
    std::size_t total = 0;
    for (;;) {
        const ssize_t n = ::read(fd, buf.data(), buf.size());
        if (n <= 0) break;
        total += static_cast<std::size_t>(n);
    }
    return total;
}

void tune(ptypilot::spawn& s) {
    s.maxread = 65536;
    s.delayafterread = 0;
    s.delaybeforesend = 0;
}

void quiet_close(ptypilot::spawn& s) {
    s.delayafterclose = 0;
    s.delayafterterminate = 0.01;
    s.close();
}

void bench_spawn() {
    const int n = 200;
    compare(
        "spawn+reap /bin/true x200", 5,
        [&] {
            for (int i = 0; i < n; ++i) {
                ptypilot::spawn s("/bin/true", {"x"});
                s.flag_eof = true;  // isalive() then blocks until the child ends
                s.isalive();
                quiet_close(s);
            }
        },
        [&] {
            for (int i = 0; i < n; ++i) {
                int master = -1;
                const pid_t pid = raw_start({"/bin/true", "x"}, &master);
                int st = 0;
                ::waitpid(pid, &st, 0);
                ::close(master);
            }
        });
}

void bench_eof(bool tuned) {
    const std::string bytes = "20000000";
    compare(
        tuned ? "expect(EOF) 20MB tuned" : "expect(EOF) 20MB defaults", 5,
        [&] {
            ptypilot::spawn s(fixture, {"flood", bytes});
            if (tuned) tune(s);
            s.expect(ptypilot::EOF_{});
            quiet_close(s);
        },
        [&] {
            int master = -1;
            const pid_t pid = raw_start({fixture, "flood", bytes}, &master);
            raw_drain(master, tuned ? 65536 : 2000);
            ::waitpid(pid, nullptr, 0);
            ::close(master);
        });
    if (!tuned) {
        // What the pause alone costs: one 0.1 ms sleep per 2000-byte read.
        const double bound = 20000000.0 / 2000 * 0.0001;
        std::printf("%-28s pause-only bound %.3f ms\n", "", bound * 1e3);
        return;
    }
    // expect(EOF) hands all 20 MB back in `before`; a raw loop that keeps
    // what it reads pays for the same growing buffer.
    compare(
        "  vs raw loop keeping data", 5,
        [&] {
            ptypilot::spawn s(fixture, {"flood", bytes});
            tune(s);
            s.expect(ptypilot::EOF_{});
            quiet_close(s);
        },
        [&] {
            int master = -1;
            const pid_t pid = raw_start({fixture, "flood", bytes}, &master);
            std::string kept;
            std::vector<char> buf(65536);
            for (;;) {
                const ssize_t n = ::read(master, buf.data(), buf.size());
                if (n <= 0) break;
                kept.append(buf.data(), static_cast<std::size_t>(n));
            }
            ::waitpid(pid, nullptr, 0);
            ::close(master);
        });
}

void bench_prompt() {
    for (const char* mb : {"1", "4", "16"}) {
        const std::string bytes = std::to_string(std::stol(mb) * 1000000);
        const std::string name = std::string("regex prompt after ") + mb + "MB";
        compare(
            name.c_str(), 3,
            [&] {
                ptypilot::spawn s(fixture, {"flood", bytes});
                tune(s);
                s.expect("E[N]D");
                quiet_close(s);
            },
            [&] {
                int master = -1;
                const pid_t pid = raw_start({fixture, "flood", bytes}, &master);
                std::string seen;
                std::vector<char> buf(65536);
                for (;;) {
                    const ssize_t n = ::read(master, buf.data(), buf.size());
                    if (n <= 0) break;
                    const std::size_t from = seen.size() < 2 ? 0 : seen.size() - 2;
                    seen.append(buf.data(), static_cast<std::size_t>(n));
                    if (seen.find("END", from) != std::string::npos) break;
                }
                ::close(master);
                ::waitpid(pid, nullptr, 0);
            });
    }
}

void bench_roundtrip() {
    const int n = 2000;
    ptypilot::spawn s(fixture, {"cat"});
    tune(s);
    s.setecho(false);
    int master = -1;
    const pid_t pid = raw_start({fixture, "cat"}, &master);
    termios mode{};
    ::tcgetattr(master, &mode);
    mode.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    ::tcsetattr(master, TCSANOW, &mode);
    compare(
        "round trip via cat x2000", 5,
        [&] {
            for (int i = 0; i < n; ++i) {
                s.sendline("ping");
                s.expect("ping\r\n");
            }
        },
        [&] {
            char buf[256];
            for (int i = 0; i < n; ++i) {
                (void)::write(master, "ping", 4);
                (void)::write(master, "\n", 1);
                std::string got;
                while (got.find("ping\r\n") == std::string::npos) {
                    pollfd p{master, POLLIN, 0};
                    ::poll(&p, 1, -1);
                    const ssize_t r = ::read(master, buf, sizeof buf);
                    if (r <= 0) return;
                    got.append(buf, static_cast<std::size_t>(r));
                }
            }
        },
        "us/trip", 1e6 / n);
    quiet_close(s);
    ::close(master);
    ::waitpid(pid, nullptr, 0);
}

void bench_relay() {
    const std::string bytes = "50000000";
    auto launcher_run = [&] {
        const pid_t pid = ::fork();
        if (pid == 0) {
            const int null_fd = ::open("/dev/null", O_RDWR);
            ::dup2(null_fd, 0);
            ::dup2(null_fd, 1);
            ::execl(launcher.c_str(), launcher.c_str(), fixture.c_str(), "flood", bytes.c_str(), nullptr);
            ::_exit(127);
        }
        ::waitpid(pid, nullptr, 0);
    };
    // A relay reduced to its bones: pty to /dev/null until EIO.
    auto raw_relay = [&](std::size_t chunk) {
        const int null_fd = ::open("/dev/null", O_WRONLY);
        int master = -1;
        const pid_t pid = raw_start({fixture, "flood", bytes}, &master);
        std::vector<char> buf(chunk);
        for (;;) {
            const ssize_t n = ::read(master, buf.data(), buf.size());
            if (n <= 0) break;
            (void)::write(null_fd, buf.data(), static_cast<std::size_t>(n));
        }
        ::waitpid(pid, nullptr, 0);
        ::close(master);
        ::close(null_fd);
    };
    compare("launcher relay 50MB", 3, launcher_run, [&] { raw_relay(65536); });
    // The relay moves chunks of at most 1000 bytes; the same loop with
    // that chunk shows what the relay itself adds.
    compare("  vs raw 1000-byte chunks", 3, launcher_run, [&] { raw_relay(1000); });
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> chosen(argv + 1, argv + argc);
    auto wanted = [&](const char* name) {
        return chosen.empty() || std::find(chosen.begin(), chosen.end(), name) != chosen.end();
    };
    if (wanted("spawn")) bench_spawn();
    if (wanted("eof-default")) bench_eof(false);
    if (wanted("eof-tuned")) bench_eof(true);
    if (wanted("prompt")) bench_prompt();
    if (wanted("roundtrip")) bench_roundtrip();
    if (wanted("relay")) bench_relay();
    return 0;
}

// Benchmarks: each scenario does what a user does, beside a raw loop of plain
// system calls doing the same work (the physical limit here). Both sides run
// alternately; the medians are reported with their ratio and the target.
//
//   build/bench/ptypilot_bench [scenario...]
//
// Scenarios: start, start-tuned, launcher-start, eof-default, eof-tuned,
// prompt-default, prompt, roundtrip, relay, trickle, many, screen-feed, screen-eof,
// screen-libvterm.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <dirent.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string_view>
#include <utility>
#include <string>
#include <vector>

#include <ptypilot/ptypilot.hpp>
#include <vterm.h>

namespace {

const std::string fixture = PTYPILOT_FIXTURE;
const std::string launcher = PTYPILOT_LAUNCHER;
const std::string raw_launcher = PTYPILOT_RAW_LAUNCHER;

double seconds(const std::function<void()>& f) {
    const auto t0 = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

struct unit {
    const char* name;
    double scale;
};
constexpr unit ms{"ms", 1e3};

// Runs both sides `reps` times, alternating, and prints the medians, their
// ratio and the ratio aimed at (none: 0); `labels` name the two sides.
void compare(const char* name, int reps, const std::function<void()>& ours, const std::function<void()>& raw,
             double target = 0, unit u = ms,
             std::pair<const char*, const char*> labels = {"ptypilot", "raw"}) {
    std::vector<double> a, b;
    for (int i = 0; i < reps; ++i) {
        a.push_back(seconds(ours));
        b.push_back(seconds(raw));
    }
    const double ma = median(a), mb = median(b);
    std::printf("%-34s %s %10.3f %-7s %s %10.3f %-7s ratio %5.2f", name, labels.first, ma * u.scale, u.name,
                labels.second, mb * u.scale, u.name, ma / mb);
    if (target > 0) std::printf("   target <= %.2f %s", target, ma / mb <= target ? "met" : "MISSED");
    std::printf("\n");
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

// Reads the pty master until EIO in reads of `chunk` bytes, keeping what it
// reads (as expect(EOF) keeps it in `before`) unless told not to.
std::size_t raw_drain(int fd, std::size_t chunk, bool keep = true) {
    std::vector<char> buf(chunk);
    std::string kept;
    std::size_t total = 0;
    for (;;) {
        const ssize_t n = ::read(fd, buf.data(), buf.size());
        if (n <= 0) break;
        if (keep) kept.append(buf.data(), static_cast<std::size_t>(n));
        total += static_cast<std::size_t>(n);
    }
    return total;
}

// What a raw loop does to run a child to its end.
void raw_run(const std::vector<std::string>& words, std::size_t chunk) {
    int master = -1;
    const pid_t pid = raw_start(words, &master);
    raw_drain(master, chunk);
    ::waitpid(pid, nullptr, 0);
    ::close(master);
}

// The settings of a user after the lowest latency.
void tune(ptypilot::spawn& s) {
    s.maxread = 65536;
    s.delayafterread = 0;
    s.delaybeforesend = 0;
}

// spawn -> expect(EOF) -> close, as a new user writes it.
void run_to_end(const std::vector<std::string>& words, bool tuned) {
    ptypilot::spawn s(words.front(), std::vector<std::string>(words.begin() + 1, words.end()));
    if (tuned) tune(s);
    s.expect(ptypilot::sentinel::eof);
    s.close();
}

void bench_start(bool tuned) {
    const int n = 20;
    compare(
        tuned ? "start /bin/true->EOF->close tuned" : "start /bin/true->EOF->close x20", 5,
        [&] {
            for (int i = 0; i < n; ++i) run_to_end({"/bin/true", "x"}, tuned);
        },
        [&] {
            for (int i = 0; i < n; ++i) raw_run({"/bin/true", "x"}, 2000);
        },
        1.3);
}

// A program run with /dev/null as its terminal; waits for its end.
void run_program(const std::vector<std::string>& words) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int null_fd = ::open("/dev/null", O_RDWR);
        ::dup2(null_fd, 0);
        ::dup2(null_fd, 1);
        std::vector<char*> argv;
        for (const auto& w : words) argv.push_back(const_cast<char*>(w.c_str()));
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::waitpid(pid, nullptr, 0);
}

void bench_launcher_start() {
    const int n = 20;
    compare(
        "launcher start+reap /bin/true x20", 5,
        [&] {
            for (int i = 0; i < n; ++i) run_program({launcher, "/bin/true"});
        },
        [&] {
            for (int i = 0; i < n; ++i) run_program({raw_launcher, "/bin/true"});
        },
        1.3);
}

void bench_eof(bool tuned) {
    const std::vector<std::string> flood = {fixture, "flood", "20000000"};
    compare(
        tuned ? "expect(EOF) 20MB tuned +close" : "expect(EOF) 20MB defaults +close", 5,
        [&] { run_to_end(flood, tuned); }, [&] { raw_run(flood, tuned ? 65536 : 2000); }, 1.3);
}

// Waits for a prompt after `bytes` of output; the raw side reads `chunk`
// bytes at a time and looks for the prompt in what is new.
void prompt_after(const std::string& bytes, bool tuned) {
    ptypilot::spawn s(fixture, {"flood", bytes});
    if (tuned) tune(s);
    s.expect("E[N]D");
    s.close();
}

void raw_prompt_after(const std::string& bytes, std::size_t chunk) {
    int master = -1;
    const pid_t pid = raw_start({fixture, "flood", bytes}, &master);
    std::string seen;
    std::vector<char> buf(chunk);
    for (;;) {
        const ssize_t n = ::read(master, buf.data(), buf.size());
        if (n <= 0) break;
        const std::size_t from = seen.size() < 2 ? 0 : seen.size() - 2;
        seen.append(buf.data(), static_cast<std::size_t>(n));
        if (seen.find("END", from) != std::string::npos) break;
    }
    ::close(master);
    ::waitpid(pid, nullptr, 0);
}

void bench_prompt_default() {
    compare(
        "regex prompt after 5MB defaults", 5, [] { prompt_after("5000000", false); },
        [] { raw_prompt_after("5000000", 2000); }, 1.3);
}

void bench_prompt() {
    for (const char* mb : {"1", "4", "16"}) {
        const std::string bytes = std::to_string(std::stol(mb) * 1000000);
        const std::string name = std::string("regex prompt after ") + mb + "MB tuned";
        compare(
            name.c_str(), 3, [&] { prompt_after(bytes, true); }, [&] { raw_prompt_after(bytes, 65536); },
            1.5);
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
        "round trip via cat, tuned", 5,
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
        1.3, unit{"us/trip", 1e6 / n});
    s.close();
    ::close(master);
    ::waitpid(pid, nullptr, 0);
}

void bench_relay() {
    const std::string bytes = "50000000";
    // A relay reduced to its bones: pty to /dev/null until EIO, 1 MiB reads.
    auto raw_relay = [&] {
        const int null_fd = ::open("/dev/null", O_WRONLY);
        int master = -1;
        const pid_t pid = raw_start({fixture, "flood", bytes}, &master);
        std::vector<char> buf(1 << 20);
        for (;;) {
            const ssize_t n = ::read(master, buf.data(), buf.size());
            if (n <= 0) break;
            (void)::write(null_fd, buf.data(), static_cast<std::size_t>(n));
        }
        ::waitpid(pid, nullptr, 0);
        ::close(master);
        ::close(null_fd);
    };
    // Throughput at least 0.8 of the raw relay's: time at most 1.25 of it.
    compare(
        "launcher relay 50MB to /dev/null", 7,
        [&] {
            run_program({launcher, fixture, "flood", bytes});
        },
        raw_relay, 1.25);
}

double cpu_seconds() {
    rusage ru{};
    ::getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) * 1e-6;
}

// A child that trickles: one short line a millisecond for two seconds, read
// to its end at the defaults. The pause after a short read is there to
// gather such output into fewer reads; CPU per byte shows it still does.
void bench_trickle() {
    std::vector<double> per_kib;
    for (int i = 0; i < 3; ++i) {
        ptypilot::spawn s(fixture, {"drip", "2", "0.001"});
        const double c0 = cpu_seconds();
        s.expect(ptypilot::sentinel::eof);
        const double used = cpu_seconds() - c0;
        per_kib.push_back(used / (static_cast<double>(s.before->size()) / 1024.0));
        s.close();
    }
    std::printf("%-34s ptypilot %10.3f ms CPU per KiB read\n", "trickle 1 line/ms for 2 s, defaults",
                median(per_kib) * 1e3);
    std::fflush(stdout);
}

int open_descriptors() {
    int n = 0;
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (dirent* e = ::readdir(d))
            if (e->d_name[0] != '.') ++n;
        ::closedir(d);
    }
    return n - 1;  // the directory's own
}

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

// `count` cat sessions, each with one round trip in flight at a time, driven
// from this one thread by expect_many(): what one trip costs in time (from
// its send to its answer) and in CPU of this process, and how many
// descriptors each session holds.
void many_round_trips(int count, int trips_each, bool wait_over_many = true) {
    const int fds_before = open_descriptors();
    std::vector<std::unique_ptr<ptypilot::spawn>> sessions;
    std::vector<ptypilot::expect_target> targets;
    for (int i = 0; i < count; ++i) {
        sessions.push_back(std::make_unique<ptypilot::spawn>(fixture, std::vector<std::string>{"cat"}));
        ptypilot::spawn& s = *sessions.back();
        tune(s);
        s.setecho(false);
        // One strategy per session, kept from call to call.
        targets.emplace_back(s, std::make_shared<ptypilot::searcher_re>(s.compile_pattern_list("ping\r\n")));
    }
    const double per_session = static_cast<double>(open_descriptors() - fds_before) / count;

    using clock = std::chrono::steady_clock;
    std::vector<clock::time_point> sent(static_cast<std::size_t>(count));
    std::vector<int> left(static_cast<std::size_t>(count), trips_each);
    std::vector<double> trip_s;
    trip_s.reserve(static_cast<std::size_t>(count * trips_each));
    // Fairness: each session's own median, the slowest of them reported.
    std::vector<std::vector<double>> own(static_cast<std::size_t>(count));
    auto send = [&](std::size_t i) {
        sent[i] = clock::now();
        sessions[i]->sendline("ping");
    };
    const double cpu0 = cpu_seconds();
    const auto t0 = clock::now();
    for (std::size_t i = 0; i < sessions.size(); ++i) send(i);
    std::vector<std::size_t> active(sessions.size());
    for (std::size_t i = 0; i < active.size(); ++i) active[i] = i;
    std::vector<ptypilot::expect_target> waiting = targets;
    while (!active.empty()) {
        std::vector<std::size_t> answered;
        if (wait_over_many) {
            for (const auto& o : ptypilot::expect_many(waiting)) answered.push_back(active[o.session]);
        } else {
            sessions[active[0]]->expect_loop(targets[active[0]].searcher);
            answered.push_back(active[0]);
        }
        bool changed = false;
        for (const std::size_t i : answered) {
            trip_s.push_back(std::chrono::duration<double>(clock::now() - sent[i]).count());
            own[i].push_back(trip_s.back());
            if (--left[i] > 0)
                send(i);
            else
                changed = true;
        }
        if (changed) {
            std::vector<std::size_t> still;
            waiting.clear();
            for (const std::size_t i : active)
                if (left[i] > 0) still.push_back(i), waiting.push_back(targets[i]);
            active = still;
        }
    }
    const double wall = std::chrono::duration<double>(clock::now() - t0).count();
    const double cpu = cpu_seconds() - cpu0;
    const auto trips = static_cast<double>(trip_s.size());
    double slowest = 0;
    for (const auto& v : own) slowest = std::max(slowest, median(v));
    std::printf(
        "%5d session%s %-22s trip median %8.1f us  p99 %8.1f us  slowest session's median %8.1f us  CPU "
        "%6.1f "
        "us/trip  %7.0f trips/s  %.1f fds/session\n",
        count, count == 1 ? " " : "s", wait_over_many ? "expect_many" : "expect (one at a time)",
        median(trip_s) * 1e6, percentile(trip_s, 0.99) * 1e6, slowest * 1e6, cpu / trips * 1e6, trips / wall,
        per_session);
    std::fflush(stdout);
    for (auto& s : sessions) {
        s->delayafterclose = 0.01;
        s->close();
    }
}

// The descriptors a thousand sessions need: two each (the pty and the
// child's pidfd), beyond the usual soft limit of 1024. The hard limit here
// allows far more; only the bench raises the soft one, never the library.
void bench_many() {
    rlimit lim{};
    ::getrlimit(RLIMIT_NOFILE, &lim);
    const rlim_t want = std::min<rlim_t>(lim.rlim_max, 20000);
    if (lim.rlim_cur < want) {
        lim.rlim_cur = want;
        ::setrlimit(RLIMIT_NOFILE, &lim);
    }
    many_round_trips(1, 2000, false);
    many_round_trips(1, 2000);
    many_round_trips(1000, 20);
    std::printf("%-34s soft limit now %lu, hard %lu: about %lu sessions at 2 descriptors each\n",
                "descriptor budget", static_cast<unsigned long>(want),
                static_cast<unsigned long>(lim.rlim_max),
                static_cast<unsigned long>((lim.rlim_max - 16) / 2));
}

// What the fixture paints: full-screen painting with colours, cursor motion
// and UTF-8, and (unless `still`) as many coloured lines that scroll.
std::string painted_output(const std::string& bytes, bool still) {
    const std::string command = fixture + " paint " + bytes + (still ? " still" : "");
    std::string out;
    if (FILE* p = ::popen(command.c_str(), "r")) {
        char buf[65536];
        std::size_t n = 0;
        while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
        ::pclose(p);
    }
    return out;
}

const char* mix_name(bool still) { return still ? "painting only" : "painting and scrolling"; }

// The emulator alone: megabytes a second through the screen, in reads of
// 64 KiB as a tuned session makes them; and escape stripping beside it.
void bench_screen_feed() {
    for (const bool still : {false, true}) {
        const std::string data = painted_output("20000000", still);
        const double mb = static_cast<double>(data.size()) / 1e6;
        std::vector<double> fed, stripped;
        for (int i = 0; i < 3; ++i) {
            fed.push_back(seconds([&] {
                ptypilot::virtual_terminal term(24, 80);
                for (std::size_t at = 0; at < data.size(); at += 65536)
                    term.feed(std::string_view(data).substr(at, 65536));
                if (term.text().empty()) std::printf("(empty screen)\n");
            }));
            stripped.push_back(seconds([&] {
                if (ptypilot::strip_escapes(data).size() >= data.size()) std::printf("(nothing stripped)\n");
            }));
        }
        std::printf("%-34s %7.1f MB/s (%.1f MB of %s, 24x80)\n", "screen: output fed", mb / median(fed), mb,
                    mix_name(still));
        std::printf("%-34s %7.1f MB/s\n", "strip_escapes: the same", mb / median(stripped));
        std::fflush(stdout);
    }
}

// The cost of the screen over the emulator it is built on: libvterm's screen
// alone, set up as ours is, fed the same bytes in the same 64 KiB chunks and
// read once at the end, as a screen match reads it.
void bench_screen_over_libvterm() {
    for (const bool still : {false, true}) {
        const std::string data = painted_output("20000000", still);
        auto feed_ours = [&] {
            ptypilot::virtual_terminal term(24, 80);
            for (std::size_t at = 0; at < data.size(); at += 65536)
                term.feed(std::string_view(data).substr(at, 65536));
            if (term.text().empty()) std::printf("(empty screen)\n");
        };
        auto feed_raw = [&] {
            VTerm* vt = vterm_new(24, 80);
            vterm_set_utf8(vt, 1);
            VTermScreen* screen = vterm_obtain_screen(vt);
            vterm_screen_set_damage_merge(screen, VTERM_DAMAGE_SCREEN);
            vterm_screen_enable_altscreen(screen, 1);
            vterm_screen_reset(screen, 1);
            for (std::size_t at = 0; at < data.size(); at += 65536)
                vterm_input_write(vt, data.data() + at, std::min<std::size_t>(65536, data.size() - at));
            vterm_screen_flush_damage(screen);
            std::size_t text = 0;
            for (int r = 0; r < 24; ++r) {
                VTermScreenCell cell{};
                for (int c = 0; c < 80; ++c) text += vterm_screen_get_cell(screen, VTermPos{r, c}, &cell);
            }
            if (text == 0) std::printf("(empty screen)\n");
            vterm_free(vt);
        };
        const std::string name =
            std::string("screen over libvterm ") + (still ? "painted" : "painted+scrolled");
        compare(name.c_str(), 5, feed_ours, feed_raw, 1.15, ms, {"screen", "libvterm"});
    }
}

// A tuned expect(EOF) of the painted output, with the screen on and off.
void bench_screen_eof() {
    for (const bool still : {false, true}) {
        auto run = [&](bool screen) {
            std::vector<std::string> args = {"paint", "20000000"};
            if (still) args.push_back("still");
            ptypilot::spawn s(fixture, args);
            tune(s);
            if (screen) s.enable_screen();
            s.expect(ptypilot::sentinel::eof);
            s.close();
        };
        const std::string name = std::string("expect(EOF) 20MB ") + (still ? "painted" : "painted+scrolled");
        compare(
            name.c_str(), 5, [&] { run(true); }, [&] { run(false); }, 2.0, ms, {"screen on", "off"});
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> chosen(argv + 1, argv + argc);
    auto wanted = [&](const char* name) {
        return chosen.empty() || std::find(chosen.begin(), chosen.end(), name) != chosen.end();
    };
    if (wanted("start")) bench_start(false);
    if (wanted("start-tuned")) bench_start(true);
    if (wanted("launcher-start")) bench_launcher_start();
    if (wanted("eof-default")) bench_eof(false);
    if (wanted("eof-tuned")) bench_eof(true);
    if (wanted("prompt-default")) bench_prompt_default();
    if (wanted("prompt")) bench_prompt();
    if (wanted("roundtrip")) bench_roundtrip();
    if (wanted("relay")) bench_relay();
    if (wanted("trickle")) bench_trickle();
    if (wanted("many")) bench_many();
    if (wanted("screen-feed")) bench_screen_feed();
    if (wanted("screen-eof")) bench_screen_eof();
    if (wanted("screen-libvterm")) bench_screen_over_libvterm();
    return 0;
}

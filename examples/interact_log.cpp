// Hands the terminal to the user with interact() and keeps a log of the
// session in which every line the child prints carries the time it arrived.
// It backs the README's `child.interact()` call, with an output filter.
//
//   interact_log LOGFILE [program [argument...]]
//
// Without a program it runs a small script that prints three lines. Ctrl-]
// leaves early. After the session the log is read back: the program exits 1
// unless every line in it is timestamped and the child's lines are all there.
#include <chrono>
#include <cstdio>
#include <ctime>
#include <exception>
#include <fstream>
#include <string>
#include <vector>

#include <ptypilot/ptypilot.hpp>

namespace {

int fail(const std::string& why) {
    std::fprintf(stderr, "interact_log: %s\n", why.c_str());
    return 1;
}

// "2025-01-31T12:34:56.789Z"
std::string timestamp() {
    using namespace std::chrono;
    const auto now = system_clock::now();
    const std::time_t secs = system_clock::to_time_t(now);
    const auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm tm{};
    ::gmtime_r(&secs, &tm);
    char buf[32];
    const std::size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
    std::snprintf(buf + n, sizeof buf - n, ".%03dZ", static_cast<int>(ms));
    return buf;
}

// Output arrives in chunks that split lines anywhere, so a partial line is
// held back until its end comes (or the session ends).
class line_stamper {
public:
    explicit line_stamper(std::ostream& log) : log_(log) {}

    void feed(const std::string& chunk) {
        pending_ += chunk;
        std::size_t nl;
        while ((nl = pending_.find('\n')) != std::string::npos) {
            emit(pending_.substr(0, nl));
            pending_.erase(0, nl + 1);
        }
    }
    void finish() {
        if (!pending_.empty()) emit(pending_);
        pending_.clear();
        log_.flush();
    }

private:
    void emit(std::string line) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        log_ << '[' << timestamp() << "] " << line << '\n';
    }
    std::ostream& log_;
    std::string pending_;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: interact_log LOGFILE [program [argument...]]\n");
        return 2;
    }
    const std::string log_path = argv[1];
    std::string program = "/bin/sh";
    std::vector<std::string> args = {"-c", "for i in 1 2 3; do echo \"line $i\"; done"};
    if (argc > 2) {
        program = argv[2];
        args.assign(argv + 3, argv + argc);
    }

    try {
        std::ofstream log(log_path, std::ios::trunc);
        if (!log) return fail("cannot write " + log_path);
        line_stamper stamper(log);

        ptypilot::spawn child(program, args, 10.0);
        // The filter sees every chunk on its way to the screen and passes it
        // on unchanged; the log gets the stamped copy.
        child.interact("\x1d", nullptr, [&](std::string data) {
            stamper.feed(data);
            return data;
        });
        stamper.finish();
        child.close();
        if (!log) return fail("writing " + log_path + " failed");
    } catch (const std::exception& e) {
        return fail(e.what());
    }

    // Read the log back: every line stamped, and with the default script all
    // three of its lines present in order.
    std::ifstream in(log_path);
    if (!in) return fail(log_path + " was not written");
    const ptypilot::regex stamped("^\\[\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z\\] (.*)$");
    std::vector<std::string> lines;
    for (std::string l; std::getline(in, l);) {
        const auto m = stamped.search(l);
        if (!m) return fail("line without a timestamp: '" + l + "'");
        lines.push_back(m->group(1).value_or(""));
    }
    if (argc == 2 && lines != std::vector<std::string>{"line 1", "line 2", "line 3"})
        return fail("the log does not hold the script's three lines");
    if (lines.empty()) return fail("the log is empty");
    std::printf("interact_log: %zu timestamped lines in %s\n", lines.size(), log_path.c_str());
    return 0;
}

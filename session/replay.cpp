// Sessions over a recording. The output's times come from a timer
// descriptor armed for the next piece, so that every wait (one session's,
// a group's epoll, the relay's) sleeps on it as on any peer's descriptor.
#include <ptypilot/replay.hpp>

#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <random>
#include <stdexcept>
#include <system_error>

#include "os/system_error.hpp"
#include "os/unique_fd.hpp"
#include "screen/asciicast_read.hpp"
#include "session/byte_source.hpp"

namespace ptypilot {

namespace {

struct piece {
    double due;  // seconds after the start
    std::string bytes;
};

// The output events as the session will read them: cut where the seed says.
std::vector<piece> pieces_of(const detail::asciicast_recording& rec, const replay_options& how) {
    std::vector<piece> out;
    std::mt19937 cuts(how.cut_seed.value_or(0));
    for (const auto& e : rec.events) {
        if (e.kind != 'o' || e.data.empty()) continue;
        const double due = how.speed == 0 ? 0 : e.time / how.speed;
        if (!how.cut_seed) {
            out.push_back({due, e.data});
            continue;
        }
        for (std::size_t at = 0; at < e.data.size();) {
            const std::size_t n = std::uniform_int_distribution<std::size_t>(1, e.data.size() - at)(cuts);
            out.push_back({due, e.data.substr(at, n)});
            at += n;
        }
    }
    return out;
}

timespec monotonic_now() {
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return t;
}

class replay_source final : public detail::byte_source {
public:
    explicit replay_source(std::vector<piece> pieces)
        : pieces_(std::move(pieces)),
          timer_(detail::check(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC))),
          start_(monotonic_now()) {
        arm();
    }

    ssize_t read_some(std::span<char> into) override {
        std::uint64_t fired = 0;
        (void)!::read(timer_.get(), &fired, sizeof fired);  // readable again only when armed anew
        if (next_ == pieces_.size()) return 0;
        if (elapsed() < pieces_[next_].due) {
            arm();
            errno = EAGAIN;
            return -1;
        }
        const std::string& bytes = pieces_[next_].bytes;
        const std::size_t n = std::min(into.size(), bytes.size() - offset_);
        std::memcpy(into.data(), bytes.data() + offset_, n);
        offset_ += n;
        if (offset_ == bytes.size()) ++next_, offset_ = 0;
        arm();
        return static_cast<ssize_t>(n);
    }
    // Nobody reads what a replayed session sends.
    ssize_t write(const spawn&, std::string_view data) override { return static_cast<ssize_t>(data.size()); }
    ssize_t write_some(std::string_view data) override { return static_cast<ssize_t>(data.size()); }
    void set_nonblocking(bool) override {}

    int input_fd() const override { return timer_.get(); }
    int terminal_fd() const override { return -1; }

    bool alive(spawn& s) override { return !s.closed && !s.flag_eof; }
    std::optional<int> wait(spawn&) override { throw ExceptionPty(no_child("wait()")); }
    void kill(spawn&, int) override { throw ExceptionPty(no_child("kill()")); }
    bool terminate(spawn&, bool) override { return true; }
    void close(spawn& s, bool) override {
        timer_.reset();
        s.child_fd = -1;
        s.closed = true;
    }

private:
    static std::string no_child(const char* call) {
        return std::string(call) +
               " needs a child process, and this session replays a recording: it has none.";
    }
    double elapsed() const {
        const timespec now = monotonic_now();
        return static_cast<double>(now.tv_sec - start_.tv_sec) +
               static_cast<double>(now.tv_nsec - start_.tv_nsec) / 1e9;
    }
    // Readable when the next piece is due, at once when it is already (or
    // when the end is next, so that a wait sees it).
    void arm() {
        itimerspec when{};
        when.it_value = {0, 1};  // long past on this clock: fires at once (0 would disarm it)
        if (next_ < pieces_.size() && pieces_[next_].due > elapsed()) {
            const double at = static_cast<double>(start_.tv_sec) + static_cast<double>(start_.tv_nsec) / 1e9 +
                              pieces_[next_].due;
            when.it_value.tv_sec = static_cast<time_t>(at);
            when.it_value.tv_nsec = static_cast<long>((at - std::floor(at)) * 1e9);
        }
        detail::check(::timerfd_settime(timer_.get(), TFD_TIMER_ABSTIME, &when, nullptr));
    }

    std::vector<piece> pieces_;
    std::size_t next_ = 0;    // the piece read next
    std::size_t offset_ = 0;  // how much of it was read already
    detail::unique_fd timer_;
    timespec start_;
};

}  // namespace

spawn replay(std::istream& recording, const replay_options& how, const spawn_options& options) {
    if (!(how.speed >= 0) || std::isinf(how.speed))
        throw std::invalid_argument(
            "replay(): the speed must be 0 (as fast as read) or a finite number above it");
    const auto rec = detail::read_asciicast(recording, "replay()");
    spawn_options sized = options;
    sized.window = {static_cast<unsigned short>(rec.rows), static_cast<unsigned short>(rec.columns)};
    spawn s = detail::session_over(std::make_unique<replay_source>(pieces_of(rec, how)), sized);
    s.name = "<replay>";
    return s;
}

spawn replay(const std::string& path, const replay_options& how, const spawn_options& options) {
    std::ifstream in(path);
    if (!in) detail::throw_errno(errno, "replay(): cannot read " + path);
    spawn s = replay(in, how, options);
    s.name = "<replay " + path + ">";
    return s;
}

}  // namespace ptypilot

// Reading from the child: one read, waited for with a time-out.
#include <ptypilot/spawn.hpp>

#include <poll.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "os/clock.hpp"
#include "os/eintr.hpp"
#include "os/poll_until.hpp"
#include "os/ready_wait.hpp"
#include "session/log.hpp"
#include "session/read_into.hpp"
#include "session/session_state.hpp"
#include "session/timeout_arg.hpp"

namespace ptypilot {

namespace {

enum class fast_wait { readable, timed_out, undecided };

// The common case of a running child: wait on the pty together with the
// child's end. `readable` when the pty is readable and the child still
// runs, and `timed_out` when the time ran out with the child still running:
// exactly the outcomes the liveness checks and the wait of the full sequence
// would have reached. Every other case (the child ended, a blocking liveness
// check after end of file, a failed wait) is left to the full sequence.
// Without a limit the wait is here too: the full sequence would wait on the
// pty alone, and miss the child's end for as long as a process it left
// behind keeps the terminal open. The pidfd tells the end in the same
// system call; without one the child's state is looked at between slices.
fast_wait wait_readable_while_alive(const spawn& s, const detail::session_state& state,
                                    const detail::byte_source& source, const detail::deadline& until) {
    if (!detail::child_running(s, state) || s.flag_eof || s.irix_hack) return fast_wait::undecided;
    const bool pidfd = source.end_fd() >= 0;
    const double slice = source.end_poll_interval().value_or(detail::end_check_interval);
    pollfd fds[2] = {{source.input_fd(), source.input_events(), 0}, {source.end_fd(), POLLIN, 0}};
    for (;;) {
        const int r = detail::poll_until(std::span(fds, pidfd ? 2 : 1), pidfd ? until : until.at_most(slice));
        // Without a pidfd a readable pty says nothing of the child: the full
        // sequence asks after it first (it may be gone, or reaped by someone
        // else, which must be reported).
        if (r < 0 || fds[1].revents != 0 || (r > 0 && !pidfd)) return fast_wait::undecided;
        if (r > 0)
            return (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0 ? fast_wait::readable
                                                                        : fast_wait::undecided;
        if (!pidfd && source.has_ended(s)) return fast_wait::undecided;
        const auto still = until.remaining();
        if (pidfd || (still && !(*still > 0))) return fast_wait::timed_out;
    }
}

bool readable(int fd, std::optional<double> timeout) {
    const auto ready = detail::select_ready({fd}, {}, {}, timeout);
    if (ready.r.empty()) return false;
    if (std::find(ready.r.begin(), ready.r.end(), fd) == ready.r.end())
        throw ExceptionPty("Reached an unexpected state in read_nonblocking().");
    return true;
}

[[noreturn]] void end_of_file(spawn& s, const char* message) {
    s.flag_eof = true;
    throw EOF_(message);
}

// Waits until the source has input (or its end) for a read; throws EOF_ or TIMEOUT
// as read_nonblocking() reports them.
void wait_for_input(spawn& s, detail::session_state& state, detail::byte_source& source,
                    const detail::deadline& until) {
    // Known readable (a group's epoll set said so), or bytes waiting inside
    // the source where no descriptor shows them.
    if (std::exchange(state.input_ready, false) || source.pending()) return;
    const int fd = source.input_fd();
    const fast_wait waited = wait_readable_while_alive(s, state, source, until);
    if (waited == fast_wait::timed_out) throw TIMEOUT("Timeout exceeded in read_nonblocking().");
    if (waited == fast_wait::readable) return;
    // After end of file isalive() waits for the child's end, for as long as a
    // child that closed its terminal lives on; a read with a time-out waits
    // no longer than that.
    if (s.flag_eof && until.remaining() && !source.await_end(s, until))
        end_of_file(s,
                    "End Of File (EOF) in read_nonblocking(). The terminal is closed; the child still runs.");
    // Asking after the end may take the last bytes into the source (an SSH
    // channel's end comes with them), where no descriptor shows them: they
    // are read before any end is believed.
    enum class asked { alive, ended, bytes_held };
    const auto ask = [&] {
        const bool alive = s.isalive();
        return source.pending() ? asked::bytes_held : alive ? asked::alive : asked::ended;
    };
    const asked first = ask();
    if (first == asked::bytes_held) return;
    if (first == asked::ended) {
        // Ended, but it may have left output behind on the terminal.
        if (!readable(fd, 0.0))
            end_of_file(s, "End Of File (EOF) in read_nonblocking(). Braindead platform.");
    } else if (s.irix_hack && !readable(fd, 2.0)) {
        const asked later = ask();
        if (later == asked::bytes_held) return;
        if (later == asked::ended) end_of_file(s, "End Of File (EOF) in read_nonblocking(). Pokey platform.");
    }
    if (!readable(fd, until.remaining())) {
        const asked last = ask();
        if (last == asked::bytes_held) return;
        if (last == asked::ended)
            end_of_file(s, "End of File (EOF) in read_nonblocking(). Very pokey platform.");
        throw TIMEOUT("Timeout exceeded in read_nonblocking().");
    }
}

}  // namespace

std::size_t detail::read_request(long size) {
    return static_cast<std::size_t>(std::clamp(size, 1L, 1L << 20));
}

std::string spawn::read_nonblocking(long size, std::optional<seconds_value> timeout_) {
    std::string data;
    try {
        detail::read_into(*this, *state_, data, size, detail::in_seconds(timeout_));
    } catch (...) {
        // Read, and then a log failed: the chunk waits in the buffer, where
        // the next expect or read finds it.
        buffer += data;
        throw;
    }
    return data;
}

void detail::read_into(spawn& s, session_state& state, std::string& dst, long size,
                       std::optional<double> timeout, bool every_chunk) {
    if (s.closed) throw std::logic_error("I/O operation on closed file in read_nonblocking().");
    // Every wait takes what is left of this one time-out.
    read_into(s, state, dst, size, call_deadline(s, timeout), every_chunk);
}

void detail::read_into(spawn& s, session_state& state, std::string& dst, long size, const deadline& until,
                       bool every_chunk) {
    if (s.closed) throw std::logic_error("I/O operation on closed file in read_nonblocking().");
    byte_source& source = open_source(s, state);

    const std::size_t want = read_request(size);
    // One space per thread, not per session: over thousands of sessions a
    // space of each one's own costs maxread bytes apiece and a cache miss on
    // every read. A chunk never outlives the read that took it; a read made
    // while one is logged (from a caller's log stream) takes a space of its own.
    thread_local std::vector<char> shared_scratch;
    thread_local bool scratch_taken = false;
    std::vector<char> own_scratch;
    std::vector<char>& scratch = scratch_taken ? own_scratch : shared_scratch;
    const bool took = !std::exchange(scratch_taken, true);
    struct give_back {
        bool took;
        ~give_back() {
            if (took) scratch_taken = false;
        }
    } released{took};
    if (scratch.size() < want) scratch.resize(want);
    for (;;) {
        ssize_t n = -1;
        do {
            wait_for_input(s, state, source, until);
            n = retry_eintr([&] { return source.read_some({scratch.data(), want}); });
            // A descriptor the caller left non-blocking (a socket of an event
            // loop) may have nothing after all: wait again, with the time left.
        } while (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK));
        // A pty master fails with EIO once every holder of the child side has
        // closed it: that is the end of the output, not an error.
        if (n < 0) end_of_file(s, "End Of File (EOF) in read_nonblocking(). Exception style platform.");
        if (n == 0) end_of_file(s, "End Of File (EOF) in read_nonblocking(). Empty string style platform.");
        const std::string_view chunk(scratch.data(), static_cast<std::size_t>(n));
        // Kept before it is logged: a log that fails loses none of it.
        // With escape stripping on, a chunk of nothing but escape sequences
        // leaves nothing: read again, with the time left.
        bool kept = true;
        if (state.tap)
            kept = state.tap->take(chunk, dst) || every_chunk;
        else
            dst.append(chunk);
        log_chunk(s.logfile, chunk);
        log_chunk(s.logfile_read, chunk);
        if (state.tap) send_answers(s, state);
        if (kept) return;
    }
}

}  // namespace ptypilot

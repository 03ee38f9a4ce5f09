// Reading from the child: one read, waited for with a time-out.
#include <ptypilot/spawn.hpp>

#include <poll.h>
#include <unistd.h>

#include <algorithm>

#include "session/clock.hpp"
#include "session/log.hpp"
#include "session/system_error.hpp"

namespace ptypilot {

std::string spawn::read_nonblocking(long size, std::optional<double> timeout_) {
    std::string data;
    read_into(data, size, timeout_);
    return data;
}

void spawn::read_into(std::string& dst, long size, std::optional<double> timeout_) {
    if (closed) throw std::logic_error("I/O operation on closed file in read_nonblocking().");
    if (timeout_ && *timeout_ == -1) timeout_ = timeout;

    const fast_wait waited = wait_readable_while_alive(timeout_);
    if (waited == fast_wait::timed_out) throw TIMEOUT("Timeout exceeded in read_nonblocking().");
    if (waited == fast_wait::undecided) {
        if (!isalive()) {
            // Ended, but it may have left output behind on the terminal.
            if (select_({child_fd}, {}, {}, 0.0).r.empty()) {
                flag_eof = true;
                throw EOF_("End Of File (EOF) in read_nonblocking(). Braindead platform.");
            }
        } else if (irix_hack) {
            if (select_({child_fd}, {}, {}, 2.0).r.empty() && !isalive()) {
                flag_eof = true;
                throw EOF_("End Of File (EOF) in read_nonblocking(). Pokey platform.");
            }
        }

        const auto ready = select_({child_fd}, {}, {}, timeout_);
        if (ready.r.empty()) {
            if (!isalive()) {
                flag_eof = true;
                throw EOF_("End of File (EOF) in read_nonblocking(). Very pokey platform.");
            }
            throw TIMEOUT("Timeout exceeded in read_nonblocking().");
        }
        if (std::find(ready.r.begin(), ready.r.end(), child_fd) == ready.r.end())
            throw ExceptionPty("Reached an unexpected state in read_nonblocking().");
    }

    const std::size_t want = static_cast<std::size_t>(std::max(size, 1L));
    if (scratch_.size() < want) scratch_.resize(want);
    const ssize_t n = detail::retry_eintr([&] { return ::read(child_fd, scratch_.data(), want); });
    // A pty master fails with EIO once every holder of the child side has
    // closed it: that is the end of the output, not an error.
    if (n < 0) {
        flag_eof = true;
        throw EOF_("End Of File (EOF) in read_nonblocking(). Exception style platform.");
    }
    if (n == 0) {
        flag_eof = true;
        throw EOF_("End Of File (EOF) in read_nonblocking(). Empty string style platform.");
    }
    const std::string_view chunk(scratch_.data(), static_cast<std::size_t>(n));
    detail::log_chunk(logfile, chunk);
    detail::log_chunk(logfile_read, chunk);
    dst.append(chunk);
}

// The common case of a running child in one system call: wait on the pty
// together with the pidfd, which turns readable when the child ends.
// `readable` when the pty is readable and the child still runs, and
// `timed_out` when the time ran out with the child still running: exactly
// the outcomes the liveness checks and the wait above would have reached.
// Every other case (the child ended, no limit, no pidfd, a blocking liveness
// check after end of file, an interrupted wait) is left to the full sequence.
spawn::fast_wait spawn::wait_readable_while_alive(std::optional<double> timeout_) {
    if (pidfd_ < 0 || flag_eof || irix_hack || terminated) return fast_wait::undecided;
    pollfd fds[2] = {{pidfd_, POLLIN, 0}, {child_fd, POLLIN, 0}};
    // Without a limit, only look: the full sequence does the waiting.
    const timespec ts = detail::to_timespec(timeout_.value_or(0.0));
    const int r = ::ppoll(fds, 2, &ts, nullptr);
    if (r == 0) return timeout_ ? fast_wait::timed_out : fast_wait::undecided;
    if (r < 0 || fds[0].revents != 0) return fast_wait::undecided;
    return (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0 ? fast_wait::readable : fast_wait::undecided;
}

}  // namespace ptypilot

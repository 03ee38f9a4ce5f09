// The byte source of a child on a pseudo-terminal: its bytes, and watching
// and ending its life.
#include "session/pty_child.hpp"

#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>

#include "os/clock.hpp"
#include "os/eintr.hpp"
#include "os/system_error.hpp"
#include "session/abandoned_children.hpp"
#include "session/session_state.hpp"
#include "session/write_to_child.hpp"

namespace ptypilot::detail {

namespace {

// One waitpid, retried after signals. ECHILD (someone else reaped the child)
// becomes the ExceptionPty `echild` names, where one is given; every other
// failure is the operating-system error.
pid_t wait_for(pid_t pid, int& st, int options, const char* echild = nullptr) {
    const pid_t r = retry_eintr([&] { return ::waitpid(pid, &st, options); });
    if (r == -1) {
        if (errno == ECHILD && echild != nullptr) throw ExceptionPty(echild);
        throw_errno();
    }
    return r;
}

constexpr const char* lost_child_first =
    "isalive() encountered condition where \"terminated\" is 0, but there was no child process. Did "
    "someone else call waitpid() on our process?";
constexpr const char* lost_child_in_wait =
    "wait() encountered condition where \"terminated\" is 0, but there was no child process. Did someone "
    "else call waitpid() on our process?";
constexpr const char* lost_child_second =
    "isalive() encountered condition that should never happen. There was no child process. Did "
    "someone else call waitpid() on our process?";

// Writes the end of the child into the session's fields, once.
void record_end(spawn& s, int wait_status) {
    s.status = wait_status;
    if (WIFEXITED(wait_status)) {
        s.exitstatus = WEXITSTATUS(wait_status);
        s.signalstatus.reset();
    } else {
        s.exitstatus.reset();
        s.signalstatus = WTERMSIG(wait_status);
    }
    s.terminated = true;
}

// isalive(), but blocking only when asked: once end of file has been seen
// isalive() waits for the child's end, which those who must act at once
// (kill, terminate, close) cannot afford.
bool check_alive(spawn& s, bool may_block) {
    if (s.terminated) return false;
    const int options = may_block ? 0 : WNOHANG;
    int st = 0;
    pid_t r = wait_for(*s.pid, st, options, lost_child_first);
    if (r == 0) {
        r = wait_for(*s.pid, st, options, lost_child_second);
        if (r == 0) return true;
    }
    if (WIFEXITED(st) || WIFSIGNALED(st)) {
        record_end(s, st);
        return false;
    }
    if (WIFSTOPPED(st))
        throw ExceptionPty(
            "isalive() encountered condition where child process is stopped. This is not supported. "
            "Is some other process attempting job control with our child pid?");
    return false;
}

}  // namespace

ssize_t pty_child::read_some(std::span<char> into) { return ::read(master_.get(), into.data(), into.size()); }

ssize_t pty_child::write(const spawn& s, std::string_view data) {
    // Written whole unless the child ends first; then the count says how far it got.
    std::function<bool()> ended;
    if (!pidfd_ && s.pid) ended = [this, &s] { return s.terminated || has_ended(s); };
    return write_to_child(master_.get(), pidfd_.get(), data, ended);
}

ssize_t pty_child::write_some(std::string_view data) {
    return ::write(master_.get(), data.data(), data.size());
}

void pty_child::set_nonblocking(bool on) { hold_nonblocking(master_.get(), saved_flags_, on); }

std::optional<double> pty_child::end_poll_interval() const {
    if (pidfd_) return std::nullopt;
    return end_check_interval;
}

bool pty_child::has_ended(const spawn& s) const noexcept {
    siginfo_t info{};
    info.si_pid = 0;
    if (::waitid(P_PID, static_cast<id_t>(*s.pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) return true;
    return info.si_pid != 0;
}

bool pty_child::await_end(spawn& s, const deadline& until) {
    for (;;) {
        if (s.terminated) return true;
        const auto left = until.remaining();
        if (pidfd_) {
            pollfd p{pidfd_.get(), POLLIN, 0};
            const timespec ts = to_timespec(left.value_or(0.0));
            const int r = ::ppoll(&p, 1, left ? &ts : nullptr, nullptr);
            if (r == 0) return false;
            if (r > 0 || errno != EINTR) return true;
            continue;  // a signal: on with the time left
        }
        // Without a pidfd, look now and then.
        if (!check_alive(s, false)) return true;
        if (left && !(*left > 0)) return false;  // NaN included
        sleep_for(left ? std::min(*left, 0.01) : 0.01);
    }
}

bool pty_child::alive(spawn& s) { return check_alive(s, s.flag_eof); }

std::optional<int> pty_child::wait(spawn& s) {
    if (!s.pid) throw ExceptionPty("Cannot wait for dead child process.");
    // An end recorded already (by isalive(), a read, close()) is the answer:
    // whether the child happened to end before this call must not decide
    // between a status and an error.
    if (s.terminated) return s.exitstatus;
    int st = 0;
    // The child may be taken away while this waits, as much as before.
    wait_for(*s.pid, st, 0, lost_child_in_wait);
    s.exitstatus = WEXITSTATUS(st);
    if (WIFEXITED(st) || WIFSIGNALED(st)) {
        record_end(s, st);
    } else if (WIFSTOPPED(st)) {
        throw ExceptionPty(
            "Wait was called for a child process that is stopped. This is not supported. Is some "
            "other process attempting job control with our child pid?");
    }
    return s.exitstatus;
}

void pty_child::kill(spawn& s, int sig) {
    // Once reaped the pid may belong to someone else: never signal it then.
    if (!check_alive(s, false)) return;
    // Through the pidfd the signal reaches this child or nobody, even if
    // someone else reaped it and its pid was taken since.
    if (pidfd_) {
        check(::syscall(SYS_pidfd_send_signal, pidfd_.get(), sig, nullptr, 0U));
        return;
    }
    check(::kill(*s.pid, sig));
}

bool pty_child::terminate(spawn& s, bool force) {
    auto alive = [&] { return check_alive(s, false); };
    // Each pause lasts until the child ends or delayafterterminate has
    // passed: the answer is the same as after the whole pause, only sooner.
    auto pause = [&] { await_end(s, deadline(s.delayafterterminate)); };
    if (!alive()) return true;
    try {
        for (const int sig : {SIGHUP, SIGCONT, SIGINT}) {
            kill(s, sig);
            pause();
            if (!alive()) return true;
        }
        if (!force) return false;
        kill(s, SIGKILL);
        pause();
        return !alive();
    } catch (const std::system_error&) {
        pause();
        return !alive();
    }
}

void pty_child::close(spawn& s, bool force) {
    if (master_) {
        // Whatever close() reports, the number is no longer ours.
        const int r = ::close(master_.release());
        if (r == -1 && errno != EINTR) throw_errno();
    }
    // Up to delayafterclose for the child to go (most do once their terminal
    // is gone); one that has ended already costs no wait at all.
    await_end(s, deadline(s.delayafterclose));
    // A child that has closed its terminal may still be finishing its work:
    // its exit status is worth the session's time-out, but no more, since
    // one that lives on (a daemon) would hold close() for ever.
    if (s.flag_eof) await_end(s, deadline(checked_timeout(s.timeout)));
    if (check_alive(s, false) && !terminate(s, force))
        throw ExceptionPty("close() could not terminate the child using terminate()");
    pidfd_.reset();
    s.child_fd = -1;
    s.closed = true;
}

void pty_child::release(spawn& s) noexcept {
    // A SIGKILL can take a while to end a large process, longer than
    // close() waits; the child is sure to end, and someone must reap it.
    if (s.pid && !s.terminated) abandon_child(*s.pid, std::move(pidfd_));
}

std::unique_ptr<byte_source> unstarted_child() { return std::make_unique<pty_child>(); }

}  // namespace ptypilot::detail

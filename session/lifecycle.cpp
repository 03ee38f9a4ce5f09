// Watching and ending the child's life.
#include <ptypilot/spawn.hpp>

#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include "session/abandoned_children.hpp"
#include "session/clock.hpp"
#include "session/eintr.hpp"
#include "session/session_state.hpp"
#include "session/system_error.hpp"

namespace ptypilot {

namespace {

// One waitpid, retried after signals. ECHILD (someone else reaped the child)
// becomes the ExceptionPty `echild` names, where one is given; every other
// failure is the operating-system error.
pid_t wait_for(pid_t pid, int& st, int options, const char* echild = nullptr) {
    const pid_t r = detail::retry_eintr([&] { return ::waitpid(pid, &st, options); });
    if (r == -1) {
        if (errno == ECHILD && echild != nullptr) throw ExceptionPty(echild);
        detail::throw_errno();
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

std::string no_child_message(const char* call) {
    return std::string(call) + " needs a child process, and this session is over a descriptor: it has none.";
}

// close() of a session over descriptors: nothing to wait for. Every number
// is given up whatever close() reports, and the first failure is reported.
void close_descriptors(spawn& s, detail::session_state& state) {
    int err = 0;
    for (detail::unique_fd* fd : {&state.master, &state.write_end}) {
        if (!*fd) continue;
        if (state.leave_open) {
            fd->release();
        } else if (::close(fd->release()) == -1 && errno != EINTR && err == 0) {
            err = errno;
        }
    }
    s.child_fd = -1;
    s.closed = true;
    if (err != 0) detail::throw_errno(err);
}

}  // namespace

bool detail::child_has_ended(const spawn& s) noexcept {
    siginfo_t info{};
    info.si_pid = 0;
    if (::waitid(P_PID, static_cast<id_t>(*s.pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) return true;
    return info.si_pid != 0;
}

bool detail::await_end(spawn& s, session_state& state, const deadline& until) {
    for (;;) {
        if (s.terminated) return true;
        const auto left = until.remaining();
        if (state.pidfd) {
            pollfd p{state.pidfd.get(), POLLIN, 0};
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

bool spawn::isalive() {
    if (state_->no_child) return !closed && !flag_eof;
    return check_alive(*this, flag_eof);
}

std::optional<int> spawn::wait() {
    if (state_->no_child) throw ExceptionPty(no_child_message("wait()"));
    if (!pid) throw ExceptionPty("Cannot wait for dead child process.");
    // An end recorded already (by isalive(), a read, close()) is the answer:
    // whether the child happened to end before this call must not decide
    // between a status and an error.
    if (terminated) return exitstatus;
    int st = 0;
    // The child may be taken away while this waits, as much as before.
    wait_for(*pid, st, 0, lost_child_in_wait);
    exitstatus = WEXITSTATUS(st);
    if (WIFEXITED(st) || WIFSIGNALED(st)) {
        record_end(*this, st);
    } else if (WIFSTOPPED(st)) {
        throw ExceptionPty(
            "Wait was called for a child process that is stopped. This is not supported. Is some "
            "other process attempting job control with our child pid?");
    }
    return exitstatus;
}

void spawn::kill(int sig) {
    if (state_->no_child) throw ExceptionPty(no_child_message("kill()"));
    // Once reaped the pid may belong to someone else: never signal it then.
    if (!check_alive(*this, false)) return;
    // Through the pidfd the signal reaches this child or nobody, even if
    // someone else reaped it and its pid was taken since.
    if (state_->pidfd) {
        detail::check(::syscall(SYS_pidfd_send_signal, state_->pidfd.get(), sig, nullptr, 0U));
        return;
    }
    detail::check(::kill(*pid, sig));
}

bool spawn::terminate(bool force) {
    // Nothing to end: what a caller of terminate() wants is already so.
    if (state_->no_child) return true;
    auto alive = [&] { return check_alive(*this, false); };
    // Each pause lasts until the child ends or delayafterterminate has
    // passed: the answer is the same as after the whole pause, only sooner.
    auto pause = [&] { detail::await_end(*this, *state_, detail::deadline(delayafterterminate)); };
    if (!alive()) return true;
    try {
        for (const int sig : {SIGHUP, SIGCONT, SIGINT}) {
            kill(sig);
            pause();
            if (!alive()) return true;
        }
        if (!force) return false;
        kill(SIGKILL);
        pause();
        return !alive();
    } catch (const std::system_error&) {
        pause();
        return !alive();
    }
}

void spawn::close(bool force) {
    if (closed) return;
    flush();
    if (state_->no_child) return close_descriptors(*this, *state_);
    if (state_->master) {
        // Whatever close() reports, the number is no longer ours.
        const int r = ::close(state_->master.release());
        if (r == -1 && errno != EINTR) detail::throw_errno();
    }
    // Up to delayafterclose for the child to go (most do once their terminal
    // is gone); one that has ended already costs no wait at all.
    detail::await_end(*this, *state_, detail::deadline(delayafterclose));
    // A child that has closed its terminal may still be finishing its work:
    // its exit status is worth the session's time-out, but no more, since
    // one that lives on (a daemon) would hold close() for ever.
    if (flag_eof) detail::await_end(*this, *state_, detail::deadline(detail::checked_timeout(timeout)));
    if (check_alive(*this, false) && !terminate(force))
        throw ExceptionPty("close() could not terminate the child using terminate()");
    state_->pidfd.reset();
    child_fd = -1;
    closed = true;
}

void detail::release(spawn& s, session_state& state) noexcept {
    reap_abandoned_children();
    if (s.closed) return;
    try {
        s.close();
    } catch (...) {
        // Release never reports; a failed close already did what it could.
    }
    // A SIGKILL can take a while to end a large process, longer than
    // close() waits; the child is sure to end, and someone must reap it.
    if (!state.no_child && s.pid && !s.terminated) abandon_child(*s.pid, std::move(state.pidfd));
}

spawn::~spawn() {
    if (state_) detail::release(*this, *state_);
}

}  // namespace ptypilot

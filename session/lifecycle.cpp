// Watching and ending the child's life.
#include <ptypilot/spawn.hpp>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <utility>

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
constexpr const char* lost_child_second =
    "isalive() encountered condition that should never happen. There was no child process. Did "
    "someone else call waitpid() on our process?";

// Writes the end of the child into the session's fields, once.
void record_end(spawn& s, detail::session_state& state, int wait_status) {
    s.status = wait_status;
    if (WIFEXITED(wait_status)) {
        s.exitstatus = WEXITSTATUS(wait_status);
        s.signalstatus.reset();
    } else {
        s.exitstatus.reset();
        s.signalstatus = WTERMSIG(wait_status);
    }
    s.terminated = true;
    // Reaped: the pid may be reused from now on, and the pidfd has served.
    state.pidfd.reset();
}

}  // namespace

bool spawn::isalive() {
    if (terminated) return false;
    const int options = flag_eof ? 0 : WNOHANG;
    int st = 0;
    pid_t r = wait_for(*pid, st, options, lost_child_first);
    if (r == 0) {
        r = wait_for(*pid, st, options, lost_child_second);
        if (r == 0) return true;
    }
    if (WIFEXITED(st) || WIFSIGNALED(st)) {
        record_end(*this, *state_, st);
        return false;
    }
    if (WIFSTOPPED(st))
        throw ExceptionPty(
            "isalive() encountered condition where child process is stopped. This is not supported. "
            "Is some other process attempting job control with our child pid?");
    return false;
}

std::optional<int> spawn::wait() {
    if (!isalive()) throw ExceptionPty("Cannot wait for dead child process.");
    int st = 0;
    wait_for(*pid, st, 0);
    exitstatus = WEXITSTATUS(st);
    if (WIFEXITED(st) || WIFSIGNALED(st)) {
        record_end(*this, *state_, st);
    } else if (WIFSTOPPED(st)) {
        throw ExceptionPty(
            "Wait was called for a child process that is stopped. This is not supported. Is some "
            "other process attempting job control with our child pid?");
    }
    return exitstatus;
}

void spawn::kill(int sig) {
    // Once reaped the pid may belong to someone else: never signal it then.
    if (isalive()) detail::check(::kill(*pid, sig));
}

bool spawn::terminate(bool force) {
    if (!isalive()) return true;
    try {
        for (const int sig : {SIGHUP, SIGCONT, SIGINT}) {
            kill(sig);
            detail::sleep_for(delayafterterminate);
            if (!isalive()) return true;
        }
        if (!force) return false;
        kill(SIGKILL);
        detail::sleep_for(delayafterterminate);
        return !isalive();
    } catch (const std::system_error&) {
        detail::sleep_for(delayafterterminate);
        return !isalive();
    }
}

void spawn::close(bool force) {
    if (closed) return;
    flush();
    if (state_->master) {
        // Whatever close() reports, the number is no longer ours.
        const int r = ::close(state_->master.release());
        if (r == -1 && errno != EINTR) detail::throw_errno();
    }
    detail::sleep_for(delayafterclose);
    // After end of file isalive() waits for the child's end, which a child
    // that closed its terminal but lives on may put off forever: closing
    // looks without waiting, and ends such a child like any other.
    struct restore_flag {
        bool& flag;
        bool saved;
        ~restore_flag() { flag = saved; }
    } keep_eof{flag_eof, std::exchange(flag_eof, false)};
    if (isalive() && !terminate(force))
        throw ExceptionPty("close() could not terminate the child using terminate()");
    child_fd = -1;
    closed = true;
}

spawn::~spawn() {
    if (state_ && !closed) {
        try {
            close();
        } catch (...) {
            // Release never reports; a failed close already did what it could.
        }
    }
}

}  // namespace ptypilot

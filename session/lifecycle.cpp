// Watching and ending the child's life.
#include <ptypilot/spawn.hpp>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <utility>

#include "session/clock.hpp"
#include "session/system_error.hpp"

namespace ptypilot {

namespace {

pid_t wait_for(pid_t pid, int* st, int options) {
    return detail::retry_eintr([&] { return ::waitpid(pid, st, options); });
}

}  // namespace

void spawn::record_end(int wait_status) {
    status = wait_status;
    if (WIFEXITED(wait_status)) {
        exitstatus = WEXITSTATUS(wait_status);
        signalstatus.reset();
    } else {
        exitstatus.reset();
        signalstatus = WTERMSIG(wait_status);
    }
    terminated = true;
    // Reaped: the pid may be reused from now on, and the pidfd has served.
    if (pidfd_ >= 0) {
        ::close(pidfd_);
        pidfd_ = -1;
    }
}

bool spawn::isalive() {
    if (terminated) return false;
    const int options = flag_eof ? 0 : WNOHANG;
    int st = 0;
    pid_t r = wait_for(*pid, &st, options);
    if (r == -1) {
        if (errno == ECHILD)
            throw ExceptionPty(
                "isalive() encountered condition where \"terminated\" is 0, but there was no child "
                "process. Did someone else call waitpid() on our process?");
        detail::throw_errno();
    }
    if (r == 0) {
        r = wait_for(*pid, &st, options);
        if (r == -1) {
            if (errno == ECHILD)
                throw ExceptionPty(
                    "isalive() encountered condition that should never happen. There was no child "
                    "process. Did someone else call waitpid() on our process?");
            detail::throw_errno();
        }
        if (r == 0) return true;
    }
    if (WIFEXITED(st) || WIFSIGNALED(st)) {
        record_end(st);
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
    if (wait_for(*pid, &st, 0) == -1) detail::throw_errno();
    exitstatus = WEXITSTATUS(st);
    if (WIFEXITED(st) || WIFSIGNALED(st)) {
        record_end(st);
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

void spawn::release_child_fd() noexcept { fd_released_ = true; }

void spawn::close(bool force) {
    if (closed) return;
    flush();
    if (!fd_released_) {
        const int r = ::close(child_fd);
        const int err = errno;
        // Whatever close() reports, the number is no longer ours.
        release_child_fd();
        if (r == -1 && err != EINTR) detail::throw_errno(err);
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
    if (!closed) {
        try {
            close();
        } catch (...) {
            // Release never reports; a failed close already did what it could.
        }
    }
    if (pidfd_ >= 0) ::close(pidfd_);
}

}  // namespace ptypilot

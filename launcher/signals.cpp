#include "launcher/signals.hpp"

#include <signal.h>

#include <atomic>

#include "os/self_pipe.hpp"

namespace ptypilot::launcher {

namespace {

constexpr int ending_signals[] = {SIGTERM, SIGHUP, SIGINT, SIGQUIT};
constexpr int job_control_signals[] = {SIGTSTP, SIGTTIN, SIGTTOU, SIGCONT};

std::atomic<int> inbox_write_fd{-1};
static_assert(std::atomic<int>::is_always_lock_free);
// Signals left ignored at start; written before any handler is installed.
sigset_t ignored_at_start;

void record(int sig) {
    detail::write_from_handler(inbox_write_fd.load(std::memory_order_relaxed),
                               static_cast<unsigned char>(sig));
}

void catch_once(int sig) {
    struct sigaction action {};
    action.sa_handler = record;
    ::sigemptyset(&action.sa_mask);
    // Without SA_RESTART a write to a terminal that takes nothing returns to
    // the relay, which then sees the signal instead of waiting on.
    action.sa_flags = SA_RESETHAND;
    ::sigaction(sig, &action, nullptr);
}

template <class F>
void for_each_caught(F f) {
    for (const int sig : ending_signals) f(sig);
    for (const int sig : job_control_signals) f(sig);
}

}  // namespace

signal_inbox::signal_inbox() {
    inbox_write_fd.store(pipe_.write_fd());
    ::sigemptyset(&ignored_at_start);
    for_each_caught([](int sig) {
        struct sigaction old {};
        if (::sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN)
            ::sigaddset(&ignored_at_start, sig);
        else
            catch_once(sig);
    });
}

signal_inbox::~signal_inbox() {
    for_each_caught([](int sig) {
        if (::sigismember(&ignored_at_start, sig) != 1) ::signal(sig, SIG_DFL);
    });
    inbox_write_fd.store(-1);
}

std::vector<int> signal_inbox::take() {
    const std::string bytes = pipe_.drain();
    std::vector<int> sigs;
    sigs.reserve(bytes.size());
    for (const char b : bytes) sigs.push_back(static_cast<unsigned char>(b));
    return sigs;
}

void signal_inbox::rearm(int sig) {
    if (::sigismember(&ignored_at_start, sig) != 1) catch_once(sig);
}

bool is_ending(int sig) {
    for (const int s : ending_signals)
        if (s == sig) return true;
    return false;
}

void raise_default(int sig) {
    // Ignored at start (a hang-up under nohup, say): the caller asked not to
    // be ended by it, and the launcher goes on to exit with a code.
    if (::sigismember(&ignored_at_start, sig) == 1) return;
    ::signal(sig, SIG_DFL);
    sigset_t only;
    ::sigemptyset(&only);
    ::sigaddset(&only, sig);
    ::sigprocmask(SIG_UNBLOCK, &only, nullptr);
    ::raise(sig);
}

}  // namespace ptypilot::launcher

// The signal names of the SSH connection protocol (RFC 4254, 6.10).
#include <csignal>
#include <iterator>
#include <string_view>

#include "ssh/remote_channel.hpp"

namespace ptypilot::ssh::detail {

namespace {

struct named_signal {
    int number;
    const char* name;
};

constexpr named_signal names[] = {
    {SIGABRT, "ABRT"}, {SIGALRM, "ALRM"}, {SIGFPE, "FPE"},   {SIGHUP, "HUP"},   {SIGILL, "ILL"},
    {SIGINT, "INT"},   {SIGKILL, "KILL"}, {SIGPIPE, "PIPE"}, {SIGQUIT, "QUIT"}, {SIGSEGV, "SEGV"},
    {SIGTERM, "TERM"}, {SIGUSR1, "USR1"}, {SIGUSR2, "USR2"},
};

}  // namespace

std::optional<int> signal_number(std::string_view name) noexcept {
    for (const named_signal& s : names)
        if (name == s.name) return s.number;
    return std::nullopt;
}

const char* signal_name(int sig) noexcept {
    for (const named_signal& s : names)
        if (sig == s.number) return s.name;
    return nullptr;
}

}  // namespace ptypilot::ssh::detail

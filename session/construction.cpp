// Construction and the small file-like operations.
#include <ptypilot/spawn.hpp>

#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <iostream>

#include "session/session_state.hpp"
#include "session/timeout_arg.hpp"

namespace ptypilot {

namespace {

std::string platform_name() {
    utsname u{};
    std::string name = ::uname(&u) == 0 ? u.sysname : "linux";
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return name;
}

}  // namespace

spawn::spawn(std::optional<std::string> command_, argument_list args_, std::optional<seconds_value> timeout_,
             int maxread_, std::optional<long> searchwindowsize_, std::ostream* logfile_,
             std::optional<std::string> cwd_, std::optional<env_map> env_) {
    stdin_ = &std::cin;
    stdout_ = &std::cout;
    stderr_ = &std::cerr;
    timeout = detail::in_seconds(timeout_);
    logfile = logfile_;
    maxread = maxread_;
    searchwindowsize = searchwindowsize_;
    cwd = std::move(cwd_);
    env = std::move(env_);
    state_->identity = detail::identity_of(this);
    name = "<" + identity() + ">";
    const std::string platform = platform_name();
    irix_hack = platform.find("irix") != std::string::npos;
    use_native_pty_fork =
        platform.find("solaris") == std::string::npos && platform.find("sunos5") == std::string::npos;
    if (!command_) {
        name = "<ptypilot factory incomplete>";
        return;
    }
    _spawn(std::move(*command_), std::move(args_).take());
}

detail::byte_source& detail::open_source(const spawn& s, const session_state& state) {
    if (!s.closed && state.source->input_fd() < 0)
        throw ExceptionPty("The session's terminal was released by a close() that could not end the child.");
    return *state.source;
}

spawn::spawn(std::optional<std::string> command_, const spawn_options& options)
    : spawn(std::move(command_), {}, options) {}

spawn::spawn(std::optional<std::string> command_, argument_list args_, const spawn_options& options)
    : spawn(std::nullopt, {}, options.timeout, options.maxread, options.searchwindowsize, options.logfile,
            options.cwd, options.env) {
    delaybeforesend = options.delaybeforesend.count();
    delayafterclose = options.delayafterclose.count();
    delayafterterminate = options.delayafterterminate.count();
    delayafterread = options.delayafterread.count();
    ignorecase = options.ignorecase;
    ignore_sighup = options.ignore_sighup;
    state_->start_window = options.window;
    if (options.screen) enable_screen(*options.screen);
    if (command_) _spawn(std::move(*command_), std::move(args_).take());
}

const std::string& spawn::before_str() const noexcept {
    static const std::string none;
    return before ? *before : none;
}

const std::string& spawn::after_str() const noexcept {
    static const std::string none;
    const auto* text = std::get_if<std::string>(&after);
    return text != nullptr ? *text : none;
}

bool spawn::isatty() const noexcept {
    // A released number may be someone else's terminal by now.
    if (!closed && state_->source->input_fd() < 0) return false;
    return state_->source->is_terminal();
}

void spawn::setmaxread(int) {
    throw ExceptionPty(
        "This method is no longer supported or allowed. Just assign a value to the maxread member "
        "variable.");
}

void spawn::setlog(std::ostream*) {
    throw ExceptionPty(
        "This method is no longer supported or allowed. Just assign a value to the logfile member "
        "variable.");
}

}  // namespace ptypilot

// Moving a session: its child, its descriptors and its identity go along.
#include <ptypilot/spawn.hpp>

#include "session/session_state.hpp"

namespace ptypilot {

namespace {

// Every field, in the order of the class. A field added to spawn must be
// added here too; the size check below is there to remind whoever adds one.
void take_fields(spawn& to, spawn& from) {
    to.STDIN_FILENO_ = from.STDIN_FILENO_;
    to.STDOUT_FILENO_ = from.STDOUT_FILENO_;
    to.STDERR_FILENO_ = from.STDERR_FILENO_;
    to.stdin_ = from.stdin_;
    to.stdout_ = from.stdout_;
    to.stderr_ = from.stderr_;
    to.searcher = std::move(from.searcher);
    to.ignorecase = from.ignorecase;
    to.before = std::move(from.before);
    to.after = std::move(from.after);
    to.match = std::move(from.match);
    to.match_index = from.match_index;
    to.terminated = from.terminated;
    to.exitstatus = from.exitstatus;
    to.signalstatus = from.signalstatus;
    to.status = from.status;
    to.flag_eof = from.flag_eof;
    to.pid = from.pid;
    to.child_fd = from.child_fd;
    to.timeout = from.timeout;
    to.delimiter = std::move(from.delimiter);
    to.logfile = from.logfile;
    to.logfile_read = from.logfile_read;
    to.logfile_send = from.logfile_send;
    to.maxread = from.maxread;
    to.buffer = std::move(from.buffer);
    to.searchwindowsize = from.searchwindowsize;
    to.delaybeforesend = from.delaybeforesend;
    to.delayafterclose = from.delayafterclose;
    to.delayafterterminate = from.delayafterterminate;
    to.delayafterread = from.delayafterread;
    to.softspace = from.softspace;
    to.name = std::move(from.name);
    to.encoding = std::move(from.encoding);
    to.closed = from.closed;
    to.cwd = std::move(from.cwd);
    to.env = std::move(from.env);
    to.irix_hack = from.irix_hack;
    to.use_native_pty_fork = from.use_native_pty_fork;
    to.ignore_sighup = from.ignore_sighup;
    to.command = std::move(from.command);
    to.args = std::move(from.args);
}
static_assert(sizeof(spawn) == 728, "spawn has changed: take_fields must move every field");

}  // namespace

spawn::spawn(spawn&& other) : state_(std::move(other.state_)) {
    take_fields(*this, other);
    // The session moved from is left like a closed one that never started.
    spawn fresh(std::nullopt);
    take_fields(other, fresh);
    other.state_ = std::move(fresh.state_);
    other.state_->identity = detail::identity_of(&other);
}

spawn& spawn::operator=(spawn&& other) {
    if (this == &other) return *this;
    detail::release(*this, *state_);  // as the destructor would
    spawn taken(std::move(other));
    take_fields(*this, taken);
    state_ = std::move(taken.state_);  // `taken` is left without one: its release does nothing
    return *this;
}

}  // namespace ptypilot

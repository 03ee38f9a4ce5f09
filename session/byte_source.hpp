// Where a session's bytes come from and go to: the one thing that differs
// between a child on a pseudo-terminal, a caller's descriptor, or any other
// peer. The expect loop, lines, logs, the screen, the waits over many
// sessions and the relay know a session's peer only through this.
//
// A new source derives from byte_source, defines the pure members (and those
// whose default does not fit), and becomes a session through session_over()
// below; the session owns it from then on. A source whose descriptor brings
// more than data (a secure channel's own messages) answers EAGAIN from
// read_some() when that is all a wake brought, and the wait goes on.
#pragma once

#include <poll.h>
#include <sys/types.h>

#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <utility>

#include <ptypilot/spawn.hpp>

#include "os/clock.hpp"

namespace ptypilot::detail {

class byte_source {
public:
    virtual ~byte_source() = default;
    byte_source() = default;
    byte_source(const byte_source&) = delete;
    byte_source& operator=(const byte_source&) = delete;

    // --- The bytes. ---

    // One read of what is ready, at most `into.size()` bytes, after a wait
    // said so: the count, 0 at the end of the stream, or -1 with errno
    // (EAGAIN: nothing after all, wait again; any other: the end too, as a
    // pty master's EIO once the child's side is closed by all). A source that
    // decodes what its descriptor brings (a secure channel) does that work
    // here.
    virtual ssize_t read_some(std::span<char> into) = 0;
    // Whether bytes wait inside the source already, where no descriptor
    // shows them (a channel's decrypted data): every wait asks this before
    // it sleeps, and reads at once when it is so.
    virtual bool pending() const { return false; }
    // All of `data` (send()), waiting for room, unless the peer ends first:
    // the count written, or -1 with errno. Stops at the peer's end rather
    // than sleep for ever on a terminal nobody reads.
    virtual ssize_t write(const spawn& s, std::string_view data) = 0;
    // One write that never waits (the relay, which waits in its own poll):
    // the count, or -1 with errno (EAGAIN: no room now).
    virtual ssize_t write_some(std::string_view data) = 0;
    // Reads and writes never block while on (the relay drains what an ended
    // child left without waiting); off puts the caller's mode back.
    virtual void set_nonblocking(bool on) = 0;

    // --- What to wait on. ---

    // The descriptor whose readiness brings input (what fileno() shows), and
    // the events to wait for on it; -1 once released.
    virtual int input_fd() const = 0;
    virtual short input_events() const { return POLLIN; }
    // Where room to write shows (POLLOUT); the input's descriptor, or the
    // write end of a pipe pair.
    virtual int output_fd() const { return input_fd(); }
    // Turns readable when the peer's life ends apart from the stream (a
    // child's pidfd; a child that ends while a process it left keeps the
    // terminal open never ends the stream); -1 without one.
    virtual int end_fd() const { return -1; }
    // How often a wait looks at has_ended() when the peer can end unseen by
    // every descriptor (a child without a pidfd); no value: never needed.
    virtual std::optional<double> end_poll_interval() const { return std::nullopt; }

    // --- The peer's life. The fields of `s` (pid, exitstatus, terminated,
    // closed, ...) are filled by the source where they apply. ---

    // Whether a process's life, watched apart from the stream, decides when
    // the session ends; without one the end of the stream is the end.
    virtual bool has_child() const noexcept { return false; }
    // Whether the child has ended, without reaping it.
    virtual bool has_ended(const spawn& /*s*/) const noexcept { return true; }
    // Waits until the child ends or `until` passes, without reaping it;
    // whether it has ended.
    virtual bool await_end(spawn& /*s*/, const deadline& /*until*/) { return true; }
    // isalive(), wait(), kill(), terminate() and close() of the session.
    virtual bool alive(spawn& s) = 0;
    virtual std::optional<int> wait(spawn& s) = 0;
    virtual void kill(spawn& s, int sig) = 0;
    virtual bool terminate(spawn& s, bool force) = 0;
    virtual void close(spawn& s, bool force) = 0;
    // After a release's close: what must outlive the session (a child still
    // ending, to be reaped later).
    virtual void release(spawn& /*s*/) noexcept {}

    // --- The terminal, where there is one. ---

    // The descriptor whose terminal settings are the peer's (echo, the
    // end-of-file character); -1 without one.
    virtual int terminal_fd() const { return input_fd(); }
    virtual bool is_terminal() const noexcept;
    // The window size; throws std::system_error without a terminal.
    virtual std::pair<int, int> window() const;
    // Sets the window size; false when the peer has no terminal to size
    // (the session's screen alone takes it then).
    virtual bool set_window(unsigned short rows, unsigned short columns);

protected:
    // set_nonblocking() of one descriptor: `saved` keeps its mode while on.
    static void hold_nonblocking(int fd, int& saved, bool on) noexcept;
};

// A session over `source`, with its settings taken from `options` as for a
// child, open from now on (child_fd shows the source's input): how every
// byte source but the pty child becomes a session. The caller names it
// (`name`) and fills the fields that apply (pid, ...). When the session
// cannot be made (bad options), the source is destroyed with the error.
spawn session_over(std::unique_ptr<byte_source> source, const spawn_options& options);
// The same for a session made already (`spawn s(std::nullopt, options)`),
// for a source that must not be made before the session is (one that would
// close what the caller gave it when destroyed).
void attach(spawn& s, std::unique_ptr<byte_source> source) noexcept;

// The source of a session not started yet: a pty child without a terminal.
std::unique_ptr<byte_source> unstarted_child();

}  // namespace ptypilot::detail

// Failed system calls as std::system_error whose text reads
// "[Errno N] <strerror text>".
#pragma once

#include <cerrno>
#include <string>
#include <system_error>

#include <ptypilot/export.hpp>

namespace ptypilot::detail {

std::string errno_text(int err);

// Exported from a shared build although internal: the launcher throws
// through it.
[[noreturn]] PTYPILOT_API void throw_errno(int err);
// The same error with a text of its own, for messages that name the step
// that failed ("Error! pty.fork() failed: [Errno 24] ...").
[[noreturn]] void throw_errno(int err, std::string text);
[[noreturn]] inline void throw_errno() { throw_errno(errno); }

// For calls that return -1 and set errno.
template <class T>
T check(T result) {
    if (result == static_cast<T>(-1)) throw_errno();
    return result;
}

}  // namespace ptypilot::detail

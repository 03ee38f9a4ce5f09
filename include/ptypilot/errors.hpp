/// \file
/// Error types of the engine, and the two sentinels: end of file and the
/// time-out as outcomes of an expect call instead of errors.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <ptypilot/export.hpp>

namespace ptypilot {

/// The base of the engine's own errors; a handler for it catches EOF_ and
/// TIMEOUT too. (Failing system calls are std::system_error instead.)
class PTYPILOT_API ExceptionPty : public std::runtime_error {
public:
    /// An error with the message `value`; it records the call stack for
    /// get_trace().
    explicit ExceptionPty(const std::string& value);

    /// The message the error was thrown with; what() returns the same text.
    std::string value;

    /// The call stack at the point the error was made, one frame per line,
    /// leaving out the frames that lie inside ptypilot itself.
    std::string get_trace() const;

private:
    std::shared_ptr<const std::vector<void*>> frames_;
};

/// End of file from the child: thrown by reading once the child's side of the
/// terminal has ended, and by the expect calls when their pattern list does
/// not name sentinel::eof. Spelled with a trailing underscore because EOF
/// is a C macro; every text the system prints still says "EOF".
class PTYPILOT_API EOF_ : public ExceptionPty {
public:
    /// An end-of-file error with the message `value`.
    explicit EOF_(const std::string& value = "EOF");
};

/// The time ran out: thrown by reading when nothing arrived in time, and by
/// the expect calls when their pattern list does not name sentinel::timeout.
class PTYPILOT_API TIMEOUT : public ExceptionPty {
public:
    /// A time-out error with the message `value`.
    explicit TIMEOUT(const std::string& value = "TIMEOUT");
};

/// The two error kinds as values: what a pattern list, `after` and `match`
/// hold when end of file or a time-out is itself the outcome. Write
/// `sentinel::eof` and `sentinel::timeout` in a pattern list; `EOF_{}` and
/// `TIMEOUT{}` mean the same there but build an error object (message, stack)
/// each time.
enum class sentinel {
    eof,     ///< End of file from the child (the kind of EOF_).
    timeout  ///< The time ran out (the kind of TIMEOUT).
};

/// "ptypilot::EOF_" or "ptypilot::TIMEOUT": the sentinel as the text dump
/// shows it.
PTYPILOT_API std::string to_string(sentinel s);

}  // namespace ptypilot

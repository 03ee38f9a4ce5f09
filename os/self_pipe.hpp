// A pipe that a signal handler writes to and a loop watches: the handler
// only records, the loop does the work.
#pragma once

#include <string>

#include <ptypilot/export.hpp>

#include "os/unique_fd.hpp"

namespace ptypilot::detail {

// Both ends non-blocking and close-on-exec, and kept off 0-2, where a relay
// would read its own pipe as the user's terminal. Exported from a shared
// build although internal: the launcher's signals use it too.
class PTYPILOT_API self_pipe {
public:
    // Throws std::system_error when no pipe can be made.
    self_pipe();

    int read_fd() const noexcept { return read_.get(); }
    int write_fd() const noexcept { return write_.get(); }
    // Everything written since the last call, in order; nothing when none.
    std::string drain();
    // Empties it, for a reader to whom any number of bytes means one thing.
    void discard() noexcept;

private:
    unique_fd read_;
    unique_fd write_;
};

// What a handler calls: one byte to `fd` (-1: none), errno left as it was.
// A full pipe already holds the news, so a byte that does not fit is dropped.
PTYPILOT_API void write_from_handler(int fd, unsigned char byte) noexcept;

}  // namespace ptypilot::detail

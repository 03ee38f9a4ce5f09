// Keeping the library's own descriptors off 0-2.
#pragma once

#include <fcntl.h>

#include <cerrno>

#include "os/unique_fd.hpp"

namespace ptypilot::detail {

// A caller that closed its standard streams leaves 0-2 free, where a
// descriptor the library makes would pass for one of them: a relay would
// read its own pipe as the keyboard, or a child would overwrite it with its
// terminal. Moves such a descriptor above 2 (still close-on-exec); returns an
// empty one, errno set, when no number above 2 is free.
inline unique_fd off_standard_streams(unique_fd fd) noexcept {
    if (fd && fd.get() <= 2) {
        const int moved = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, 3);
        const int err = errno;
        fd.reset(moved);
        errno = err;
    }
    return fd;
}

}  // namespace ptypilot::detail

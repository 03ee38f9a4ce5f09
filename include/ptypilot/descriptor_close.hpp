/// \file
/// What closing a session over a caller's descriptor does with it
/// (spawn::from_fd(), spawn::from_fds()).
#pragma once

namespace ptypilot {

/// What close() does with the descriptors a session was made over.
enum class descriptor_close {
    close,  ///< close() closes them: the session owns them from the start.
    leave,  ///< close() leaves them open: they stay the caller's.
};

}  // namespace ptypilot

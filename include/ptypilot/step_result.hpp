/// \file
/// What one step of an expect call found, for sessions driven by an event
/// loop (spawn::expect_step()).
#pragma once

#include <cstddef>

#include <ptypilot/export.hpp>

namespace ptypilot {

/// What a step of an expect call ended with.
enum class step_status {
    /// No outcome yet: wait until one of the session's descriptors
    /// (spawn::wait_descriptors()) turns readable, or spawn::step_interval()
    /// passes when it has a value, then step again. The fields of the last outcome are
    /// untouched; what was read waits in `buffer`.
    nothing,
    /// A pattern matched: `before`, `after`, `match` and `match_index` are set
    /// as expect() sets them. Step again before waiting: the rest of the
    /// buffer may hold the next match already.
    matched,
    /// End of file: the fields are set as expect() sets them at end of file,
    /// whether or not the list names sentinel::eof (nothing is thrown).
    eof,
};

/// The report of spawn::expect_step().
struct PTYPILOT_API step_result {
    /// What the step ended with.
    step_status status = step_status::nothing;
    /// List position of the entry satisfied (of sentinel::eof at end of file);
    /// -1 with `nothing`, and at an end of file that the list does not name.
    int index = -1;
    /// Bytes the step read; 0 when it found nothing waiting. An edge-triggered
    /// loop (EPOLLET) steps until a step reports `nothing` with 0 here before
    /// it waits again.
    std::size_t bytes_read = 0;
};

}  // namespace ptypilot

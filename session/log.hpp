// Copies of the data read from and sent to the child.
#pragma once

#include <ios>
#include <ostream>
#include <string_view>

namespace ptypilot::detail {

// Writes and flushes at once, so a log is whole up to the moment of a crash.
// A stream that fails is an error of the operation that logged.
inline void log_chunk(std::ostream* stream, std::string_view data) {
    if (stream == nullptr) return;
    stream->write(data.data(), static_cast<std::streamsize>(data.size()));
    stream->flush();
    if (!*stream) throw std::ios_base::failure("writing to a log stream failed");
}

}  // namespace ptypilot::detail

// Terminal escape sequences taken out of a stream of output, by libvterm's
// parser, so that a sequence cut between two reads is still recognised.
#pragma once

#include <string>
#include <string_view>

#include "screen/vterm_guard.hpp"

struct VTerm;

namespace ptypilot::detail {

class escape_filter {
public:
    escape_filter();
    ~escape_filter();
    escape_filter(const escape_filter&) = delete;
    escape_filter& operator=(const escape_filter&) = delete;

    // Appends to `out` what `bytes` hold besides escape sequences (and NUL,
    // DEL, CAN and SUB, which a terminal does not show either). A sequence
    // left unfinished at the end is finished, and dropped, by the next call.
    void strip(std::string_view bytes, std::string& out);

private:
    VTerm* vt_ = nullptr;
    std::string* out_ = nullptr;
    vterm_guard guard_{false};

    friend struct escape_filter_callbacks;
};

}  // namespace ptypilot::detail

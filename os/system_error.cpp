#include "os/system_error.hpp"

#include <cstring>

namespace ptypilot::detail {

namespace {

// system_error appends ": <category message>" to whatever it is given, so the
// message that callers see is built here and returned from what() directly.
class errno_error : public std::system_error {
public:
    errno_error(int err, std::string text)
        : std::system_error(err, std::generic_category()), text_(std::move(text)) {}
    const char* what() const noexcept override { return text_.c_str(); }

private:
    std::string text_;
};

}  // namespace

std::string errno_text(int err) {
    char buf[256];
    // GNU strerror_r: returns a pointer that may or may not be buf.
    const char* msg = ::strerror_r(err, buf, sizeof buf);
    return "[Errno " + std::to_string(err) + "] " + msg;
}

void throw_errno(int err) { throw errno_error(err, errno_text(err)); }

void throw_errno(int err, std::string text) { throw errno_error(err, std::move(text)); }

}  // namespace ptypilot::detail

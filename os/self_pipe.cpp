#include "os/self_pipe.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "os/off_standard_streams.hpp"
#include "os/system_error.hpp"

namespace ptypilot::detail {

self_pipe::self_pipe() {
    int fds[2];
    check(::pipe2(fds, O_CLOEXEC | O_NONBLOCK));
    read_ = off_standard_streams(unique_fd(fds[0]));
    write_ = off_standard_streams(unique_fd(fds[1]));
    if (!read_ || !write_) throw_errno();
}

std::string self_pipe::drain() {
    std::string got;
    char buf[64];
    for (;;) {
        const ssize_t n = ::read(read_.get(), buf, sizeof buf);
        if (n <= 0) break;
        got.append(buf, static_cast<std::size_t>(n));
    }
    return got;
}

void self_pipe::discard() noexcept {
    char buf[64];
    while (::read(read_.get(), buf, sizeof buf) > 0) {}
}

void write_from_handler(int fd, unsigned char byte) noexcept {
    const int saved = errno;
    if (fd >= 0) (void)!::write(fd, &byte, 1);
    errno = saved;
}

}  // namespace ptypilot::detail

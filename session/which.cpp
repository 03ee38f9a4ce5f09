#include <ptypilot/which.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "session/which_in.hpp"

namespace ptypilot {

namespace {

// Without the caller's own PATH, the search list execvp uses: the current
// directory is searched only when the caller asks for it.
constexpr const char* default_path = "/bin:/usr/bin";

bool executable(int dir_fd, const std::string& path) {
    return ::faccessat(dir_fd, path.c_str(), X_OK, 0) == 0;
}

// A searchable directory passes the X_OK test too; along the search path it
// must not hide the program of that name further on (execvp passes over it
// as well).
bool executable_file(int dir_fd, const std::string& path) {
    struct stat st {};
    return executable(dir_fd, path) && ::fstatat(dir_fd, path.c_str(), &st, 0) == 0 && !S_ISDIR(st.st_mode);
}

std::string join(const std::string& dir, const std::string& name) {
    if (!name.empty() && name.front() == '/') return name;
    if (dir.empty() || dir.back() == '/') return dir + name;
    return dir + "/" + name;
}

}  // namespace

std::optional<std::string> detail::which_in(int dir_fd, const std::string& filename) {
    // A name with a directory part is tried as it stands first, but a miss
    // still falls through to the search, as a bare name would.
    if (filename.find('/') != std::string::npos && executable(dir_fd, filename)) return filename;

    const char* env_path = std::getenv("PATH");
    std::string path = (env_path != nullptr && *env_path != '\0') ? env_path : default_path;

    std::size_t begin = 0;
    for (;;) {
        const std::size_t colon = path.find(':', begin);
        const std::string dir =
            path.substr(begin, colon == std::string::npos ? std::string::npos : colon - begin);
        // An empty entry joins to the bare name: the current directory.
        std::string candidate = join(dir, filename);
        if (executable_file(dir_fd, candidate)) return candidate;
        if (colon == std::string::npos) break;
        begin = colon + 1;
    }
    return std::nullopt;
}

std::optional<std::string> which(const std::string& filename) { return detail::which_in(AT_FDCWD, filename); }

}  // namespace ptypilot

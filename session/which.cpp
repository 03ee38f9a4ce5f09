#include <ptypilot/which.hpp>

#include <unistd.h>

#include <cstdlib>

namespace ptypilot {

namespace {

bool executable(const std::string& path) { return ::access(path.c_str(), X_OK) == 0; }

std::string join(const std::string& dir, const std::string& name) {
    if (!name.empty() && name.front() == '/') return name;
    if (dir.empty() || dir.back() == '/') return dir + name;
    return dir + "/" + name;
}

}  // namespace

std::optional<std::string> which(const std::string& filename) {
    // A name with a directory part is tried as it stands first, but a miss
    // still falls through to the search, as a bare name would.
    if (filename.find('/') != std::string::npos && executable(filename)) return filename;

    const char* env_path = std::getenv("PATH");
    std::string path = (env_path != nullptr && *env_path != '\0') ? env_path : ":/bin:/usr/bin";

    std::size_t begin = 0;
    for (;;) {
        const std::size_t colon = path.find(':', begin);
        const std::string dir =
            path.substr(begin, colon == std::string::npos ? std::string::npos : colon - begin);
        // An empty entry joins to the bare name: the current directory.
        std::string candidate = join(dir, filename);
        if (executable(candidate)) return candidate;
        if (colon == std::string::npos) break;
        begin = colon + 1;
    }
    return std::nullopt;
}

}  // namespace ptypilot

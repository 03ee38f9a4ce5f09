// Stand-ins for the hosts and programs the README's snippets name (a remote
// login, passwd): small shell scripts put first on PATH, so that a snippet
// runs as written, anywhere, and changes nothing real.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace examples {

// The stand-ins go when the program ends.
struct stand_in_dir {
    std::string path;
    std::vector<std::string> files;
    ~stand_in_dir() {
        for (const auto& f : files) ::unlink(f.c_str());
        if (!path.empty()) ::rmdir(path.c_str());
    }
};

// Writes `script` (run by /bin/sh) as the program `name` in a directory of
// its own put first on PATH; a later lookup of `name` finds it.
inline void stand_in(const std::string& name, const std::string& script) {
    static stand_in_dir dir;
    if (dir.path.empty()) {
        std::string pattern = "/tmp/ptypilot-stand-in-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        const char* path = std::getenv("PATH");
        ::setenv("PATH", (pattern + ":" + (path ? path : "/usr/bin:/bin")).c_str(), 1);
        dir.path = pattern;
    }
    const std::string file = dir.path + "/" + name;
    dir.files.push_back(file);
    std::ofstream(file) << "#!/bin/sh\n" << script;
    if (::chmod(file.c_str(), 0700) != 0) throw std::runtime_error("chmod failed on " + file);
}

}  // namespace examples

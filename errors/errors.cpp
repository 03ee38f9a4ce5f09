#include <ptypilot/errors.hpp>

#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>

#include <cstdio>
#include <cstdlib>

namespace ptypilot {

namespace {

std::shared_ptr<const std::vector<void*>> capture_frames() {
    void* frames[64];
    const int n = ::backtrace(frames, 64);
    return std::make_shared<const std::vector<void*>>(frames, frames + (n > 0 ? n : 0));
}

std::string demangle(const char* symbol) {
    int status = 0;
    char* plain = abi::__cxa_demangle(symbol, nullptr, nullptr, &status);
    std::string out = (status == 0 && plain != nullptr) ? plain : symbol;
    std::free(plain);
    return out;
}

}  // namespace

ExceptionPty::ExceptionPty(const std::string& message)
    : std::runtime_error(message), value(message), frames_(capture_frames()) {}

std::string ExceptionPty::get_trace() const {
    std::string out;
    if (!frames_) return out;
    for (void* frame : *frames_) {
        Dl_info info{};
        std::string function = "??";
        std::string file = "??";
        std::uintptr_t offset = 0;
        if (::dladdr(frame, &info) != 0) {
            if (info.dli_fname != nullptr) file = info.dli_fname;
            if (info.dli_sname != nullptr) function = demangle(info.dli_sname);
            offset =
                reinterpret_cast<std::uintptr_t>(frame) - reinterpret_cast<std::uintptr_t>(info.dli_fbase);
        }
        // The engine's own frames say nothing about where the caller went wrong.
        if (function.rfind("ptypilot::", 0) == 0) continue;
        char where[32];
        std::snprintf(where, sizeof where, "+0x%zx", static_cast<std::size_t>(offset));
        out += "  File \"" + file + "\", at " + where + ", in " + function + "\n";
    }
    return out;
}

EOF_::EOF_(const std::string& message) : ExceptionPty(message) {}

TIMEOUT::TIMEOUT(const std::string& message) : ExceptionPty(message) {}

std::string to_string(sentinel s) { return s == sentinel::eof ? "ptypilot::EOF_" : "ptypilot::TIMEOUT"; }

}  // namespace ptypilot

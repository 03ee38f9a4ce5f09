// The session's text dump: the identity and 26 lines of fields.
#include <ptypilot/spawn.hpp>

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <ostream>

#include "session/session_state.hpp"

namespace ptypilot {

namespace {

std::string text(bool b) { return b ? "True" : "False"; }

std::string text(int v);
std::string text(long v) { return std::to_string(v); }
std::string text(double v);

template <class T>
std::string text(const std::optional<T>& v) {
    if (!v) return "None";
    if constexpr (std::is_same_v<T, std::string>)
        return *v;
    else
        return text(*v);
}

std::string text(int v) { return std::to_string(v); }

std::string text(double v) {
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
    return ec == std::errc() ? std::string(buf, end) : std::to_string(v);
}

std::string address_text(const void* p) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%lx", static_cast<unsigned long>(reinterpret_cast<std::uintptr_t>(p)));
    return buf;
}

std::string text(std::ostream* stream) {
    if (stream == nullptr) return "None";
    return "<std::ostream object at " + address_text(stream) + ">";
}

std::string last_100(const std::string& s) { return s.size() <= 100 ? s : s.substr(s.size() - 100); }

std::string text(const after_value& v) {
    if (const auto* s = std::get_if<std::string>(&v)) return *s;
    if (const auto* k = std::get_if<sentinel>(&v)) return to_string(*k);
    return "None";
}

std::string text(const match_value& v) {
    if (const auto* m = std::get_if<match_result>(&v)) {
        return "<ptypilot.match_result object; span=(" + std::to_string(m->start()) + ", " +
               std::to_string(m->end()) + "), match='" + m->str() + "'>";
    }
    if (const auto* k = std::get_if<sentinel>(&v)) return to_string(*k);
    return "None";
}

std::string text(const std::optional<std::vector<std::string>>& words) {
    if (!words) return "None";
    std::string out = "[";
    for (std::size_t i = 0; i < words->size(); ++i) {
        if (i != 0) out += ", ";
        out += "'" + (*words)[i] + "'";
    }
    return out + "]";
}

}  // namespace

std::string detail::identity_of(const void* address) {
    return "<ptypilot.spawn object at " + address_text(address) + ">";
}

std::string spawn::identity() const {
    // A session moved from names itself where it is when first asked; from
    // then on the name travels with it as any other's does.
    if (state_->identity.empty()) state_->identity = detail::identity_of(this);
    return state_->identity;
}

std::string spawn::str() const {
    std::string s;
    s += identity() + "\n";
    s += std::string("version: ") + version + " (" + revision + ")\n";
    s += "command: " + text(command) + "\n";
    s += "args: " + text(args) + "\n";
    s += "searcher: " + (searcher ? searcher->str() : std::string("None")) + "\n";
    s += "buffer (last 100 chars): " + last_100(buffer) + "\n";
    s += "before (last 100 chars): " + last_100(before.value_or("None")) + "\n";
    s += "after: " + text(after) + "\n";
    s += "match: " + text(match) + "\n";
    s += "match_index: " + text(match_index) + "\n";
    s += "exitstatus: " + text(exitstatus) + "\n";
    s += "flag_eof: " + text(flag_eof) + "\n";
    s += "pid: " + text(pid) + "\n";
    s += "child_fd: " + text(child_fd) + "\n";
    s += "closed: " + text(closed) + "\n";
    s += "timeout: " + text(timeout) + "\n";
    s += "delimiter: " + to_string(delimiter) + "\n";
    s += "logfile: " + text(logfile) + "\n";
    s += "logfile_read: " + text(logfile_read) + "\n";
    s += "logfile_send: " + text(logfile_send) + "\n";
    s += "maxread: " + text(maxread) + "\n";
    s += "ignorecase: " + text(ignorecase) + "\n";
    s += "searchwindowsize: " + text(searchwindowsize) + "\n";
    s += "delaybeforesend: " + text(delaybeforesend) + "\n";
    s += "delayafterclose: " + text(delayafterclose) + "\n";
    s += "delayafterterminate: " + text(delayafterterminate);
    return s;
}

std::ostream& operator<<(std::ostream& os, const spawn& s) { return os << s.str(); }

}  // namespace ptypilot

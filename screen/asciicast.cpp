// Writing asciicast v2: header, output, input and resize events, times in
// seconds since the start.
#include "screen/asciicast.hpp"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <system_error>

namespace ptypilot::detail {

namespace {

std::size_t sequence_length(unsigned char lead) {
    if (lead < 0x80) return 1;
    if (lead >= 0xc2 && lead < 0xe0) return 2;
    if (lead >= 0xe0 && lead < 0xf0) return 3;
    if (lead >= 0xf0 && lead < 0xf5) return 4;
    return 0;  // a continuation byte or a lead UTF-8 no longer has
}

// Whether bytes[i, i + n) is one valid UTF-8 character: no overlong form, no
// surrogate, nothing past U+10FFFF.
bool valid_character(std::string_view bytes, std::size_t i, std::size_t n) {
    for (std::size_t k = 1; k < n; ++k)
        if ((static_cast<unsigned char>(bytes[i + k]) & 0xc0) != 0x80) return false;
    const auto b0 = static_cast<unsigned char>(bytes[i]);
    const auto b1 = n > 1 ? static_cast<unsigned char>(bytes[i + 1]) : 0;
    if (n == 3 && b0 == 0xe0 && b1 < 0xa0) return false;
    if (n == 3 && b0 == 0xed && b1 >= 0xa0) return false;
    if (n == 4 && b0 == 0xf0 && b1 < 0x90) return false;
    if (n == 4 && b0 == 0xf4 && b1 >= 0x90) return false;
    return true;
}

// `bytes` as a JSON string; a byte that begins no valid character becomes
// U+FFFD, as terminals show it.
std::string json_string(std::string_view bytes) {
    std::string out = "\"";
    for (std::size_t i = 0; i < bytes.size();) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        const std::size_t n = sequence_length(c);
        if (n == 0 || i + n > bytes.size() || !valid_character(bytes, i, n)) {
            out += "\xef\xbf\xbd";
            ++i;
            continue;
        }
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7f) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out.append(bytes.substr(i, n));
        }
        i += n;
    }
    return out + "\"";
}

// How many bytes at the end of `bytes` begin a character they do not finish.
std::size_t unfinished(std::string_view bytes) {
    for (std::size_t back = 1; back <= 3 && back <= bytes.size(); ++back) {
        const auto c = static_cast<unsigned char>(bytes[bytes.size() - back]);
        if ((c & 0xc0) == 0x80) continue;
        const std::size_t n = sequence_length(c);
        return n > back ? back : 0;
    }
    return 0;
}

}  // namespace

asciicast_writer::asciicast_writer(std::ostream& out, int rows, int columns, const std::string& term)
    : out_(&out) {
    header(rows, columns, term);
}

asciicast_writer::asciicast_writer(const std::string& path, int rows, int columns, const std::string& term)
    : file_(std::make_unique<std::ofstream>(path, std::ios::binary | std::ios::trunc)), out_(file_.get()) {
    if (!*file_)
        throw std::system_error(errno, std::generic_category(), "cannot create the recording " + path);
    header(rows, columns, term);
}

void asciicast_writer::header(int rows, int columns, const std::string& term) {
    line("{\"version\": 2, \"width\": " + std::to_string(columns) + ", \"height\": " + std::to_string(rows) +
         ", \"timestamp\": " + std::to_string(static_cast<long long>(std::time(nullptr))) +
         ", \"env\": {\"TERM\": " + json_string(term) + "}}");
}

void asciicast_writer::event(char kind, std::string_view bytes, std::string& held) {
    std::string joined;
    if (!held.empty()) {
        joined = held + std::string(bytes);
        bytes = joined;
    }
    const std::size_t cut = unfinished(bytes);
    std::string rest(bytes.substr(bytes.size() - cut));
    bytes.remove_suffix(cut);
    if (!bytes.empty()) stamp(kind, bytes);
    held = std::move(rest);
}

void asciicast_writer::stamp(char kind, std::string_view data) {
    const double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    char time[32];
    std::snprintf(time, sizeof time, "%.6f", t);
    line(std::string("[") + time + ", \"" + kind + "\", " + json_string(data) + "]");
}

void asciicast_writer::resize(int rows, int columns) {
    stamp('r', std::to_string(columns) + "x" + std::to_string(rows));
}

void asciicast_writer::line(const std::string& text) {
    out_->write(text.data(), static_cast<std::streamsize>(text.size()));
    out_->put('\n');
    out_->flush();
    if (!*out_) throw std::ios_base::failure("writing the recording failed");
}

}  // namespace ptypilot::detail

// Stripping escape sequences with libvterm's parser alone: no screen behind it.
#include "screen/escape_filter.hpp"

#include <vterm.h>

#include <algorithm>
#include <climits>
#include <new>

#include <ptypilot/screen.hpp>

namespace ptypilot::detail {

struct escape_filter_callbacks {
    // The parser hands over everything from the first printable byte to the
    // end of its input and expects the printable run to be taken: it stops
    // at a control character, which comes back through control().
    static int text(const char* bytes, std::size_t len, void* user) {
        // The count goes back as an int; the rest of a longer run comes again.
        len = std::min<std::size_t>(len, INT_MAX);
        std::size_t n = 0;
        while (n < len) {
            const auto c = static_cast<unsigned char>(bytes[n]);
            if (c < 0x20 || c == 0x7f) break;
            ++n;
        }
        static_cast<escape_filter*>(user)->out_->append(bytes, n);
        return static_cast<int>(n);
    }
    static int control(unsigned char c, void* user) {
        static_cast<escape_filter*>(user)->out_->push_back(static_cast<char>(c));
        return 1;
    }
    static int drop_escape(const char*, std::size_t, void*) { return 1; }
    static int drop_csi(const char*, const long[], int, const char*, char, void*) { return 1; }
    static int drop_string(const char*, std::size_t, void*) { return 1; }
    static int drop_resize(int, int, void*) { return 1; }

    static constexpr VTermParserCallbacks table = {
        text, control, drop_escape, drop_csi, drop_string, drop_string, drop_resize,
    };
};

escape_filter::escape_filter() {
    // The size matters to nothing here: no screen is attached.
    vt_ = vterm_new(1, 1);
    if (vt_ == nullptr) throw std::bad_alloc();
    // In UTF-8 mode the bytes 0x80-0x9f are parts of characters, not C1
    // controls, and pass through as text.
    vterm_set_utf8(vt_, 1);
    vterm_parser_set_callbacks(vt_, &escape_filter_callbacks::table, this);
}

escape_filter::~escape_filter() { vterm_free(vt_); }

void escape_filter::strip(std::string_view bytes, std::string& out) {
    std::string guarded;
    bytes = guard_.pass(bytes, guarded);
    out_ = &out;
    vterm_input_write(vt_, bytes.data(), bytes.size());
    out_ = nullptr;
}

}  // namespace ptypilot::detail

std::string ptypilot::strip_escapes(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    detail::escape_filter().strip(bytes, out);
    return out;
}

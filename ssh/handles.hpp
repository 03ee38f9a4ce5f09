// Sole owners of libssh's objects, each freed by its own call.
#pragma once

#include <libssh/libssh.h>

#include <memory>

namespace ptypilot::ssh::detail {

struct session_free {
    // A session that got as far as connecting says goodbye before its
    // socket is closed; the server then ends its side at once.
    void operator()(ssh_session s) const noexcept {
        if (ssh_is_connected(s)) ssh_disconnect(s);
        ssh_free(s);
    }
};
struct channel_free {
    void operator()(ssh_channel c) const noexcept { ssh_channel_free(c); }
};
struct key_free {
    void operator()(ssh_key k) const noexcept { ssh_key_free(k); }
};
struct text_free {
    void operator()(char* t) const noexcept { ssh_string_free_char(t); }
};
struct hash_free {
    void operator()(unsigned char* h) const noexcept { ssh_clean_pubkey_hash(&h); }
};

struct event_free {
    void operator()(ssh_event e) const noexcept { ssh_event_free(e); }
};

using session_ptr = std::unique_ptr<ssh_session_struct, session_free>;
using channel_ptr = std::unique_ptr<ssh_channel_struct, channel_free>;
using key_ptr = std::unique_ptr<ssh_key_struct, key_free>;
using text_ptr = std::unique_ptr<char, text_free>;
using hash_ptr = std::unique_ptr<unsigned char, hash_free>;
using event_ptr = std::unique_ptr<ssh_event_struct, event_free>;

}  // namespace ptypilot::ssh::detail

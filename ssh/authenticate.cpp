#include "ssh/authenticate.hpp"

#include <string>
#include <vector>

namespace ptypilot::ssh::detail {

namespace {

// Answers are overwritten once sent: a secret lingers in no freed memory
// that a later allocation (and a log of it) could show.
struct secret {
    std::string text;
    secret() = default;
    secret(const secret&) = delete;
    secret& operator=(const secret&) = delete;
    ~secret() {
        volatile char* p = text.data();
        for (std::size_t i = 0; i < text.size(); ++i) p[i] = 0;
    }
};

// Whether the step succeeded; false when it was refused; throws when the
// connection failed.
bool accepted(connection_state& state, int code) {
    if (code == SSH_AUTH_SUCCESS) return true;
    if (code == SSH_AUTH_ERROR) throw ssh_error(state.error_text("Authentication failed on an error"));
    return false;  // denied, or partial: another way must follow
}

bool by_key_file(connection_state& state, const std::string& path) {
    ssh_key raw = nullptr;
    if (ssh_pki_import_privkey_file(path.c_str(), nullptr, nullptr, nullptr, &raw) != SSH_OK)
        throw auth_error("The key file " + path +
                         " cannot be read (a missing file, or a key with a passphrase)");
    const key_ptr key(raw);
    return accepted(state, ssh_userauth_publickey(state.session.get(), nullptr, key.get()));
}

bool by_password(connection_state& state, const answer_callback& answer) {
    secret password;
    auto given = answer(auth_prompt{.name = {}, .instruction = {}, .text = "Password: ", .echo = false});
    if (!given) return false;
    password.text = std::move(*given);
    return accepted(state, ssh_userauth_password(state.session.get(), nullptr, password.text.c_str()));
}

bool by_keyboard(connection_state& state, const answer_callback& answer) {
    ssh_session s = state.session.get();
    int code = ssh_userauth_kbdint(s, nullptr, nullptr);
    while (code == SSH_AUTH_INFO) {
        const int prompts = ssh_userauth_kbdint_getnprompts(s);
        for (int i = 0; i < prompts; ++i) {
            char echo = 0;
            const char* text = ssh_userauth_kbdint_getprompt(s, static_cast<unsigned>(i), &echo);
            const char* name = ssh_userauth_kbdint_getname(s);
            const char* instruction = ssh_userauth_kbdint_getinstruction(s);
            secret reply;
            auto given = answer(auth_prompt{.name = name ? name : "",
                                            .instruction = instruction ? instruction : "",
                                            .text = text ? text : "",
                                            .echo = echo != 0});
            if (!given) return false;
            reply.text = std::move(*given);
            if (ssh_userauth_kbdint_setanswer(s, static_cast<unsigned>(i), reply.text.c_str()) < 0)
                throw ssh_error(state.error_text("A keyboard-interactive answer was refused"));
        }
        code = ssh_userauth_kbdint(s, nullptr, nullptr);
    }
    return accepted(state, code);
}

}  // namespace

void authenticate(connection_state& state, const connect_options& options) {
    ssh_session s = state.session.get();
    // The server names its ways only in answer to a first attempt with none.
    if (accepted(state, ssh_userauth_none(s, nullptr))) return;
    const int offered = ssh_userauth_list(s, nullptr);
    std::vector<std::string> tried;
    if (options.identity_file && (offered & SSH_AUTH_METHOD_PUBLICKEY) != 0) {
        tried.push_back("the key file " + *options.identity_file);
        if (by_key_file(state, *options.identity_file)) return;
    }
    if (options.use_agent && (offered & SSH_AUTH_METHOD_PUBLICKEY) != 0) {
        tried.emplace_back("the agent's keys");
        if (accepted(state, ssh_userauth_agent(s, nullptr))) return;
    }
    if (options.answer && (offered & SSH_AUTH_METHOD_PASSWORD) != 0) {
        tried.emplace_back("a password");
        if (by_password(state, options.answer)) return;
    }
    if (options.answer && (offered & SSH_AUTH_METHOD_INTERACTIVE) != 0) {
        tried.emplace_back("keyboard-interactive answers");
        if (by_keyboard(state, options.answer)) return;
    }
    std::string ways;
    for (const std::string& t : tried) ways += (ways.empty() ? "" : ", ") + t;
    throw auth_error("Authentication failed for " + state.name + ": " +
                     (ways.empty() ? "the server offers no way the caller allowed" : "refused " + ways));
}

}  // namespace ptypilot::ssh::detail

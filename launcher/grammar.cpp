#include "launcher/grammar.hpp"

#include <optional>

#include <ptypilot/version.hpp>

namespace ptypilot::launcher {

std::string launch_request::working_directory() const {
    std::string dir;
    for (std::size_t i = 0; i < cdto.size(); ++i) dir += (i ? " " : "") + cdto[i];
    return dir;
}

bool split_assignment(const std::string& word, std::string& name, std::string& value) {
    const std::size_t eq = word.find('=');
    if (eq == std::string::npos || eq == 0) return false;
    std::string rest = word.substr(eq + 1);
    // "." stops at a newline and "$" also matches before one final newline:
    // a value may end in one newline, which is dropped, but hold none inside.
    const std::size_t nl = rest.find('\n');
    if (nl != std::string::npos) {
        if (nl != rest.size() - 1) return false;
        rest.pop_back();
    }
    name = word.substr(0, eq);
    value = std::move(rest);
    return true;
}

std::string usage() {
    return "Usage: ptypilot [CD word... --] [ENV NAME=VALUE... --] [--] program [argument...]\n"
           "Runs the program on a new pseudo-terminal and relays it to this terminal until\n"
           "it ends; Ctrl-] leaves (and ends it).\n"
           "  CD word... --         the program's working directory (the words joined with a blank)\n"
           "  ENV NAME=VALUE... --  the program's whole environment (without it, an empty one)\n"
           "  --                    the next word is the program, whatever it reads\n"
           "  -h, --help            this text; --version: the version\n"
           "Exit status: the program's; 128 + the signal that ended it; 1 when it could not run.\n";
}

std::string version_text() { return "ptypilot " PTYPILOT_VERSION_STRING "\n"; }

launch_request parse_words(const std::vector<std::string>& words) {
    enum class state { none, cd, env, cmd };
    launch_request req;
    if (!words.empty()) {
        if (words.front() == "-h" || words.front() == "--help") req.query = launcher_query::help;
        if (words.front() == "--version") req.query = launcher_query::version;
        if (req.query != launcher_query::none) return req;
    }
    state st = state::none;
    for (const std::string& word : words) {
        switch (st) {
            case state::cd:
                if (word == "--")
                    st = state::none;
                else
                    req.cdto.push_back(word);
                break;
            case state::env:
                if (word == "--") {
                    st = state::none;
                } else if (std::string name, value; split_assignment(word, name, value)) {
                    req.env[name] = value;
                }
                break;
            case state::cmd: req.cmdline.push_back(word); break;
            case state::none:
                if (word == "CD") {
                    st = state::cd;
                } else if (word == "ENV") {
                    st = state::env;
                } else if (word == "--") {
                    st = state::cmd;
                } else {
                    st = state::cmd;
                    req.cmdline = {word};
                }
                break;
        }
    }
    return req;
}

}  // namespace ptypilot::launcher

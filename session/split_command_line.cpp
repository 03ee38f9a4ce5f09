#include <ptypilot/split_command_line.hpp>

namespace ptypilot {

namespace {

enum class state { basic, esc, singlequote, doublequote, whitespace };

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

}  // namespace

std::vector<std::string> split_command_line(std::string_view command_line) {
    std::vector<std::string> arg_list;
    std::string arg;
    state st = state::basic;
    for (const char c : command_line) {
        switch (st) {
            case state::basic:
            case state::whitespace:
                if (c == '\\') {
                    st = state::esc;
                } else if (c == '\'') {
                    st = state::singlequote;
                } else if (c == '"') {
                    st = state::doublequote;
                } else if (is_blank(c)) {
                    // Only the first blank of a run ends a word, so a leading
                    // blank yields an empty first word and '' yields an empty one.
                    if (st == state::basic) {
                        arg_list.push_back(std::move(arg));
                        arg.clear();
                    }
                    st = state::whitespace;
                } else {
                    arg += c;
                    st = state::basic;
                }
                break;
            case state::esc:
                arg += c;
                st = state::basic;
                break;
            case state::singlequote:
                if (c == '\'')
                    st = state::basic;
                else
                    arg += c;
                break;
            case state::doublequote:
                if (c == '"')
                    st = state::basic;
                else
                    arg += c;
                break;
        }
    }
    if (!arg.empty()) arg_list.push_back(std::move(arg));
    return arg_list;
}

}  // namespace ptypilot

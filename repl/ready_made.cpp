// Shells, Python and bc set up so that their prompts can be told from any
// output and nothing they print depends on the user's start-up files.
#include <ptypilot/repl.hpp>

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <random>
#include <string_view>

#include "os/off_standard_streams.hpp"
#include "os/unique_fd.hpp"

namespace ptypilot {

using detail::off_standard_streams;
using detail::unique_fd;

namespace {

// Hex digits only: nothing a regex or a shell would take specially.
std::string random_token() {
    std::random_device source;
    const std::uint64_t value = (std::uint64_t{source()} << 32) ^ source();
    static constexpr char digits[] = "0123456789abcdef";
    std::string token = "ptypilot";
    for (int shift = 60; shift >= 0; shift -= 4) token += digits[(value >> shift) & 0xf];
    return token;
}

env_map caller_environment() {
    env_map env;
    for (char** entry = ::environ; entry != nullptr && *entry != nullptr; ++entry) {
        const std::string_view text(*entry);
        const auto equals = text.find('=');
        if (equals == std::string_view::npos || equals == 0) continue;
        env.emplace(std::string(text.substr(0, equals)), std::string(text.substr(equals + 1)));
    }
    return env;
}

// The caller's environment and the caller's additions, then what the program
// must see whatever either says.
spawn_options with_environment(const spawn_options& options, const env_map& settings,
                               std::initializer_list<const char*> removed) {
    spawn_options ready = options;
    env_map env = caller_environment();
    if (options.env)
        for (const auto& [name, value] : *options.env) env.insert_or_assign(name, value);
    for (const char* name : removed) env.erase(name);
    for (const auto& [name, value] : settings) env.insert_or_assign(name, value);
    ready.env = std::move(env);
    return ready;
}

// A line editor reads the terminal's echo flag when it starts and echoes by
// itself unless it was off: the flag must be off before the program runs.
spawn started_without_echo(const std::string& program, std::vector<std::string> arguments,
                           const spawn_options& options) {
    std::vector<std::string> words{"-c", "stty -echo && exec \"$0\" \"$@\"", program};
    words.insert(words.end(), arguments.begin(), arguments.end());
    return spawn("/bin/sh", argument_list(std::move(words)), options);
}

}  // namespace

repl repl::shell(const std::string& program, const spawn_options& options) {
    const std::string token = random_token();
    // `$?` is expanded in the prompts by every POSIX shell; the echo is off,
    // and a command printing $PS1 or $PS2 shows "$?", never digits, so only a
    // real prompt matches.
    const spawn_options ready = with_environment(
        options,
        {{"PS1", "[" + token + ":$?]"}, {"PS2", "[" + token + "+$?]"}, {"TERM", "dumb"}, {"HISTFILE", ""}},
        {"PROMPT_COMMAND", "PS0", "ENV", "BASH_ENV"});
    std::vector<std::string> arguments;
    const auto slash = program.rfind('/');
    if (program.find("bash", slash == std::string::npos ? 0 : slash + 1) != std::string::npos)
        arguments = {"--norc", "--noprofile", "--noediting"};
    arguments.emplace_back("-i");
    repl_options prompts(regex("\\[" + token + ":([0-9]+)\\]"), regex("\\[" + token + "\\+[0-9]+\\]"));
    return repl(spawn(program, argument_list(std::move(arguments)), ready), std::move(prompts));
}

repl repl::python(const std::string& program, const spawn_options& options) {
    const spawn_options ready = with_environment(options, {{"TERM", "dumb"}, {"INPUTRC", "/dev/null"}}, {});
    repl_options prompts(regex(">>> "), regex("\\.\\.\\. "));
    prompts.blank_line_ends_block = true;
    // Without its interactive hook, Python neither loads the user's line
    // history nor writes the repl's commands into it at exit, and reads
    // plain lines from the terminal as the shells do with their editors off.
    // (Through -c, PYTHONSTARTUP does not run either.)
    return repl(
        started_without_echo(
            program, {"-i", "-q", "-c", "import sys; sys.__dict__.pop('__interactivehook__', None)"}, ready),
        std::move(prompts));
}

namespace {

// bc's line editor (readline) reads a line a character at a time, a few
// microseconds each: a key it expands into ";z()" and the line's end by
// itself costs one read instead of five. Which editor bc has, if any, shows
// only in what it does: bc shows at start whether it took the key, and
// until it has the repl sends the call as text. Tabs are made plain too:
// the editor would otherwise complete file names in a command.
constexpr char prompt_key = '\x1d';  // Ctrl-], which no command may hold
constexpr std::string_view bc_inputrc = "\"\\C-]\": \";z()\\n\"\n\"\\t\": self-insert\n";

struct bc_editor {
    unique_fd inputrc;               // read by the editor at its start, then closed
    const spawn* session = nullptr;  // the repl's, whose first prompt shows what the key did
    std::string key_token;           // printed through the key at start when bc took it
    std::optional<bool> takes_key;

    bool key_works() {
        if (!takes_key) {
            // The repl asks about the first command's last line right after
            // the first prompt, whose text before it holds what the key printed.
            takes_key =
                session != nullptr && session->before_str().find(key_token + "\r\n") != std::string::npos;
            inputrc.reset();
        }
        return *takes_key;
    }
};

// The editor's settings, in a file that is never on disk: the child opens
// the caller's descriptor through /proc. Empty when there is none to be had.
unique_fd inputrc_file() {
    unique_fd fd = off_standard_streams(unique_fd(::memfd_create("ptypilot-inputrc", MFD_CLOEXEC)));
    if (fd &&
        ::write(fd.get(), bc_inputrc.data(), bc_inputrc.size()) != static_cast<ssize_t>(bc_inputrc.size()))
        fd.reset();
    return fd;
}

}  // namespace

repl repl::bc(const std::string& program, const spawn_options& options) {
    const std::string token = random_token();
    const std::string recovery_token = random_token();
    auto editor = std::make_shared<bc_editor>();
    editor->inputrc = inputrc_file();
    editor->key_token = random_token();
    const std::string inputrc = editor->inputrc ? "/proc/" + std::to_string(::getpid()) + "/fd/" +
                                                      std::to_string(editor->inputrc.get())
                                                : "/dev/null";
    const spawn_options ready = with_environment(options, {{"TERM", "dumb"}, {"INPUTRC", inputrc}}, {});
    // The token on a line of its own is what `print` writes; its echo, were
    // there one, would hold a backslash before the "n". The call that goes
    // on every command's line has the shortest name bc allows. The editor
    // also keeps every line in its history, which it walks once per line: a
    // session of many commands would slow down with each.
    repl_options prompts(regex(token + "\r\n"));
    // z() prints the key's token while the key is tried, the prompt's after.
    prompts.setup = "history = 0\ndefine void z() { print \"" + editor->key_token + "\\n\" }\n";
    prompts.setup += std::string(1, prompt_key) + "\n";
    prompts.setup += "define void z() { print \"" + token + "\\n\" }";
    prompts.setup += "\ndefine void ptq_() { print \"" + recovery_token + "\\n\" }";
    prompts.prompt_line = "z()";
    prompts.join_prompt_line = [editor](std::string_view line) -> std::optional<std::string> {
        const bool key = editor->key_works();
        // Braces, strings, comments and a closing backslash could take the
        // call in or drop it; after anything else a ";" only adds a statement.
        static constexpr std::string_view plain =
            "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_ \t+-*/%^=()[].,<>!&|;";
        if (line.empty() || line.find_first_not_of(plain) != std::string_view::npos ||
            line.find("/*") != std::string_view::npos)
            return std::nullopt;
        return std::string(line) + (key ? std::string(1, prompt_key) : ";z()\n");
    };
    // A parse error or a runtime error ends the execution of the whole line.
    prompts.line_dropped = regex("(\\(standard_in\\) [0-9]+: |Runtime error \\(func=)[^\n]*\n");
    prompts.recovery_line = "ptq_()";
    prompts.recovery_prompt = regex(recovery_token + "\r\n");
    repl calculator(started_without_echo(program, {"-q"}, ready), std::move(prompts));
    editor->session = &calculator.session();
    return calculator;
}

}  // namespace ptypilot

// Shells, Python and bc set up so that their prompts can be told from any
// output and nothing they print depends on the user's start-up files.
#include <ptypilot/repl.hpp>

#include <unistd.h>

#include <cstdint>
#include <random>
#include <string_view>

namespace ptypilot {

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

repl repl::bc(const std::string& program, const spawn_options& options) {
    const std::string token = random_token();
    const std::string recovery_token = random_token();
    const spawn_options ready = with_environment(options, {{"TERM", "dumb"}, {"INPUTRC", "/dev/null"}}, {});
    // The token on a line of its own is what `print` writes; its echo, were
    // there one, would hold a backslash before the "n". bc's line editor
    // reads a line character by character, some microseconds each: the call
    // that goes on every command's line has the shortest name bc allows.
    // The editor also keeps every line in its history, which it walks once
    // per line: a session of many commands would slow down with each.
    repl_options prompts(regex(token + "\r\n"));
    prompts.setup = "history = 0\ndefine void z() { print \"" + token + "\\n\" }";
    prompts.setup += "\ndefine void ptq_() { print \"" + recovery_token + "\\n\" }";
    prompts.prompt_line = "z()";
    prompts.join_prompt_line = [](std::string_view line) -> std::optional<std::string> {
        // Braces, strings, comments and a closing backslash could take the
        // call in or drop it; after anything else a ";" only adds a statement.
        static constexpr std::string_view plain =
            "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_ \t+-*/%^=()[].,<>!&|;";
        if (line.empty() || line.find_first_not_of(plain) != std::string_view::npos ||
            line.find("/*") != std::string_view::npos)
            return std::nullopt;
        return std::string(line) + ";z()";
    };
    // A parse error or a runtime error ends the execution of the whole line.
    prompts.line_dropped = regex("(\\(standard_in\\) [0-9]+: |Runtime error \\(func=)[^\n]*\n");
    prompts.recovery_line = "ptq_()";
    prompts.recovery_prompt = regex(recovery_token + "\r\n");
    return repl(started_without_echo(program, {"-q"}, ready), std::move(prompts));
}

}  // namespace ptypilot

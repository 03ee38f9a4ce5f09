// Shells and REPLs driven in step: real programs, the same kinds of command.
#include <ptypilot/repl.hpp>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>

#include "support/helpers.hpp"

using namespace ptypilot;

namespace {

std::string numbers(int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += std::to_string(i) + "\r\n";
    return out;
}

struct program {
    const char* name;
    std::function<repl()> make;
};

// bc reading lines through a pipe: no line editor, so none takes the repl's
// key. Both bcs run in its directory, where the editor would complete a
// number into the one file's name at a tab.
const std::string& bc_without_editor() {
    static const testing_support::scoped_temp_dir dir;
    static const std::string path = [] {
        std::string script = dir.path() + "/7bc";
        std::ofstream(script) << "#!/bin/sh\ncat | exec bc \"$@\"\n";
        std::filesystem::permissions(script, std::filesystem::perms::owner_all);
        return script;
    }();
    return path;
}

std::string bc_directory() { return std::filesystem::path(bc_without_editor()).parent_path(); }

const program programs[] = {
    {"sh", [] { return repl::shell("/bin/sh"); }},
    {"dash", [] { return repl::shell("dash"); }},
    {"bash", [] { return repl::shell("bash"); }},
    {"python3", [] { return repl::python("/usr/bin/python3"); }},
    {"bc", [] { return repl::bc("bc", {.cwd = bc_directory()}); }},
    {"bc without a line editor", [] { return repl::bc(bc_without_editor(), {.cwd = bc_directory()}); }},
};

struct command_case {
    const char* kind;
    const char* command;
    std::string output;  // the output's end when `tail` is set
    std::optional<int> status;
    bool tail = false;
    const char* answer = nullptr;  // the command waits for this line; `seen` is what it showed first
    const char* seen = "";
};

const char* const shells = "sh dash bash";

std::vector<command_case> cases_for(const std::string& name) {
    if (std::string(shells).find(name) != std::string::npos)
        return {
            {"empty output", "true", "", 0},
            {"many lines", "i=0\nwhile [ $i -lt 300 ]\ndo\n  echo $i\n  i=$((i + 1))\ndone", numbers(300), 0},
            {"no final newline", "printf 'a\\nb'", "a\r\nb", 0},
            {"its own prompts", "echo \"$PS1$PS2\"; false", "+$?]\r\n", 1, true},
            {"failing", "cat /nonexistent", "cat: /nonexistent: No such file or directory\r\n", 1},
            {"waits for input", "printf 'name? '; read x; echo \"got:$x\"", "name? got:hi\r\n", 0, false,
             "hi", "name? "},
        };
    if (name == "python3")
        return {
            {"empty output", "x = 1", "", std::nullopt},
            {"many lines", "for i in range(300):\n    print(i)", numbers(300), std::nullopt},
            {"failing", "1/0", "ZeroDivisionError: division by zero\r\n", std::nullopt, true},
            {"waits for input", "print('got:' + input('name? '))", "name? got:hi\r\n", std::nullopt, false,
             "hi", "name? "},
        };
    return {
        {"empty output", "x = 1", "", std::nullopt},
        {"many lines", "for (i = 0; i < 300; i++) i", numbers(300), std::nullopt},
        {"tabs", "x = 7\t* 6\nx", "42\r\n", std::nullopt},
        {"a function", "define f(x) {\n  return (x * 2)\n}\nf(21)", "42\r\n", std::nullopt},
        {"failing", "1/0", "Divide by zero\r\n", std::nullopt, true},
        {"failing before its last line", "1/0\nx = 2\nx", "Divide by zero\r\n2\r\n", std::nullopt, true},
        {"not parsed", "2 +", "syntax error\r\n", std::nullopt, true},
        {"waits for input", "read() * 2", "10\r\n", std::nullopt, false, "5"},
    };
}

}  // namespace

TEST(Repl, ProgramsTimesCommands) {
    for (const program& p : programs) {
        repl r = p.make();
        for (const command_case& c : cases_for(p.name)) {
            SCOPED_TRACE(std::string(p.name) + ": " + c.kind);
            repl_result result;
            if (c.answer) {
                // Nothing can bring the prompt back before the answer.
                try {
                    r.execute(c.command, 0.5);
                    ADD_FAILURE() << "no time-out";
                } catch (const repl_timeout& e) {
                    EXPECT_EQ(e.seen, c.seen);
                }
                r.session().send(std::string(c.answer) + "\n");
                result = r.finish(10);
            } else {
                result = r.execute(c.command, 10);
            }
            if (c.tail)
                EXPECT_TRUE(result.output.ends_with(c.output)) << result.output;
            else
                EXPECT_EQ(result.output, c.output);
            EXPECT_EQ(result.status, c.status);
        }
    }
}

TEST(Repl, AnIncompleteCommandIsInterruptedAndTheNextOneRuns) {
    for (const char* name : {"dash", "bash"}) {
        repl r = repl::shell(name);
        EXPECT_THROW(r.execute("echo 'unclosed", 10), ExceptionPty);
        EXPECT_EQ(r.execute("echo ok", 10).output, "ok\r\n");
    }
}

TEST(Repl, RefusesWhatWouldPutItOutOfStep) {
    repl r = repl::shell("dash");
    EXPECT_THROW(r.start("echo a\rb"), std::invalid_argument);   // the terminal's end of a line
    EXPECT_THROW(r.start("echo a\x04"), std::invalid_argument);  // half a line
    r.start("echo one");
    EXPECT_THROW(r.start("echo two"), std::logic_error);
    EXPECT_EQ(r.finish(10).output, "one\r\n");
    EXPECT_THROW(r.finish(10), std::logic_error);
}

TEST(Repl, AProgramThatEndsIsAnErrorWithWhatItPrinted) {
    repl r = repl::shell("dash");
    try {
        r.execute("echo bye; exit 3", 10);
        ADD_FAILURE() << "no end of file";
    } catch (const repl_ended& e) {
        EXPECT_EQ(e.seen, "bye\r\n");
    }
    r.session().close();
    EXPECT_EQ(r.session().exitstatus, 3);
}

TEST(Repl, OverADescriptorSessionAndWithTheEchoTakenOff) {
    // dash on pipes: interactive by -i, its prompts on standard error.
    int in[2], out[2];
    ASSERT_EQ(::pipe2(in, O_CLOEXEC), 0);
    ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    ::posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    ::posix_spawn_file_actions_adddup2(&actions, out[1], 2);
    char* const argv[] = {const_cast<char*>("/bin/dash"), const_cast<char*>("-i"), nullptr};
    char* const envp[] = {const_cast<char*>("PS1=[P:$?]"), const_cast<char*>("PS2=[P+]"), nullptr};
    pid_t pid = -1;
    ASSERT_EQ(::posix_spawn(&pid, argv[0], &actions, nullptr, argv, envp), 0);
    ::posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    repl_options prompts(regex("\\[P:([0-9]+)\\]"), regex("\\[P\\+\\]"));
    prompts.echo = repl_echo::none;
    {
        repl r(spawn::from_fds(out[0], in[1]), prompts);
        const repl_result result = r.execute("if true\nthen echo hi\nfi; (exit 4)", 10);
        EXPECT_EQ(result.output, "hi\n");
        EXPECT_EQ(result.status, 4);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);  // its input closed with the session

    // The terminal's own echo of every line is taken off what follows it.
    prompts.echo = repl_echo::strip;
    repl r(spawn("dash", {"-i"}, {.env = env_map{{"PS1", "[P:$?]"}, {"PS2", "[P+]"}, {"TERM", "dumb"}}}),
           prompts);
    const repl_result result = r.execute("for w in one two\ndo echo $w\ndone", 10);
    EXPECT_EQ(result.output, "one\r\ntwo\r\n");
    EXPECT_EQ(result.status, 0);
}

// The commands a repl runs never reach the user's own line history, and the
// history there is left as it was.
TEST(Repl, LeavesTheUsersHistoryAlone) {
    char home[] = "/tmp/ptypilot-repl-home-XXXXXX";
    ASSERT_NE(::mkdtemp(home), nullptr);
    const std::string history = std::string(home) + "/.python_history";
    std::ofstream(history) << "an old line\n";
    {
        repl py = repl::python("python3", {.env = env_map{{"HOME", home}}});
        EXPECT_EQ(py.execute("print(6 * 7)", 10).output, "42\r\n");
        py.session().sendeof();
        py.session().close();
    }
    std::ifstream in(history);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "an old line\n");
    std::remove(history.c_str());
    ::rmdir(home);
}

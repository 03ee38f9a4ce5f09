// Drives an interactive /bin/sh: runs commands, reads their results back
// through expect, and checks how the shell ended. It backs the README snippets
// in "The library at a glance" on expect_exact, compiled regexes with named
// groups, readline, sendcontrol and setwinsize.
//
// Exits 0 when every step behaved, 1 otherwise.
#include <cstdio>
#include <exception>
#include <string>

#include <ptypilot/ptypilot.hpp>
using namespace ptypilot;

namespace {

int fail(const std::string& why) {
    std::fprintf(stderr, "drive_shell: %s\n", why.c_str());
    return 1;
}

}  // namespace

int main() {
    try {
        // A known, small environment: a plain prompt to wait for and no
        // terminal features that would put escape sequences in the output.
        env_map env{{"PS1", "$ "}, {"PATH", "/usr/bin:/bin"}, {"TERM", "dumb"}, {"LC_ALL", "C"}};
        spawn child("/bin/sh", {}, 10.0, 2000, std::nullopt, nullptr, std::nullopt, env);
        child.expect_exact("$ ");

        // The echo of the command line holds "$((6 * 7))", never "42": what
        // matches can only be the shell's answer.
        child.sendline("echo $((6 * 7))");
        if (child.expect({"42\r\n", sentinel::timeout}) != 0) return fail("no 42 from the shell");
        child.expect_exact("$ ");

        // The echo reads `"$U"@vault`, where no word character stands
        // before the @, so the pattern meets only the output.
        child.sendline("U=Alice; echo \"$U\"@vault");
        child.expect(regex("(?P<user>\\w+)@VAULT", regex::ignorecase));
        auto user = std::get<match_result>(child.match).group("user");
        if (user != "Alice") return fail("wrong user '" + user.value_or("(none)") + "'");
        child.expect_exact("$ ");

        // Reading like a file: the echo of the command comes first.
        child.sendline("printf 'one\\ntwo\\n'");
        child.readline();
        std::string one = child.readline();
        std::string two = child.readline();
        if (one != "one\r\n" || two != "two\r\n") return fail("unexpected lines '" + one + "' '" + two + "'");
        child.expect_exact("$ ");

        // The child hears of its new size through SIGWINCH; stty asks the
        // terminal itself.
        child.setwinsize(40, 120);
        if (child.getwinsize() != std::pair{40, 120}) return fail("getwinsize disagrees");
        child.sendline("stty size");
        if (child.expect({"40 120\r\n", sentinel::timeout}) != 0)
            return fail("stty size did not report 40 120");
        child.expect_exact("$ ");

        // Ctrl-C throws away a half-typed line: "gone" must never run.
        child.send("echo go\"ne\"");
        child.sendcontrol('c');
        child.expect_exact("$ ");
        child.sendline("echo st\"ill\" here");
        if (child.expect({"gone", "still here\r\n", sentinel::timeout}) != 1)
            return fail("the interrupted line ran or the shell went quiet");
        child.expect_exact("$ ");

        child.sendline("exit 3");
        child.expect(sentinel::eof);
        child.close();
        if (child.exitstatus != 3)
            return fail("exit status " + (child.exitstatus ? std::to_string(*child.exitstatus) : "none") +
                        ", not 3");
    } catch (const std::exception& e) {
        return fail(e.what());
    }
    std::puts("drive_shell: ok");
    return 0;
}

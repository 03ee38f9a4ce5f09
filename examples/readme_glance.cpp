// The README's first screen and "The library at a glance", run as written:
// its snippets are the regions between "// README begin" and "// README end"
// (the test ptypilot_readme_snippets holds the README to them).
// `ssh backup@vault` and `passwd alice` are stand-ins on PATH, so that it runs
// anywhere and changes nothing real. Exits 0 when every outcome is the one the
// README describes.
#include <cstdio>
#include <exception>
#include <string>

#include "stand_in.hpp"

// clang-format off
// README begin
#include <ptypilot/ptypilot.hpp>
using namespace ptypilot;
using namespace std::chrono_literals;
// README end
// clang-format on

namespace {

// A remote login: an unknown host key to accept, a password read with echo
// off, then a shell prompt that knows three commands. It ignores Ctrl-C, as a
// remote shell over a relayed terminal would seem to.
const char* const remote_login = R"(trap '' INT
printf "The authenticity of host 'vault' can't be established.\nAre you sure you want to continue connecting (yes/no)? "
read answer
[ "$answer" = yes ] || exit 1
printf "Password: "
stty -echo; read p; stty echo; echo
[ "$p" = s3cret ] || { echo "Permission denied"; exit 1; }
echo "Last login: today"
while printf '$ ' && read cmd; do
  case "$cmd" in
    whoami) echo "$1" ;;
    check) echo ok ;;
    ls) printf 'file1\nfile2\n' ;;
  esac
done
)";

// Asks twice with echo off, as passwd does, and exits 0 only when both
// answers agree. Echo goes off before the first prompt shows: an answer sent
// as soon as the prompt is seen must not find echo still on.
const char* const passwd = R"(stty -echo
printf "New password: "; read a
printf "\nRetype new password: "; read b
stty echo; echo
[ "$a" = "$b" ] && echo "password updated"
)";

int fail(const std::string& why) {
    std::fprintf(stderr, "readme_glance: %s\n", why.c_str());
    return 1;
}

int at_a_glance() {
    // clang-format off
    // README begin
    // Start a child on a new pty (it runs at once); settings by name, each one
    // left out keeps its default. `env` replaces the whole environment:
    // environment_with() keeps the caller's and sets TERM over it.
    spawn child("ssh backup@vault", {.timeout = 10s, .env = environment_with({{"TERM", "dumb"}})});

    // Wait for one of several patterns; the sentinels make end of file and the
    // time-out outcomes instead of errors. The result is the list position.
    int i = child.expect({"[Pp]assword: ", "continue connecting", sentinel::eof, sentinel::timeout});
    if (i == 1) { child.sendline("yes"); child.expect("[Pp]assword: "); }
    child.waitnoecho();              // the prompt has turned echo off
    child.sendline("s3cret");
    child.expect("\\$ ", 5s);                  // any std::chrono duration, or seconds
    std::string motd = child.before_str();      // text before the match
    std::string prompt = child.after_str();     // the match itself

    // Compiled regexes keep their own flags; plain strings have no regex syntax.
    child.sendline("whoami");
    child.expect(regex("(?P<user>\\w+)@", regex::ignorecase));
    auto user = std::get<match_result>(child.match).group("user");   // "backup"
    child.expect_exact("$ ");
    child.sendline("check");
    child.expect(std::vector<std::string>{"ok", "fail(ed)?"});   // a list built at run time
    child.expect_exact("$ ");

    // Read like a file.
    child.sendline("ls");
    child.readline();                           // "ls\r\n": the terminal echoes what is sent
    std::string line = child.readline();        // "file1\r\n"

    child.sendcontrol('c');                      // Ctrl-C; also sendeof(), sendintr()
    child.setwinsize(40, 120);                   // the child gets SIGWINCH
    child.interact();                            // hand the terminal to the user until the child ends
    std::string rest;
    for (const std::string& l : child) rest += l;  // every line left, until end of file
    child.close();
    int status = child.exitstatus.value_or(-1);  // or child.signalstatus: the signal that ended it
    // README end
    // clang-format on
    if (i != 1) return fail("no host key question: outcome " + std::to_string(i));
    if (motd.find("Last login: today") == std::string::npos) return fail("no message of the day: " + motd);
    if (prompt != "$ " || user != "backup" || line != "file1\r\n")
        return fail("unexpected prompt '" + prompt + "', user or line '" + line + "'");
    if (status != 0) return fail("the login ended with " + std::to_string(status));
    return 0;
}

int responsive() {
    // clang-format off
    // README begin
    ptypilot::spawn sh("/bin/sh", {.delaybeforesend = 0.0, .delayafterread = 0.0});  // responsive
    // README end
    // clang-format on
    sh.sendline("exit 5");
    sh.expect(sentinel::eof);
    sh.close();
    if (sh.delaybeforesend != 0 || sh.delayafterread != 0 || sh.exitstatus != 5)
        return fail("the responsive shell did not run as asked");
    return 0;
}

int run_to_the_end() {
    // clang-format off
    // README begin
    auto [output, status] = run("passwd alice", 30s, withexitstatus,
        event_list{{"(?i)new password: ", "n3w-Secret\n"},
                   {"(?i)retype new password: ", callback([](run_state& st) -> callback_value {
                        st.child.sendline("n3w-Secret");
                        return false;                 // go on; true ends the run
                    })}});
    std::string listing = run("ls -l /tmp");   // output only
    auto [log, code] = run("sh -c 'echo testing; exit 3'", withexitstatus);  // the default time-out
    // README end
    // clang-format on
    if (status != 0 || output.find("password updated") == std::string::npos)
        return fail("passwd failed; it printed:\n" + output);
    if (output.find("n3w-Secret") != std::string::npos) return fail("the password was echoed:\n" + output);
    if (listing.rfind("total", 0) != 0) return fail("unexpected listing:\n" + listing);
    if (log != "testing\r\n" || code != 3) return fail("unexpected run of a failing command:\n" + log);
    return 0;
}

}  // namespace

int main() {
    try {
        examples::stand_in("ssh", remote_login);
        examples::stand_in("passwd", passwd);
        if (at_a_glance() != 0 || responsive() != 0 || run_to_the_end() != 0) return 1;
    } catch (const std::exception& e) {
        return fail(e.what());
    }
    std::puts("readme_glance: ok");
    return 0;
}

// Answers a password prompt, checking each step (readme_glance.cpp is the
// README's own snippet), against a small shell script that asks for a
// password with echo turned off, as login programs do.
//
//   password_prompt [password]     (default: the right one, s3cret)
//
// Exits 0 when the script lets us in, 1 otherwise.
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include <ptypilot/ptypilot.hpp>
using namespace ptypilot;
using namespace std::chrono_literals;

namespace {

// Stands in for a remote login: a password prompt with echo off, a greeting,
// a message of the day, a shell prompt that runs one command.
const char* const login_script = R"(
printf 'Password: '
stty -echo; read p; stty echo; echo
if [ "$p" != s3cret ]; then echo denied; exit 1; fi
echo welcome
echo 'Last login: today'
printf '$ '
read cmd
echo "ran $cmd"
echo 'you have no new mail'
)";

int fail(const std::string& why) {
    std::fprintf(stderr, "password_prompt: %s\n", why.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string password = argc > 1 ? argv[1] : "s3cret";
    try {
        spawn child("/bin/sh", {"-c", login_script}, {.timeout = 10s, .env = env_map{{"TERM", "dumb"}}});

        // EOF_ and TIMEOUT in the list turn those outcomes into list
        // positions instead of exceptions.
        int i = child.expect({"[Pp]assword: ", "continue connecting", sentinel::eof, sentinel::timeout});
        if (i == 1) {  // an unknown host key first: accept it, as ssh asks
            child.sendline("yes");
            child.expect("[Pp]assword: ");
        } else if (i != 0) {
            return fail(i == 2 ? "the child ended before asking" : "no password prompt in time");
        }
        // Sending before the child has turned echo off would show the
        // password on the terminal.
        if (!child.waitnoecho()) return fail("echo never went off");
        child.sendline(password);

        i = child.expect({"welcome", "denied", sentinel::eof, sentinel::timeout});
        if (i != 0) return fail(i == 1 ? "the password was refused" : "no answer to the password");
        if (child.before->find(password) != std::string::npos) return fail("the password was echoed");

        child.expect("\\$ ", 5s);                // any std::chrono duration, or seconds
        std::string motd = child.before_str();   // text before the match
        std::string prompt = child.after_str();  // the match itself
        if (motd.find("Last login") == std::string::npos) return fail("no message of the day");
        if (prompt != "$ ") return fail("unexpected prompt '" + prompt + "'");

        // Reading like a file: the terminal echoes what is sent, so the first
        // line is the command itself.
        child.sendline("ls");
        std::string echoed = child.readline();
        std::string line = child.readline();
        if (echoed != "ls\r\n" || line != "ran ls\r\n")
            return fail("unexpected lines '" + echoed + "' '" + line + "'");
        std::vector<std::string> rest;
        for (const std::string& l : child) rest.push_back(l);  // until end of file
        if (rest != std::vector<std::string>{"you have no new mail\r\n"})
            return fail("unexpected lines after the command");

        child.close();
        if (child.exitstatus != 0) return fail("the login script did not exit with 0");
    } catch (const std::exception& e) {
        return fail(e.what());
    }
    std::puts("password_prompt: logged in");
    return 0;
}

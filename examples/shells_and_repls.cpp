// A shell, Python and bc driven in step: each command's own output and, from
// the shell, its exit status. README "Shells and REPLs" shows this file.
//
// Exits 0 when every answer is the expected one, 1 otherwise.
// README begin
#include <iostream>

#include <ptypilot/ptypilot.hpp>
using namespace ptypilot;

int main() try {
    // A prompt no output can contain, echo off, no line editor, no rc files.
    repl sh = repl::shell("bash");
    repl_result r = sh.execute("cd /; ls -d /nonexistent", 10);
    std::cout << r.output;  // "ls: cannot access '/nonexistent': No such file or directory\r\n"
    if (!r.output.ends_with("No such file or directory\r\n") || r.status != 2) return 1;
    if (sh.execute("pwd").output != "/\r\n") return 1;  // the same shell: cd stayed

    // Lines of a block go one at a time, each once its prompt is there.
    repl py = repl::python();
    if (py.execute("for i in range(3):\n    print(i * i)").output != "0\r\n1\r\n4\r\n") return 1;

    repl calc = repl::bc();
    if (calc.execute("2^64").output != "18446744073709551616\r\n") return 1;
    std::cout << "shells_and_repls: ok\n";
} catch (const std::exception& e) {  // repl_timeout, repl_ended: e.what() shows what was seen
    std::cerr << "shells_and_repls: " << e.what() << "\n";
    return 1;
}
// README end

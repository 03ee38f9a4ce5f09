// The baseline for the launcher: the least a program can do to run another
// on a new pty and relay it. `raw_launcher program [argument...]`; exits
// with the program's exit code.
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace {

bool copy(int from, int to, std::vector<char>& buf) {
    const ssize_t n = ::read(from, buf.data(), buf.size());
    if (n <= 0) return false;
    for (ssize_t done = 0; done < n;) {
        const ssize_t w = ::write(to, buf.data() + done, static_cast<std::size_t>(n - done));
        if (w < 0 && errno != EINTR) return false;
        if (w > 0) done += w;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    int master = -1;
    const pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
        ::execv(argv[1], argv + 1);
        ::_exit(127);
    }
    std::vector<char> buf(1 << 20);
    bool input = true;
    for (;;) {
        pollfd fds[2] = {{master, POLLIN, 0}, {0, static_cast<short>(input ? POLLIN : 0), 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) break;
        if (fds[0].revents != 0 && !copy(master, 1, buf)) break;
        if (fds[1].revents != 0 && !copy(0, master, buf)) input = false;
    }
    int st = 0;
    ::waitpid(pid, &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

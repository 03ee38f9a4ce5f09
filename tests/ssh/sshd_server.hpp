// A real OpenSSH server for one test run: its own directory, host and user
// keys made for the run, its own configuration (no PAM; key and password
// authentication for the current user), on 127.0.0.1 at a free port.
// The tests, the example and the benchmark share it.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <ptypilot/ssh.hpp>

namespace testing_support {

class sshd_server {
public:
    // Throws std::runtime_error, naming the step and the server's log, when
    // the server does not come up.
    sshd_server() {
        char pattern[] = "/tmp/ptypilot-sshd-XXXXXX";
        const passwd* me = ::getpwuid(::geteuid());
        if (!::mkdtemp(pattern) || !me) throw std::runtime_error("no directory or no user name");
        dir = pattern;
        user = me->pw_name;
        user_key = dir + "/user_key";
        known_hosts = dir + "/known_hosts";
        port = free_port();
        if (sh("cd " + dir +
               " && umask 077 && for k in host_key user_key; do ssh-keygen -q -t ed25519 -N '' " +
               "-C ptypilot-test -f $k || exit 1; done && cp user_key.pub authorized_keys && " +
               "printf '[127.0.0.1]:" + std::to_string(port) + " ' | cat - host_key.pub > known_hosts") != 0)
            throw std::runtime_error("ssh-keygen failed");
        std::ofstream(dir + "/sshd_config") << config();
        start();
    }
    ~sshd_server() {
        end(SIGTERM);
        if (agent_pid > 0 && ::kill(agent_pid, SIGTERM) == 0) ::waitpid(agent_pid, nullptr, 0);
        sh("rm -rf " + dir);
    }
    sshd_server(const sshd_server&) = delete;
    sshd_server& operator=(const sshd_server&) = delete;

    // Key authentication against the run's known_hosts, no agent.
    ptypilot::ssh::connect_options options() const {
        return {.host = "127.0.0.1",
                .port = port,
                .user = user,
                .identity_file = user_key,
                .use_agent = false,
                .known_hosts = known_hosts};
    }

    // An agent holding the user key, started on first use; its socket.
    const std::string& agent() {
        if (agent_pid < 0) {
            agent_socket = dir + "/agent.sock";
            agent_pid = start_program({"ssh-agent", "-D", "-a", agent_socket}, dir + "/agent.log");
            for (int i = 0; i < 500 && ::access(agent_socket.c_str(), F_OK) != 0; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            if (sh("SSH_AUTH_SOCK=" + agent_socket + " ssh-add -q " + user_key) != 0)
                throw std::runtime_error("ssh-add failed");
        }
        return agent_socket;
    }

    // Ends the server's process and every connection's process it started
    // with `sig` (SIGKILL: a server that vanishes mid-session).
    void end(int sig) {
        if (pid < 0) return;
        for (int child : descendants(pid)) ::kill(child, sig);
        ::kill(pid, sig);
        ::waitpid(pid, nullptr, 0);
        pid = -1;
    }

    // A server run by a normal user gives no session a terminal: it cannot
    // hand the pty to the tty group, and it will not write login records.
    static bool gives_terminals() { return ::geteuid() == 0; }
    // OpenSSH keeps no privilege separation after a root login, and takes
    // signal requests only with it.
    static bool takes_signals() { return ::geteuid() != 0; }
    static void skip(const std::string& what, const std::string& because) {
        std::cout << "[ NOT HERE ] " << what << ": " << because << "\n";
    }

    std::string log() const {
        std::ifstream in(dir + "/sshd.log");
        std::stringstream all;
        all << in.rdbuf();
        return all.str();
    }

    std::string dir, user, user_key, known_hosts, agent_socket;
    int port = 0;
    // The account's password as this server checks it; none where it
    // cannot be given one, and why.
    std::optional<std::string> password;
    std::string no_password_because;

private:
    static int sh(const std::string& command) {
        const pid_t child = start_program({"sh", "-c", command}, "/dev/null");
        int status = 0;
        if (child < 0 || ::waitpid(child, &status, 0) != child) return -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    static pid_t start_program(const std::vector<std::string>& argv, const std::string& output) {
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        const pid_t child = ::fork();
        if (child == 0) {
            const int out = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(::open("/dev/null", O_RDONLY), 0);
            ::dup2(out, 1);
            ::dup2(out, 2);
            ::setsid();
            ::execvp(args[0], args.data());
            ::_exit(127);
        }
        return child;
    }
    static int free_port() {
        const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof a;
        ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &length);
        ::close(s);
        return ntohs(a.sin_port);
    }
    // Every process below `root`, by the parents /proc names.
    static std::vector<int> descendants(int root) {
        std::vector<int> found{root};
        for (std::size_t i = 0; i < found.size(); ++i) {
            DIR* d = ::opendir("/proc");
            while (dirent* e = d ? ::readdir(d) : nullptr) {
                std::ifstream stat("/proc/" + std::string(e->d_name) + "/stat");
                std::string line;
                int parent = 0;
                if (std::atoi(e->d_name) > 0 && std::getline(stat, line) &&
                    line.rfind(')') != std::string::npos &&
                    std::sscanf(line.c_str() + line.rfind(')') + 1, " %*c %d", &parent) == 1 &&
                    parent == found[i])
                    found.push_back(std::atoi(e->d_name));
            }
            if (d) ::closedir(d);
        }
        found.erase(found.begin());
        return found;
    }

    // StrictModes is off: the run's files live under /tmp, which no strict
    // check of ownership along the path accepts.
    std::string config() const {
        return "Port " + std::to_string(port) + "\nListenAddress 127.0.0.1\nHostKey " + dir +
               "/host_key\nAuthorizedKeysFile " + dir + "/authorized_keys\nAllowUsers " + user +
               "\nPidFile none\nUsePAM no\nStrictModes no\nPubkeyAuthentication yes\n"
               "PasswordAuthentication yes\nKbdInteractiveAuthentication no\nPermitRootLogin yes\n"
               "MaxSessions 10\nMaxStartups 300\nAcceptEnv PTYPILOT_*\nPrintMotd no\nPrintLastLog no\n"
               "LogLevel VERBOSE\n";
    }

    // As root, the server reads the account's password from /etc/shadow:
    // in a mount namespace of its own, a copy where the account has a
    // password made for the run lies over it, and the system's accounts
    // stay untouched. A normal user's server cannot check passwords at all
    // (it cannot read /etc/shadow).
    std::vector<std::string> with_password(std::vector<std::string> command) {
        if (::geteuid() != 0) {
            no_password_because = "a server run by a normal user cannot check passwords";
            return command;
        }
        const std::string secret = "pw-" + std::to_string(::getpid());
        const std::string copy = dir + "/shadow";
        if (sh("unshare -m true && umask 077 && h=$(openssl passwd -6 -salt ptypilot " + secret +
               ") && sed \"s|^" + user + ":[^:]*:|" + user + ":$h:|\" /etc/shadow > " + copy) != 0) {
            no_password_because = "no mount namespace or no openssl here";
            return command;
        }
        password = secret;
        std::vector<std::string> wrapped{
            "unshare", "-m", "--", "sh", "-c", "mount --bind \"$0\" /etc/shadow && exec \"$@\"", copy};
        wrapped.insert(wrapped.end(), command.begin(), command.end());
        return wrapped;
    }

    void start() {
        // The privilege-separation directory that the package's boot-time
        // setup makes, which a container may lack.
        if (::geteuid() == 0) ::mkdir("/run/sshd", 0755);
        pid = start_program(with_password({"/usr/sbin/sshd", "-D", "-e", "-f", dir + "/sshd_config"}),
                            dir + "/sshd.log");
        for (int i = 0; i < 1000; ++i) {
            if (::waitpid(pid, nullptr, WNOHANG) == pid) {
                pid = -1;
                throw std::runtime_error("sshd ended at its start:\n" + log());
            }
            if (log().find("Server listening") != std::string::npos) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        throw std::runtime_error("sshd did not start listening within 10 s:\n" + log());
    }

    int pid = -1;
    int agent_pid = -1;
};

}  // namespace testing_support

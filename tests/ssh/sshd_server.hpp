// A real OpenSSH server for one test run: its own directory, host and user
// keys made for the run, its own configuration (no PAM; key and password
// authentication for the current user), on 127.0.0.1 at a free port.
// The tests, the example and the benchmark share it.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
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
        if (!::mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
        dir = pattern;
        const passwd* me = ::getpwuid(::geteuid());
        if (!me) throw std::runtime_error("the current user has no name");
        user = me->pw_name;
        host_key = dir + "/host_key";
        user_key = dir + "/user_key";
        known_hosts = dir + "/known_hosts";
        keygen(host_key);
        keygen(user_key);
        write(dir + "/authorized_keys", read(user_key + ".pub"), 0600);
        port = free_port();
        write(known_hosts, "[127.0.0.1]:" + std::to_string(port) + " " + read(host_key + ".pub"), 0600);
        write(dir + "/sshd_config", config(), 0600);
        start();
    }
    ~sshd_server() {
        stop();
        if (agent_pid > 0) {
            ::kill(agent_pid, SIGTERM);
            ::waitpid(agent_pid, nullptr, 0);
        }
        run({"rm", "-rf", dir});
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
                .known_hosts = known_hosts,
                .connect_timeout = std::chrono::seconds(10)};
    }

    // An agent holding the user key, started on first use; its socket.
    const std::string& agent() {
        if (agent_pid < 0) {
            agent_socket = dir + "/agent.sock";
            agent_pid = start_program({"ssh-agent", "-D", "-a", agent_socket}, dir + "/agent.log");
            for (int i = 0; i < 500 && ::access(agent_socket.c_str(), F_OK) != 0; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            ::setenv("SSH_AUTH_SOCK", agent_socket.c_str(), 1);
            if (run({"ssh-add", "-q", user_key}) != 0) throw std::runtime_error("ssh-add failed");
        }
        return agent_socket;
    }

    // The server's process and every connection's process it started, at
    // once: a server that vanishes mid-session.
    void kill_all() {
        if (pid < 0) return;
        for (int child : descendants(pid)) ::kill(child, SIGKILL);
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        pid = -1;
    }
    void stop() {
        if (pid < 0) return;
        for (int child : descendants(pid)) ::kill(child, SIGTERM);
        ::kill(pid, SIGTERM);
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

    std::string log() const { return read(dir + "/sshd.log"); }

    std::string dir, user, host_key, user_key, known_hosts, agent_socket;
    int port = 0;
    // The account's password as this server checks it; none where it
    // cannot be given one (see start()).
    std::optional<std::string> password;
    // Why password authentication is not available here.
    std::string no_password_because;

private:
    static std::string read(const std::string& path) {
        std::ifstream in(path);
        std::stringstream all;
        all << in.rdbuf();
        return all.str();
    }
    static void write(const std::string& path, const std::string& text, mode_t mode) {
        std::ofstream(path) << text;
        ::chmod(path.c_str(), mode);
    }
    // Runs a program to its end; its exit code (-1 when it could not run).
    static int run(const std::vector<std::string>& argv, const std::string& output = "/dev/null") {
        const pid_t child = start_program(argv, output);
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
            const int in = ::open("/dev/null", O_RDONLY);
            ::dup2(in, 0);
            ::dup2(out, 1);
            ::dup2(out, 2);
            ::setsid();
            ::execvp(args[0], args.data());
            ::_exit(127);
        }
        return child;
    }
    static std::string output_of(const std::vector<std::string>& argv, const std::string& file) {
        if (run(argv, file) != 0) return {};
        std::string text = read(file);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        return text;
    }
    static void keygen(const std::string& path) {
        if (run({"ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-C", "ptypilot-test", "-f", path}) != 0)
            throw std::runtime_error("ssh-keygen failed for " + path);
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
    static std::vector<int> descendants(int root) {
        std::vector<int> found{root};
        for (std::size_t i = 0; i < found.size(); ++i) {
            DIR* d = ::opendir("/proc");
            while (dirent* e = d ? ::readdir(d) : nullptr) {
                const int p = std::atoi(e->d_name);
                if (p <= 0) continue;
                std::ifstream stat("/proc/" + std::string(e->d_name) + "/stat");
                std::string line;
                std::getline(stat, line);
                const auto close = line.rfind(')');
                int parent = 0;
                char state = 0;
                if (close != std::string::npos &&
                    std::sscanf(line.c_str() + close + 1, " %c %d", &state, &parent) == 2 &&
                    parent == found[i])
                    found.push_back(p);
            }
            if (d) ::closedir(d);
        }
        found.erase(found.begin());
        return found;
    }

    std::string config() const {
        return "Port " + std::to_string(port) +
               "\nListenAddress 127.0.0.1\n"
               "HostKey " +
               host_key +
               "\nPidFile none\n"
               "UsePAM no\n"
               // The run's files live under /tmp, which no strict check of
               // ownership along the path accepts.
               "StrictModes no\n"
               "PubkeyAuthentication yes\n"
               "PasswordAuthentication yes\n"
               "KbdInteractiveAuthentication no\n"
               "PermitRootLogin yes\n"
               "AuthorizedKeysFile " +
               dir +
               "/authorized_keys\n"
               "AllowUsers " +
               user +
               "\nMaxSessions 10\n"
               "MaxStartups 300\n"
               "AcceptEnv PTYPILOT_*\n"
               "PrintMotd no\n"
               "PrintLastLog no\n"
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
        if (run({"unshare", "-m", "true"}) != 0) {
            no_password_because = "no mount namespace here (unshare -m fails)";
            return command;
        }
        const std::string secret = "pw-" + std::to_string(::getpid());
        const std::string hash =
            output_of({"openssl", "passwd", "-6", "-salt", "ptypilot", secret}, dir + "/hash");
        if (hash.empty()) {
            no_password_because = "openssl passwd failed";
            return command;
        }
        std::istringstream shadow(read("/etc/shadow"));
        std::string line, copy;
        while (std::getline(shadow, line)) {
            if (line.rfind(user + ":", 0) == 0) {
                const auto second = line.find(':', user.size() + 1);
                line = user + ":" + hash + line.substr(second);
            }
            copy += line + "\n";
        }
        write(dir + "/shadow", copy, 0600);
        password = secret;
        std::vector<std::string> wrapped{
            "unshare",      "-m", "--", "sh", "-c", "mount --bind \"$0\" /etc/shadow && exec \"$@\"",
            dir + "/shadow"};
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
            int status = 0;
            if (::waitpid(pid, &status, WNOHANG) == pid) {
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

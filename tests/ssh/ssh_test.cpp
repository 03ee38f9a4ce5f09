// Connections and sessions over channels against the run's own sshd: the
// ways in and the refusals, the remote program's life and terminal, the
// connection lost, and many channels in one wait.
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>

#include <ptypilot/ptypilot.hpp>

#include "ssh/sshd_server.hpp"
#include "support/helpers.hpp"

namespace ssh = ptypilot::ssh;
using ptypilot::sentinel;
using testing_support::sshd_server;

TEST(SshConnection, EveryWayOfAuthenticatingLogsIn) {
    sshd_server server;
    const auto answer = [&](const ssh::auth_prompt& p) { return p.echo ? std::nullopt : server.password; };
    for (const std::string way : {"key file", "agent", "password"}) {
        SCOPED_TRACE(way);
        if (way == "password" && !server.password) {
            sshd_server::skip("password", server.no_password_because);
            continue;
        }
        ssh::connect_options o = server.options();
        if (way != "key file") o.identity_file.reset();
        if (way == "agent") o.use_agent = true, o.agent_socket = server.agent();
        if (way == "password") o.answer = answer;
        ssh::connection c(o);
        EXPECT_TRUE(c.connected());
        ptypilot::spawn s = c.open_session({.command = "echo $USER-ok", .pty = false});
        s.expect(sentinel::eof);
        EXPECT_EQ(s.before, server.user + "-ok\n");
    }
}

TEST(SshConnection, RefusalsAreClearErrors) {
    sshd_server server;
    const std::string other = server.dir + "/other_known_hosts";
    std::ofstream(other) << "[127.0.0.1]:" << server.port << " "
                         << std::ifstream(server.user_key + ".pub").rdbuf();
    const std::string empty = server.dir + "/empty_known_hosts";
    std::ofstream{empty};
    using kind = ssh::host_key_error::kind;
    struct row {
        const char* known_hosts;
        std::optional<kind> refused;
        const char* text;
    };
    for (const row& r :
         {row{empty.c_str(), kind::unknown, "unknown"}, row{other.c_str(), kind::changed, "CHANGED"}}) {
        ssh::connect_options o = server.options();
        o.known_hosts = r.known_hosts;
        try {
            ssh::connection c(o);
            ADD_FAILURE() << "connected with " << r.known_hosts;
        } catch (const ssh::host_key_error& e) {
            EXPECT_EQ(e.problem, *r.refused);
            EXPECT_EQ(e.host, "[127.0.0.1]:" + std::to_string(server.port));
            EXPECT_EQ(e.fingerprint.rfind("SHA256:", 0), 0U) << e.fingerprint;
            EXPECT_NE(std::string(e.what()).find(r.text), std::string::npos) << e.what();
            EXPECT_NE(std::string(e.what()).find(e.fingerprint), std::string::npos) << e.what();
        }
    }
    // Accepting a new key records it: the next strict check knows it.
    ssh::connect_options o = server.options();
    o.known_hosts = empty;
    o.host_keys = ssh::host_key_policy::accept_new;
    EXPECT_TRUE(ssh::connection(o).connected());
    o.host_keys = ssh::host_key_policy::strict;
    EXPECT_TRUE(ssh::connection(o).connected());

    o = server.options();
    o.identity_file.reset();
    o.answer = [](const ssh::auth_prompt&) { return std::string("wrong"); };
    try {
        ssh::connection c(o);
        ADD_FAILURE() << "in with a wrong password";
    } catch (const ssh::auth_error& e) {
        EXPECT_NE(std::string(e.what()).find("refused a password"), std::string::npos) << e.what();
        EXPECT_EQ(std::string(e.what()).find("wrong"), std::string::npos) << e.what();
    }
}

TEST(SshSession, TheRemoteProgramsEndIsTheSessions) {
    sshd_server server;
    ssh::connection c(server.options());
    const std::string fixture = testing_support::fixture;
    struct row {
        std::string command;
        bool pty;
        int signal_sent;  // 0: none
        std::optional<int> status, signal;
    };
    const row rows[] = {
        {fixture + " exit 3", false, 0, 3, std::nullopt},
        {fixture + " exit 4", true, 0, 4, std::nullopt},
        {fixture + " kill-self 15", false, 0, std::nullopt, SIGTERM},
        {"echo started; exec sleep 100", false, SIGUSR1, std::nullopt, SIGUSR1},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.command);
        if (r.signal_sent != 0 && !sshd_server::takes_signals()) {
            sshd_server::skip("a signal request", "sshd refuses them on root's sessions");
            continue;
        }
        if (r.pty && !sshd_server::gives_terminals()) {
            sshd_server::skip("a terminal", "sshd run by a normal user gives none");
            continue;
        }
        ptypilot::spawn s = c.open_session({.command = r.command, .pty = r.pty}, {.timeout = 60});
        if (r.signal_sent != 0) {
            s.expect("started");
            s.kill(r.signal_sent);
        }
        s.expect(sentinel::eof);
        EXPECT_EQ(s.wait(), r.status);
        EXPECT_FALSE(s.isalive());
        s.close();
        EXPECT_EQ(s.exitstatus, r.status);
        EXPECT_EQ(s.signalstatus, r.signal);
    }
}

TEST(SshSession, TheRemoteTerminalFollowsTheSession) {
    if (!sshd_server::gives_terminals()) GTEST_SKIP() << "sshd run by a normal user gives no terminal";
    sshd_server server;
    ssh::connection c(server.options());
    ptypilot::spawn winch =
        c.open_session({.command = testing_support::fixture + " winch 1"}, {.timeout = 60});
    winch.expect("24 80");
    winch.setwinsize(30, 100);
    winch.expect("30 100");
    EXPECT_EQ(winch.getwinsize(), std::make_pair(30, 100));

    ptypilot::spawn box = c.open_session({.command = "whiptail --msgbox 'remote hello' 8 30"},
                                         {.timeout = 60, .screen = ptypilot::screen_options{}});
    box.expect_screen_exact("remote hello");
    box.send("\r");
    box.expect(sentinel::eof);
    EXPECT_EQ(box.wait(), 0);
}

TEST(SshSession, ALostConnectionIsEndOfFile) {
    sshd_server server;
    ssh::connect_options o = server.options();
    o.keepalive_interval = std::chrono::seconds(1);
    ssh::connection c(o);
    ptypilot::spawn s = c.open_session({.command = "echo up; exec sleep 100", .pty = false}, {.timeout = 60});
    s.expect("up");
    server.end(SIGKILL);
    EXPECT_EQ(s.expect({"never", sentinel::eof}), 1);
    EXPECT_FALSE(s.isalive());
    EXPECT_FALSE(c.connected());
    EXPECT_THROW(c.open_session(), ssh::ssh_error);
}

TEST(SshSession, FiftyChannelsOverFiveConnectionsInOneWait) {
    sshd_server server;
    std::vector<ssh::connection> connections;
    std::vector<ptypilot::spawn> sessions;
    ptypilot::session_group group;
    for (int k = 0; k < 5; ++k) {
        connections.emplace_back(server.options());
        for (int j = 0; j < 10; ++j) {
            const int n = k * 10 + j;
            sessions.push_back(connections.back().open_session(
                {.command = "echo \"= $((" + std::to_string(n) + " * 2))\"", .pty = false}, {.timeout = 60}));
        }
    }
    // The server's limit of sessions per connection is a clear error.
    try {
        connections[0].open_session();
        ADD_FAILURE() << "an eleventh channel opened";
    } catch (const ssh::ssh_error& e) {
        EXPECT_NE(std::string(e.what()).find("MaxSessions"), std::string::npos) << e.what();
    }
    for (std::uint64_t n = 0; n < sessions.size(); ++n) group.add(n, sessions[n], "= (\\d+)\n", 60);
    int matched = 0;
    for (const ptypilot::group_outcome& o : ptypilot::expect_all(group, 60)) {
        ASSERT_EQ(o.status, ptypilot::group_status::matched) << o.key;
        EXPECT_EQ(std::get<ptypilot::match_result>(o.session->match).group(1), std::to_string(o.key * 2));
        ++matched;
    }
    EXPECT_EQ(matched, 50);
    for (std::uint64_t n = 0; n < sessions.size(); ++n) group.remove(n);
}

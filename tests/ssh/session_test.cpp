// Sessions over channels: the remote program's life, its terminal, the
// connection lost, and many channels in one wait.
#include <gtest/gtest.h>

#include <csignal>

#include <ptypilot/ptypilot.hpp>

#include "ssh/sshd_server.hpp"
#include "support/helpers.hpp"

namespace ssh = ptypilot::ssh;
using ptypilot::sentinel;
using testing_support::sshd_server;

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
    server.kill_all();
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

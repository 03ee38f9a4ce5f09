// Connections and channels against the run's own sshd.
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <memory>

#include <ptypilot/ssh.hpp>

#include "ssh/remote_channel.hpp"
#include "ssh/sshd_server.hpp"
#include "support/helpers.hpp"

namespace ssh = ptypilot::ssh;
using testing_support::sshd_server;

namespace {

// Everything the channel gives until end of file.
std::string drain(ssh::detail::remote_channel& c) {
    std::string all;
    char chunk[4096];
    for (;;) {
        if (!c.wait_ready(60)) throw std::runtime_error("no end of file within 60 s: " + all);
        const auto n = c.read(chunk, sizeof chunk);
        if (!n) return all;
        all.append(chunk, *n);
    }
}

// Reads until `text` shows (or end of file), returning all read.
std::string read_until(ssh::detail::remote_channel& c, const std::string& text) {
    std::string all;
    char chunk[4096];
    while (all.find(text) == std::string::npos) {
        if (!c.wait_ready(60)) throw std::runtime_error("'" + text + "' not seen within 60 s: " + all);
        const auto n = c.read(chunk, sizeof chunk);
        if (!n) break;
        all.append(chunk, *n);
    }
    return all;
}

std::unique_ptr<ssh::detail::remote_channel> open(const ssh::connection& c, ssh::channel_options o) {
    return std::make_unique<ssh::detail::remote_channel>(c.state(), o);
}

}  // namespace

TEST(SshConnection, EveryWayOfAuthenticatingLogsIn) {
    sshd_server server;
    struct row {
        const char* way;
        std::function<void(ssh::connect_options&)> set;
    };
    const row rows[] = {
        {"key file", [](ssh::connect_options&) {}},
        {"agent",
         [&](ssh::connect_options& o) {
             o.identity_file.reset();
             o.use_agent = true;
             o.agent_socket = server.agent();
         }},
        {"password",
         [&](ssh::connect_options& o) {
             o.identity_file.reset();
             o.answer = [&](const ssh::auth_prompt& p) {
                 EXPECT_FALSE(p.echo);
                 return server.password;
             };
         }},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.way);
        if (std::string(r.way) == "password" && !server.password) {
            sshd_server::skip("password", server.no_password_because);
            continue;
        }
        ssh::connect_options o = server.options();
        r.set(o);
        ssh::connection c(o);
        EXPECT_TRUE(c.connected());
        auto ch = open(c, {.command = "echo $USER-ok", .pty = false});
        EXPECT_EQ(drain(*ch), server.user + "-ok\n");
    }
}

TEST(SshConnection, RefusalsAreClearErrors) {
    sshd_server server;
    const std::string other = server.dir + "/other_known_hosts";
    std::ofstream(other) << "[127.0.0.1]:" << server.port << " "
                         << std::ifstream(server.user_key + ".pub").rdbuf();
    const std::string empty = server.dir + "/empty_known_hosts";
    std::ofstream(empty).flush();
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
    EXPECT_THROW(
        {
            try {
                ssh::connection c(o);
            } catch (const ssh::auth_error& e) {
                EXPECT_NE(std::string(e.what()).find("refused a password"), std::string::npos) << e.what();
                EXPECT_EQ(std::string(e.what()).find("wrong"), std::string::npos) << e.what();
                throw;
            }
        },
        ssh::auth_error);
}

TEST(SshChannel, TheRemoteProgramsEndAndSignalsArrive) {
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
        auto ch = open(c, {.command = r.command, .pty = r.pty});
        if (r.signal_sent != 0) {
            read_until(*ch, "started");
            EXPECT_TRUE(ch->signal(r.signal_sent));
        }
        drain(*ch);
        EXPECT_TRUE(ch->wait_ready(60, true));
        EXPECT_EQ(ch->exit_status(), r.status);
        EXPECT_EQ(ch->exit_signal(), r.signal);
    }
}

TEST(SshChannel, TheRemoteProgramSeesItsWindowChange) {
    if (!sshd_server::gives_terminals()) GTEST_SKIP() << "sshd run by a normal user gives no terminal";
    sshd_server server;
    ssh::connection c(server.options());
    auto ch =
        open(c, {.command = testing_support::fixture + " winch 1", .window = {.rows = 24, .columns = 80}});
    EXPECT_NE(read_until(*ch, "24 80").find("24 80"), std::string::npos);
    ch->resize({.rows = 30, .columns = 100});
    EXPECT_NE(read_until(*ch, "30 100").find("30 100"), std::string::npos);
}

// Connections and channels against the run's own sshd.
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <memory>

#include <ptypilot/ssh.hpp>

#include "ssh/sshd_server.hpp"
#include "support/helpers.hpp"

namespace ssh = ptypilot::ssh;
using testing_support::sshd_server;

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
        ptypilot::spawn s = c.open_session({.command = "echo $USER-ok", .pty = false});
        s.expect(ptypilot::sentinel::eof);
        EXPECT_EQ(s.before, server.user + "-ok\n");
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

// One command on many hosts from one thread, over SSH channels: each host's
// output and exit status. The README's "Sessions over SSH" is its region.
//
//   ssh_fleet COMMAND [user@]host[:port]...
//
// logs in with the agent's keys, checking host keys against
// ~/.ssh/known_hosts. Without hosts it runs against a server of its own on
// 127.0.0.1 (the tests' sshd, with keys made for the run), eight
// connections to it, and checks what came back.
#include <cstdio>
#include <exception>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include <ptypilot/ptypilot.hpp>

#include "ssh/sshd_server.hpp"
using namespace ptypilot;
using namespace std::chrono_literals;

namespace {

ssh::connect_options host_of(std::string word) {
    ssh::connect_options where;
    if (const auto at = word.find('@'); at != std::string::npos) {
        where.user = word.substr(0, at);
        word.erase(0, at + 1);
    }
    if (const auto colon = word.rfind(':'); colon != std::string::npos) {
        where.port = std::stoi(word.substr(colon + 1));
        word.erase(colon);
    }
    where.host = word;
    return where;
}

struct result {
    std::string output;
    std::optional<int> status;
};

std::map<std::string, result> run_everywhere(const std::string& command,
                                             const std::vector<ssh::connect_options>& fleet) {
    std::map<std::string, result> results;
    // README begin
    std::vector<ssh::connection> hosts;  // made in turn: each within its connect_timeout
    std::vector<spawn> runs;
    runs.reserve(fleet.size());  // the group keeps each session where it is
    session_group group;
    for (const ssh::connect_options& where : fleet) {
        hosts.emplace_back(where);  // connects, checks the host key, logs in
        runs.push_back(hosts.back().open_session({.command = command, .pty = false}));
        group.add(runs.size() - 1, runs.back(), sentinel::eof, 30s);  // all it writes
    }
    for (const group_outcome& o : expect_all(group, 60s)) {  // every host at once, one thread
        spawn& run = runs[o.key];
        if (o.status != group_status::matched) group.remove(o.key);  // out of time: its text so far
        run.close();                                                 // exit-status has come by now
        results[hosts[o.key].name() + " #" + std::to_string(o.key)] = {run.before_str() + run.buffer,
                                                                       run.exitstatus};
    }
    // README end
    return results;
}

}  // namespace

int main(int argc, char** argv) try {
    const std::string command = argc > 1 ? argv[1] : "echo \"$USER on $(hostname)\"; exit 7";
    std::vector<ssh::connect_options> fleet;
    for (int i = 2; i < argc; ++i) fleet.push_back(host_of(argv[i]));
    std::optional<testing_support::sshd_server> own;
    if (fleet.empty()) {
        own.emplace();
        fleet.assign(8, own->options());
    }
    const auto results = run_everywhere(command, fleet);
    int bad = 0;
    for (const auto& [host, r] : results) {
        std::cout << host << ": exit " << (r.status ? std::to_string(*r.status) : "none") << ", " << r.output;
        if (own && (r.status != 7 || r.output.find(own->user + " on ") == std::string::npos)) ++bad;
    }
    if (own && (results.size() != 8 || bad != 0)) {
        std::fprintf(stderr, "ssh_fleet: %d of 8 hosts did not answer as expected\n", bad);
        return 1;
    }
    return 0;
} catch (const std::exception& e) {
    std::fprintf(stderr, "ssh_fleet: %s\n", e.what());
    return 1;
}

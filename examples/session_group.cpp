// Drives twenty shells from one thread through a session group: waits for
// every prompt at once with expect_all, then takes each shell's lines as
// they come until it exits. It backs the README snippets in "Many sessions"
// on session_group, and shows how a program raises its own descriptor
// limit (the library never does).
//
// Exits 0 when every shell answered as asked, 1 otherwise.
#include <sys/resource.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <ptypilot/ptypilot.hpp>
#include <ptypilot/session_group.hpp>
using namespace ptypilot;
using namespace std::chrono_literals;

namespace {

int fail(const std::string& why) {
    std::fprintf(stderr, "session_group: %s\n", why.c_str());
    return 1;
}

}  // namespace

int main() {
    try {
        // Two descriptors per session: a program driving thousands raises
        // its soft limit up to the hard one.
        // README begin
        rlimit lim{};
        ::getrlimit(RLIMIT_NOFILE, &lim);
        lim.rlim_cur = lim.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &lim);
        // README end

        const env_map env{{"PS1", "$ "}, {"PATH", "/usr/bin:/bin"}, {"TERM", "dumb"}, {"LC_ALL", "C"}};
        std::vector<std::unique_ptr<spawn>> shells;
        for (int k = 0; k < 20; ++k)
            shells.push_back(std::make_unique<spawn>("/bin/sh", spawn_options{.timeout = 10s, .env = env}));

        // README begin
        session_group group;  // one epoll descriptor, kept
        for (std::uint64_t k = 0; k < shells.size(); ++k)
            group.add(k, *shells[k], "\\$ ", 10s);             // key, patterns, time-out from now
        for (const group_outcome& o : expect_all(group, 30s))  // every session, one overall limit
            if (o.status != group_status::matched)
                return fail("shell " + std::to_string(o.key) + " gave no prompt");

        // The echo of each command line holds no digit before its end: only
        // the shell's answers match.
        for (std::uint64_t k = 0; k < shells.size(); ++k) {
            shells[k]->sendline("for i in 1 2 3; do printf '= %d\\n' $((i * " + std::to_string(k + 1) +
                                ")); done; exit");
            group.set_patterns(k, {"= (\\d+)\r\n", sentinel::eof}, 10s);
        }
        std::map<std::uint64_t, int> sums;
        while (group.waiting() > 0)
            for (const group_outcome& o : group.wait()) {  // the sessions that reached one
                if (o.status == group_status::matched) {
                    sums[o.key] += std::stoi(std::get<match_result>(o.session->match).group(1).value_or("0"));
                    group.rearm(o.key);  // the next line, a new time-out
                }                        // eof: it has left the group
            }
        // README end

        if (group.size() != 0) return fail("a shell that ended is still in the group");
        for (std::uint64_t k = 0; k < shells.size(); ++k)
            if (sums[k] != 6 * static_cast<int>(k + 1))
                return fail("shell " + std::to_string(k) + " summed to " + std::to_string(sums[k]));
        for (auto& s : shells) s->close();
        std::printf("20 shells answered, each from its own key\n");
        return 0;
    } catch (const std::exception& e) {
        return fail(e.what());
    }
}

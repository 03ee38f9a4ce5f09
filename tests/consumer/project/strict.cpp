// Compiled, not run, by the consumer test with a user's strict warnings as
// errors (-Wshadow, -Wconversion, -Wsign-conversion, -Wold-style-cast...) at
// -O2, with the installed headers seen through -I as pkg-config gives them:
// every header, and the templates a caller instantiates, must stay quiet.
#include <ptypilot/ptypilot.hpp>

#include <string>
#include <vector>

using namespace std::chrono_literals;

int drive(ptypilot::spawn& child, const std::string& word) {
    // A list built entry by entry, a sentinel among them.
    ptypilot::pattern_list patterns;
    patterns.push_back(word);
    patterns.push_back(ptypilot::regex(word, ptypilot::regex::ignorecase));
    patterns.push_back(ptypilot::sentinel::timeout);
    ptypilot::pattern_list copy = patterns;
    copy.push_back(ptypilot::EOF_{});
    int i = child.expect(copy) + child.expect(patterns, 2s) + child.expect_exact("x", 500ms);
    i += child.expect_screen("y", 1s) + child.expect_screen_exact("z", 1s);
    child.waitnoecho(1s);
    child.read_nonblocking(10, 1s);
    std::vector<ptypilot::expect_target> targets = {{child, {"a", ptypilot::sentinel::eof}, 5s}};
    const auto outcomes = ptypilot::expect_many(targets);
    auto [out, status] = ptypilot::run("true", 5s, ptypilot::withexitstatus);
    const ptypilot::screen_view view = child.wait_screen_settled(0.1, 1s);
    return i + static_cast<int>(outcomes.size() + out.size()) + status.value_or(0) + view.rows;
}

int main(int argc, char** argv) {
    ptypilot::spawn child("/bin/true", {.env = ptypilot::environment_with({{"TERM", "dumb"}})});
    return argc > 1 ? drive(child, argv[1]) : PTYPILOT_VERSION_MAJOR;
}

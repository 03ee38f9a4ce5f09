// One wait over many sessions, and the event-loop step: real children, every
// outcome counted.
#include <gtest/gtest.h>
#include <sys/epoll.h>

#include <map>

#include <ptypilot/expect_many.hpp>

#include "support/helpers.hpp"

using namespace ptypilot;
using testing_support::fixture;
using testing_support::is;

namespace {

std::unique_ptr<spawn> start(const std::string& cmd) { return testing_support::start_quick(cmd, 20.0); }

// A regex strategy that counts how it is asked: a whole search, or one that
// goes on after appended text.
class counting_searcher : public searcher_re {
public:
    using searcher_re::searcher_re;
    int search(std::string_view buffer, std::size_t freshlen, std::optional<long> window) override {
        ++whole;
        return searcher_re::search(buffer, freshlen, window);
    }
    int search_appended(std::string_view buffer, std::size_t freshlen, std::optional<long> window) override {
        ++appended;
        return searcher_re::search_appended(buffer, freshlen, window);
    }
    int whole = 0;
    int appended = 0;
};

}  // namespace

// Children answering at random moments: every answer is reported once, in
// order, and none is lost, whichever session happens to be ready.
TEST(ExpectMany, EveryAnswerOfEveryChildReportedOnce) {
    constexpr int children = 6;
    constexpr int answers = 25;
    std::vector<std::unique_ptr<spawn>> sessions;
    for (int i = 0; i < children; ++i)
        sessions.push_back(
            start(fixture + " answers " + std::to_string(answers) + " 15 " + std::to_string(i + 7)));
    std::vector<std::vector<int>> seen(children);
    std::vector<bool> ended(children, false);
    std::vector<std::size_t> live(children);
    for (int i = 0; i < children; ++i) live[static_cast<std::size_t>(i)] = static_cast<std::size_t>(i);
    while (!live.empty()) {
        std::vector<expect_target> targets;
        for (const std::size_t i : live)
            targets.emplace_back(*sessions[i], pattern_input{"answer (\\d+)\r\n", sentinel::eof});
        const auto outcomes = expect_many(targets);
        ASSERT_FALSE(outcomes.empty());
        std::vector<std::size_t> still;
        std::vector<bool> finished(live.size(), false);
        for (const auto& o : outcomes) {
            spawn& s = *sessions[live[o.session]];
            if (o.index == 1) {
                finished[o.session] = true;
                ended[live[o.session]] = true;
                EXPECT_TRUE(is(s.after, sentinel::eof));
                continue;
            }
            ASSERT_EQ(o.index, 0);
            EXPECT_EQ(s.match_index, 0);
            seen[live[o.session]].push_back(
                std::stoi(std::get<match_result>(s.match).group(1).value_or("0")));
        }
        for (std::size_t k = 0; k < live.size(); ++k)
            if (!finished[k]) still.push_back(live[k]);
        live = still;
    }
    std::vector<int> all(answers);
    for (int i = 0; i < answers; ++i) all[static_cast<std::size_t>(i)] = i + 1;
    for (int i = 0; i < children; ++i) {
        EXPECT_EQ(seen[static_cast<std::size_t>(i)], all) << "child " << i;
        EXPECT_TRUE(ended[static_cast<std::size_t>(i)]);
    }
}

// The fields of a session after the wait over many are those expect() leaves.
TEST(ExpectMany, FieldsAsExpectLeavesThem) {
    struct row {
        const char* command;
        pattern_input patterns;
        double timeout;
    };
    const std::vector<row> rows = {
        {" print 'alpha beta gamma'", pattern_input{"nomatch", "b[a-z]+"}, 10},
        {" print 'some text'", pattern_input{"never", sentinel::timeout, sentinel::eof}, 10},
        {" pause partial 5 rest", pattern_input{"rest", sentinel::timeout}, 0.3},
    };
    for (const auto& r : rows) {
        auto a = start(fixture + r.command);
        auto b = start(fixture + r.command);
        const int by_expect = a->expect(r.patterns, r.timeout);
        const auto outcomes = expect_many({expect_target(*b, r.patterns, r.timeout)});
        ASSERT_EQ(outcomes.size(), 1u) << r.command;
        EXPECT_EQ(outcomes[0].session, 0u);
        EXPECT_EQ(outcomes[0].index, by_expect) << r.command;
        EXPECT_EQ(b->before, a->before) << r.command;
        EXPECT_EQ(b->after, a->after) << r.command;
        EXPECT_EQ(b->buffer, a->buffer) << r.command;
        EXPECT_EQ(b->match_index, a->match_index) << r.command;
        EXPECT_EQ(b->match.index(), a->match.index()) << r.command;
    }
}

// A quiet session's answer is reported in the first call after it arrives,
// however many matches a chatty one has waiting in its buffer.
TEST(ExpectMany, ChattySessionDoesNotStarveQuietOne) {
    auto chatty = start(fixture + " sleep 10");
    for (int i = 0; i < 2000; ++i) chatty->buffer += "line " + std::to_string(i) + "\r\n";
    auto quiet = start(fixture + " pause hello 10 ''");
    ASSERT_TRUE(testing_support::wait_readable(quiet->fileno()));
    const std::vector<expect_target> targets = {{*chatty, "line \\d+\r\n"}, {*quiet, "hello"}};
    int calls = 0;
    bool heard = false;
    while (!heard && calls < 2000) {
        ++calls;
        for (const auto& o : expect_many(targets)) heard = heard || o.session == 1;
    }
    EXPECT_TRUE(heard);
    EXPECT_EQ(calls, 1);
}

TEST(ExpectMany, EachSessionItsOwnTimeOut) {
    auto slow = start(fixture + " pause partial 5 rest");
    auto later = start(fixture + " pause early 3 late");
    const auto t0 = std::chrono::steady_clock::now();
    const auto outcomes =
        expect_many({{*slow, {"rest", sentinel::timeout}, 0.3}, {*later, "late", std::nullopt}});
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 2.5);
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_EQ(outcomes[0].session, 0u);
    EXPECT_EQ(outcomes[0].index, 1);
    EXPECT_EQ(slow->buffer, "partial");
    EXPECT_TRUE(is(slow->after, sentinel::timeout));
    // The other waits on: nothing it received is lost, none of its fields set.
    EXPECT_FALSE(later->before);
    EXPECT_EQ(later->expect("late", 10), 0);
    EXPECT_EQ(later->before, "early");
}

// Not listed, end of file and the time-out are thrown with the text dump of
// the session they befell; the others keep their text for the next call.
TEST(ExpectMany, UnlistedEndsAreThrownNamingTheSession) {
    auto done = start(fixture + " print bye");
    auto busy = start(fixture + " pause partial 5 rest");
    ASSERT_TRUE(testing_support::wait_readable(busy->fileno()));
    EXPECT_NE(testing_support::message_of<EOF_>([&] {
                  expect_many({{*done, "never"}, {*busy, "rest"}});
              }).find("\n" + done->str()),
              std::string::npos);
    EXPECT_EQ(done->before, "bye");
    EXPECT_FALSE(done->match_index);
    EXPECT_FALSE(busy->before);
    EXPECT_EQ(busy->expect("partial", 10), 0);

    auto silent = start(fixture + " sleep 5");
    EXPECT_THROW(expect_many({{*silent, "x", 0.2}}), TIMEOUT);
    EXPECT_TRUE(is(silent->after, sentinel::timeout));
}

// Two sessions at end of file, both always ready: the one whose end is thrown
// is the one served first, which must not always be the first listed.
TEST(ExpectMany, NoPlaceInTheListIsAlwaysServedFirst) {
    auto a = start(fixture + " print a");
    auto b = start(fixture + " print b");
    std::vector<bool> thrown_for(2, false);
    for (int call = 0; call < 1000 && !(thrown_for[0] && thrown_for[1]); ++call) {
        const std::string msg = testing_support::message_of<EOF_>([&] {
            expect_many({{*a, "x"}, {*b, "x"}});
        });
        thrown_for[0] = thrown_for[0] || msg.find("\n" + a->str()) != std::string::npos;
        thrown_for[1] = thrown_for[1] || msg.find("\n" + b->str()) != std::string::npos;
    }
    EXPECT_EQ(thrown_for, (std::vector<bool>{true, true}));
}

TEST(ExpectMany, MatchesInTheBuffersNeedNoRead) {
    spawn a(std::nullopt), b(std::nullopt);  // closed: any read would fail
    a.buffer = "xx>>yy";
    b.buffer = "<<zz";
    const auto outcomes = expect_many({{a, ">>", 0}, {b, {"nope", "<<"}, 0}});
    ASSERT_EQ(outcomes.size(), 2u);
    EXPECT_EQ(outcomes[0].index, 0);
    EXPECT_EQ(outcomes[1].index, 1);
    EXPECT_EQ(a.buffer, "yy");
    EXPECT_EQ(b.buffer, "zz");
    // A closed session without a match fails as expect() does.
    EXPECT_THROW(expect_many({{a, ">>", 0}}), std::logic_error);
    EXPECT_EQ(a.buffer, "yy");
}

TEST(ExpectMany, RefusesTargetsThatWouldShareState) {
    auto s = start(fixture + " sleep 5");
    auto t = start(fixture + " sleep 5");
    EXPECT_THROW(expect_many({{*s, "a"}, {*s, "b"}}), std::invalid_argument);
    auto shared = std::make_shared<searcher_re>(s->compile_pattern_list("a"));
    EXPECT_THROW(expect_many({{*s, shared}, {*t, shared}}), std::invalid_argument);
    EXPECT_TRUE(expect_many(std::span<const expect_target>{}).empty());
}

// Given the same strategy call after call, the search goes on where the last
// one stopped, in the step as in the wait over many.
TEST(ExpectMany, SameStrategyResumesItsSearch) {
    auto s = start(fixture + " drip 1 0.05");
    auto counting = std::make_shared<counting_searcher>(s->compile_pattern_list({"never", sentinel::eof}));
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(testing_support::wait_readable(s->fileno()));
        EXPECT_EQ(s->expect_step(counting).status, step_status::nothing);
    }
    EXPECT_EQ(counting->whole, 1);  // the empty buffer the first step started with
    EXPECT_GE(counting->appended, 5);
    // Another strategy in between: the next call searches everything again.
    s->expect_step(pattern_input{"nothing like it"});
    s->expect_step(counting);
    EXPECT_EQ(counting->whole, 2);
    const auto outcomes = expect_many({{*s, counting}});
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_EQ(outcomes[0].index, 1);
    EXPECT_EQ(counting->whole, 2);
    EXPECT_NE(s->before_str().find("tick\r\ntick\r\n"), std::string::npos);
}

TEST(ExpectStep, MatchNothingAndEndOfFile) {
    auto s = start(fixture + " pause 'ready> ' 3 'done> '");  // "done" long after a look finds nothing
    auto prompt = std::make_shared<searcher_re>(s->compile_pattern_list("[a-z]+> "));
    s->before = "untouched";
    const testing_support::time_limit limit;
    step_result r = s->expect_step(prompt);
    while (r.status == step_status::nothing) {
        ASSERT_FALSE(limit.passed()) << "no prompt";
        EXPECT_EQ(r.index, -1);
        EXPECT_EQ(s->before, "untouched");
        ASSERT_TRUE(testing_support::wait_readable(s->fileno()));
        r = s->expect_step(prompt);
    }
    EXPECT_EQ(r.status, step_status::matched);
    EXPECT_EQ(r.index, 0);
    EXPECT_EQ(s->after_str(), "ready> ");
    EXPECT_GT(r.bytes_read, 0u);  // the buffer was empty: the match came with this step's read
    // Nothing there yet: reported at once, without waiting.
    const auto t0 = std::chrono::steady_clock::now();
    r = s->expect_step(prompt);
    EXPECT_EQ(r.status, step_status::nothing);
    EXPECT_EQ(r.bytes_read, 0u);
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 5.0);
    // End of file not listed: reported, not thrown, the fields as expect() sets them.
    while (r.status != step_status::eof) {
        ASSERT_FALSE(limit.passed()) << "no end of file";
        ASSERT_TRUE(testing_support::wait_readable(s->fileno()));
        r = s->expect_step(pattern_input{"never"});
    }
    EXPECT_EQ(r.index, -1);
    EXPECT_TRUE(is(s->after, sentinel::eof));
    EXPECT_FALSE(s->match_index);
    EXPECT_NE(s->before_str().find("done> "), std::string::npos);
    EXPECT_TRUE(s->buffer.empty());
    // Listed: its position.
    EXPECT_EQ(s->expect_step(pattern_input{"never", sentinel::eof}).index, 1);
}

// A step that found nothing lets the next one with the same strategy go on
// where it stopped; a strategy freed since and another made at its address
// (as an allocator hands them out) must not pass for it.
TEST(ExpectStep, ANewStrategyWhereAFreedOneWasSearchesAfresh) {
    auto s = start(fixture + " pause hello 5 x");
    {
        auto other = std::make_shared<searcher_re>(s->compile_pattern_list("zzz"));
        const testing_support::time_limit limit;
        while (s->buffer.find("hello") == std::string::npos) {
            ASSERT_FALSE(limit.passed());
            ASSERT_TRUE(testing_support::wait_readable(s->fileno()));
            ASSERT_EQ(s->expect_step(other).status, step_status::nothing);
        }
        s->searcher.reset();
    }
    auto hello = std::make_shared<searcher_re>(s->compile_pattern_list("hello"));
    s->searcher = hello;  // as a caller may set the field
    EXPECT_EQ(s->expect_step(hello).status, step_status::matched);
}

// An edge-triggered epoll loop over several children: a session is waited
// for again only once a step found nothing waiting.
TEST(ExpectStep, DrivesSessionsFromAnEdgeTriggeredLoop) {
    constexpr int children = 4;
    std::vector<std::unique_ptr<spawn>> sessions;
    for (int i = 0; i < children; ++i)
        sessions.push_back(start(fixture + " answers 10 10 " + std::to_string(i + 1)));
    const int ep = ::epoll_create1(EPOLL_CLOEXEC);
    ASSERT_GE(ep, 0);
    for (int i = 0; i < children; ++i) {
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLET;
        ev.data.u32 = static_cast<std::uint32_t>(i);
        ASSERT_EQ(::epoll_ctl(ep, EPOLL_CTL_ADD, sessions[static_cast<std::size_t>(i)]->fileno(), &ev), 0);
    }
    std::map<int, int> answered;
    int open = children;
    const testing_support::time_limit limit;
    while (open > 0) {
        epoll_event events[children];
        const int n = ::epoll_wait(ep, events, children, 20000);
        ASSERT_GT(n, 0) << "a session was never woken again";
        for (int k = 0; k < n; ++k) {
            const int i = static_cast<int>(events[k].data.u32);
            spawn& s = *sessions[static_cast<std::size_t>(i)];
            for (;;) {
                ASSERT_FALSE(limit.passed());
                const step_result r = s.expect_step(pattern_input{"answer \\d+\r\n", sentinel::eof});
                if (r.status == step_status::matched) {
                    ++answered[i];
                } else if (r.status == step_status::eof) {
                    ::epoll_ctl(ep, EPOLL_CTL_DEL, s.fileno(), nullptr);
                    --open;
                    break;
                } else if (r.bytes_read == 0) {
                    break;
                }
            }
        }
    }
    ::close(ep);
    for (int i = 0; i < children; ++i) EXPECT_EQ(answered[i], 10) << "child " << i;
}

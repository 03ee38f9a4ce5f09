// Running a command to its end, answering prompts from a table of events.
#include <ptypilot/run.hpp>

#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <tuple>

#include "support/helpers.hpp"

using namespace ptypilot;
using testing_support::fixture;

TEST(Run, OutputAndExitStatus) {
    EXPECT_EQ(run(fixture + " lines 2"), "line 1\r\nline 2\r\n");
    EXPECT_EQ(run(fixture + " exit 0"), "");
    const auto [out, status] = run(fixture + " pause bye 0 '' ", -1, withexitstatus);
    EXPECT_EQ(out, "bye");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(run(fixture + " exit 3", -1, withexitstatus).second, 3);
    EXPECT_EQ(run(fixture + " kill-self 9", -1, withexitstatus).second, std::nullopt);
    // A child that closes its terminal and then finishes its work.
    EXPECT_EQ(run("sh -c 'exec >&- 2>&- <&-; sleep 0.5; exit 7'", 10, withexitstatus).second, 7);
}

TEST(Run, AnswersAPasswordPrompt) {
    const std::string out = run(fixture + " password", 10, event_list{{"[Pp]assword: ", "hunter2\n"}});
    EXPECT_EQ(out, "Password: \r\ngot hunter2\r\n");
}

TEST(Run, StringResponseIsSentEachTimeThePatternIsSeen) {
    const std::string out = run("sh -c 'for i in 1 2 3; do printf \"q$i> \"; read a; echo \"[$a]\"; done'",
                                10, event_list{{"q\\d> ", "yes\n"}});
    EXPECT_EQ(out, "q1> yes\r\n[yes]\r\nq2> yes\r\n[yes]\r\nq3> yes\r\n[yes]\r\n");
}

TEST(Run, CallbackSeesTheWorkingState) {
    std::any extra = std::string("mine");
    bool checked = false;
    const std::string out = run(fixture + " lines 3", 10,
                                event_list{{"line 2\r\n", callback([&](run_state& st) -> callback_value {
                                                EXPECT_EQ(std::any_cast<std::string>(st.extra_args), "mine");
                                                EXPECT_EQ(st.command, fixture + " lines 3");
                                                EXPECT_EQ(st.event_count, 0);
                                                EXPECT_EQ(st.index, 0);
                                                EXPECT_FALSE(st.callback_result);
                                                EXPECT_EQ(st.child_result_list.size(), 1u);
                                                st.child_result_list.push_back("<seen>");
                                                checked = true;
                                                return false;
                                            })}},
                                extra);
    EXPECT_TRUE(checked);
    EXPECT_EQ(out, "line 1\r\nline 2\r\n<seen>line 3\r\n");
}

TEST(Run, CallbackReturningTrueEndsTheRunAtThatMatch) {
    int calls = 0;
    const auto [out, status] = run(fixture + " pause 'ask> ' 30 never", 10, withexitstatus,
                                   event_list{{"ask> ", callback([&](run_state& st) -> callback_value {
                                                   ++calls;
                                                   EXPECT_EQ(st.event_count, 0);
                                                   return true;
                                               })}});
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(out, "ask> ");
    EXPECT_EQ(status, std::nullopt);  // the still-running child was closed: ended by a signal
}

TEST(Run, CallbackReturningTextSendsIt) {
    const std::string out =
        run(fixture + " password", 10, event_list{{"Password: ", callback([](run_state&) -> callback_value {
                                                       return std::string("from-callback\n");
                                                   })}});
    EXPECT_NE(out.find("got from-callback"), std::string::npos);
}

TEST(Run, EmptyCallbackIsATypeError) {
    EXPECT_EQ(testing_support::message_of<std::invalid_argument>([] {
                  run(fixture + " lines 1", 10, event_list{{"line", callback()}});
              }),
              "The callback must be a string or function type.");
}

TEST(Run, TimeOutEndsTheRunWithTheTextSoFar) {
    const auto [out, status] = run(fixture + " pause waiting 30 never", 0.5, withexitstatus);
    EXPECT_EQ(out, "waiting");
    EXPECT_EQ(status, std::nullopt);
}

// The text a time-out saw stays in the buffer for the next wait, and the
// output holds every byte once, whatever the time-out's callback takes from
// the buffer or leaves there, and also when it ends the run.
TEST(Run, TimeOutAsAnEventRepeatsNoOutput) {
    const auto taking = [](std::function<void(std::string&)> take) {
        return callback([take](run_state& st) -> callback_value {
            take(st.child.buffer);
            return false;
        });
    };
    const auto first_line = [](std::string& b) {
        b.erase(0, b.find('\n') == std::string::npos ? 0 : b.find('\n') + 1);
    };
    const std::string three_lines = "sh -c 'echo one; echo two; sleep 1; echo three'";
    const std::vector<std::tuple<const char*, std::string, response, std::string>> cases = {
        {"left", fixture + " pause abc 1 def", std::string(), "abcdef"},
        {"ending the run", fixture + " pause abc 30 def",
         callback([](run_state&) -> callback_value { return true; }), "abc"},
        {"all taken", fixture + " pause abc 1 def", taking([](std::string& b) { b.clear(); }), "abcdef"},
        {"first byte taken", fixture + " pause abc 1 def", taking([](std::string& b) { b.erase(0, 1); }),
         "abcdef"},
        {"last byte taken", fixture + " pause abc 1 def", taking([](std::string& b) {
             if (!b.empty()) b.pop_back();
         }),
         "abcdef"},
        {"first line taken", three_lines, taking(first_line), "one\r\ntwo\r\nthree\r\n"},
        {"first line taken by expect", three_lines, callback([](run_state& st) -> callback_value {
             if (st.child.buffer.find('\n') != std::string::npos) st.child.expect("\n");
             return false;
         }),
         "one\r\ntwo\r\nthree\r\n"},
    };
    for (const auto& [what, command, then, expected] : cases)
        EXPECT_EQ(run(command, 0.3, event_list{{sentinel::timeout, then}}), expected) << what;
}

TEST(Run, EndOfFileAsAnEvent) {
    int at_end = 0;
    const std::string out = run(fixture + " lines 2", 10,
                                event_list{{EOF_{}, callback([&](run_state& st) -> callback_value {
                                                ++at_end;
                                                EXPECT_TRUE(std::holds_alternative<sentinel>(st.child.after));
                                                return at_end > 10;  // a run that goes on ends here
                                            })}});
    // The event is applied once; nothing can follow end of file.
    EXPECT_EQ(at_end, 1);
    EXPECT_EQ(out, "line 1\r\nline 2\r\n");
}

TEST(Run, LogfileCwdAndEnv) {
    std::ostringstream log;
    const std::string out =
        run(fixture + " env", -1, std::nullopt, {}, &log, std::string("/"), env_map{{"K", "v"}});
    EXPECT_EQ(out, "K=v\r\n");
    EXPECT_EQ(log.str(), "K=v\r\n");
}

TEST(Run, CallbackDrivesTheSessionItself) {
    std::string answer_seen;
    const std::string out = run(fixture + " password", 10,
                                event_list{{"Password: ", callback([&](run_state& st) -> callback_value {
                                                EXPECT_TRUE(st.child.waitnoecho(5));
                                                st.child.sendline("typed-by-callback");
                                                st.child.expect("got (\\w+-\\w+-\\w+)");
                                                answer_seen =
                                                    *std::get<match_result>(st.child.match).group(1);
                                                return true;
                                            })}});
    EXPECT_EQ(answer_seen, "typed-by-callback");
    EXPECT_EQ(out, "Password: ");  // the run's output stops with the event's match
}

// The rendered screen of a session and escape stripping, against the
// fixture: what each reading operation shows, the outcomes of expect_screen,
// waiting for a quiet screen, the window size.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <fstream>
#include <functional>
#include <sstream>

#include <ptypilot/replay.hpp>

#include "support/helpers.hpp"

using namespace ptypilot;
using testing_support::fixture;
using testing_support::is;
using testing_support::message_of;
using testing_support::start_quick;

namespace {

// Paints "top" on the first row and "painted" two cells in on the second;
// the byte stream holds neither row as the screen shows it.
const std::string painting = "\x1b[2;3Hpainted\x1b[1;1Htop";

int open_null(int flags) { return ::open("/dev/null", flags | O_CLOEXEC); }

}  // namespace

TEST(Screen, OffUntilEnabled) {
    auto s = start_quick(fixture, {"print", painting});
    EXPECT_FALSE(s->screen_enabled());
    const std::vector<std::pair<const char*, std::function<void()>>> refused = {
        {"screen()", [&] { (void)s->screen(); }},
        {"expect_screen()", [&] { s->expect_screen("top"); }},
        {"expect_screen()", [&] { s->expect_screen_exact("top"); }},
        {"wait_screen_settled()", [&] { (void)s->wait_screen_settled(0.1); }},
        {"wait_screen_change()", [&] { (void)s->wait_screen_change(0.1); }},
        {"wait_screen()", [&] { (void)s->wait_screen([](const screen_view&) { return true; }); }},
        {"screen_match_span()", [&] { (void)s->screen_match_span(); }},
        {"send_click()",
         [&] {
             (void)s->send_click({0, 0});
         }},
    };
    for (const auto& [name, call] : refused) {
        try {
            call();
            ADD_FAILURE() << name << " worked without a screen";
        } catch (const std::logic_error& e) {
            EXPECT_NE(std::string(e.what()).find(name), std::string::npos) << e.what();
            EXPECT_NE(std::string(e.what()).find("enable_screen()"), std::string::npos) << e.what();
        }
    }
    // Nothing was read by the refused calls.
    EXPECT_EQ(s->read(), painting);
}

TEST(Screen, EveryReadingOperationFeedsIt) {
    const std::vector<std::pair<const char*, std::function<void(spawn&)>>> operations = {
        {"expect", [](spawn& s) { s.expect(sentinel::eof); }},
        {"expect_exact", [](spawn& s) { s.expect_exact(sentinel::eof); }},
        {"read", [](spawn& s) { s.read(); }},
        {"read(n)",
         [](spawn& s) {
             while (!s.read(3).empty()) {}
         }},
        {"readline",
         [](spawn& s) {
             while (!s.readline().empty()) {}
         }},
        {"read_nonblocking",
         [](spawn& s) {
             try {
                 for (;;) s.read_nonblocking(1, 10);
             } catch (const EOF_&) {}
         }},
        {"interact",
         [](spawn& s) {
             const int in = open_null(O_RDONLY);
             const int out = open_null(O_WRONLY);
             s.STDIN_FILENO_ = in;
             s.STDOUT_FILENO_ = out;
             // The screen shows what the child wrote, not what the filter
             // made of it for the user.
             s.interact("\x1d", nullptr, [](std::string) { return std::string("filtered"); });
             ::close(in);
             ::close(out);
         }},
    };
    for (const auto& [name, operation] : operations) {
        auto s = start_quick(fixture, {"print", painting});
        s->enable_screen();
        EXPECT_TRUE(s->screen_enabled());
        operation(*s);
        const screen_view v = s->screen();
        EXPECT_EQ(v.row_text(0), "top") << name;
        EXPECT_EQ(v.row_text(1), "  painted") << name;
        EXPECT_EQ(v.cursor, (screen_position{0, 3})) << name;
    }
}

TEST(Screen, MatchesWhatOnlyTheScreenShows) {
    // "ved" is written first, "Sa" in front of it later: the stream never
    // holds "Saved", the screen does.
    const std::string bytes = "\x1b[3;3Hved\x1b[3;1HSa";
    auto plain = start_quick(fixture, {"print", bytes});
    EXPECT_EQ(plain->expect({"Saved", sentinel::eof}), 1);

    auto s = start_quick(fixture, {"print", bytes});
    s->enable_screen();
    EXPECT_EQ(s->expect_screen({"never", "Sa\\w+"}), 1);
    EXPECT_EQ(s->before, "\n\n");
    EXPECT_EQ(s->after_str(), "Saved");
    EXPECT_EQ(std::get<match_result>(s->match).str(), "Saved");
    EXPECT_EQ(s->match_index, 1);
    EXPECT_EQ(s->screen_match_span(), (screen_span{{2, 0}, {2, 5}}));
    // The screen shows what every byte read did: the match takes them all.
    EXPECT_EQ(s->buffer, "");
    EXPECT_NE(s->searcher->str().find("searcher_re"), std::string::npos);

    // Plain strings, rows joined by newlines; a match across rows.
    auto t = start_quick(fixture, {"print", "a.b\r\n(c)"});
    t->enable_screen();
    EXPECT_EQ(t->expect_screen_exact({"x", "a.b\n(c)"}), 1);
    EXPECT_EQ(t->screen_match_span(), (screen_span{{0, 0}, {1, 3}}));
    EXPECT_NE(t->searcher->str().find("searcher_string"), std::string::npos);
    EXPECT_EQ(t->expect_screen("(?m)^\\(c\\)$", 0), 0);  // still on the screen: no read needed
}

TEST(Screen, EndOfFileAndTimeOutAsForExpect) {
    {
        auto s = start_quick(fixture, {"print", painting});
        s->enable_screen();
        EXPECT_EQ(s->expect_screen({"never", sentinel::timeout, sentinel::eof}), 2);
        EXPECT_EQ(s->before, "top\n  painted" + std::string(22, '\n'));
        EXPECT_TRUE(is(s->after, sentinel::eof));
        EXPECT_TRUE(is(s->match, sentinel::eof));
        EXPECT_EQ(s->match_index, 2);
        EXPECT_EQ(s->buffer, painting);  // the stream stays for expect and read
        EXPECT_EQ(s->screen_match_span(), std::nullopt);
    }
    const auto never = [](const screen_view&) { return false; };
    {
        // A predicate wait takes the same sentinels; a predicate that holds
        // gives its position and empties the stream.
        auto s = start_quick(fixture, {"print", painting});
        s->enable_screen();
        EXPECT_EQ(s->wait_screen({never, sentinel::timeout, sentinel::eof}), 2);
        EXPECT_EQ(s->before, "top\n  painted" + std::string(22, '\n'));
        EXPECT_TRUE(is(s->after, sentinel::eof));
        EXPECT_EQ(s->buffer, painting);
        EXPECT_EQ(s->wait_screen({never, [](const screen_view& v) { return v.row_text(0) == "top"; }}), 1);
        EXPECT_EQ(s->match_index, 1);
        EXPECT_EQ(s->buffer, "");
        EXPECT_THROW((void)s->wait_screen(std::vector<spawn::screen_condition>{}), std::invalid_argument);
    }
    {
        auto s = start_quick(fixture, {"print", painting});
        s->enable_screen();
        const std::string msg = message_of<EOF_>([&] { s->expect_screen("never"); });
        EXPECT_EQ(msg.rfind("End Of File (EOF) in read_nonblocking().", 0), 0u) << msg;
        EXPECT_NE(msg.find("\n" + s->str() + "\nscreen (24 rows, 80 columns; cursor at row 0, column 3):\n" +
                           "top\n  painted\n"),
                  std::string::npos)
            << msg;
        EXPECT_TRUE(std::holds_alternative<std::monostate>(s->match));
        EXPECT_EQ(s->match_index, std::nullopt);
        EXPECT_EQ(s->before->substr(0, 13), "top\n  painted");
    }
    {
        auto s = start_quick(fixture, {"ignore-hup-int"});
        s->enable_screen();
        // "ready" is there before the time-out starts, however slow the child.
        ASSERT_TRUE(testing_support::wait_readable(s->fileno()));
        EXPECT_EQ(s->expect_screen({"never", sentinel::timeout}, 0.3), 1);
        EXPECT_TRUE(is(s->after, sentinel::timeout));
        EXPECT_TRUE(is(s->match, sentinel::timeout));
        EXPECT_EQ(s->buffer, "ready\r\n");
        EXPECT_EQ(s->before->substr(0, 7), "ready\n\n");
        EXPECT_EQ(s->wait_screen({never, sentinel::timeout}, 0.3), 1);
        EXPECT_TRUE(is(s->match, sentinel::timeout));
        EXPECT_EQ(s->buffer, "ready\r\n");
        const std::string msg =
            message_of<TIMEOUT>([&] { s->expect_screen("never", std::chrono::milliseconds(200)); });
        EXPECT_EQ(msg.rfind("Timeout exceeded in ", 0), 0u) << msg;
        EXPECT_NE(msg.find("\nscreen (24 rows, 80 columns; cursor at row 1, column 0):\nready\n"),
                  std::string::npos)
            << msg;
        EXPECT_EQ(s->buffer, "ready\r\n");
        EXPECT_EQ(s->expect("ready\r\n"), 0);
    }
}

TEST(Screen, FollowsTheWindowSize) {
    spawn s(fixture, {"print", std::string(45, 'x')}, spawn_options{.timeout = 10.0, .window = {10, 40}});
    testing_support::make_quick(s);
    s.enable_screen();
    s.expect(sentinel::eof);
    screen_view v = s.screen();
    EXPECT_EQ(v.rows, 10);
    EXPECT_EQ(v.columns, 40);
    EXPECT_EQ(v.row_text(0), std::string(40, 'x'));
    EXPECT_EQ(v.row_text(1), std::string(5, 'x'));

    auto t = start_quick(fixture, {"ignore-hup-int"});
    t->enable_screen();
    t->setwinsize(12, 50);
    EXPECT_EQ(t->screen().rows, 12);
    EXPECT_EQ(t->screen().columns, 50);
    // A size the screen cannot take is refused before the child sees it.
    EXPECT_THROW(t->setwinsize(0, 0), std::out_of_range);
    EXPECT_THROW(t->setwinsize(24, virtual_terminal::max_side + 1), std::out_of_range);
    EXPECT_EQ(t->getwinsize(), (std::pair<int, int>{12, 50}));
    EXPECT_EQ(t->screen().columns, 50);
}

TEST(Screen, EnabledLateSeesFromThenOn) {
    auto s = start_quick(fixture, {"pause", "first ", "0.5", "second"});
    s->expect_exact("first ");
    s->enable_screen();
    s->enable_screen();  // again: changes nothing
    s->expect_screen_exact("second");
    EXPECT_EQ(s->screen_match_span(), (screen_span{{0, 0}, {0, 6}}));
}

TEST(Screen, WaitsUntilNothingChanges) {
    {
        auto s = start_quick(fixture, {"ignore-hup-int"});
        s->enable_screen();
        ASSERT_TRUE(testing_support::wait_readable(s->fileno()));  // not settled before the child speaks
        const screen_view v = s->wait_screen_settled(0.3, 20.0);
        EXPECT_EQ(v.row_text(0), "ready");
        EXPECT_EQ(s->buffer, "");  // what the screen shows the effect of
    }
    {
        // A screen that keeps changing never settles: each change starts
        // the quiet time again, well within the time-out.
        auto s = start_quick(fixture, {"answers", "3000", "10"});
        s->enable_screen();
        const std::string msg = message_of<TIMEOUT>(
            [&] { (void)s->wait_screen_settled(std::chrono::seconds(1), std::chrono::seconds(3)); });
        EXPECT_EQ(msg.rfind("Timeout exceeded in wait_screen_settled().\n" + s->str() + "\nscreen (", 0), 0u)
            << msg;
        EXPECT_NE(msg.find("\nanswer "), std::string::npos) << msg;
        EXPECT_EQ(s->buffer.substr(0, 10), "answer 1\r\n");  // a failed wait takes nothing
    }
    {
        // Once the child has ended, nothing can change the screen any more.
        auto s = start_quick(fixture, {"print", painting});
        s->enable_screen();
        const screen_view v = s->wait_screen_settled(30.0, 60.0);
        EXPECT_EQ(v.row_text(1), "  painted");
        EXPECT_TRUE(s->flag_eof);
    }
    auto s = start_quick(fixture, {"print", "x"});
    s->enable_screen();
    for (const double quiet : {-1.0, std::nan("")})
        EXPECT_THROW((void)s->wait_screen_settled(quiet), std::invalid_argument) << quiet;
}

TEST(Screen, WaitForAChangeNeverReturnsTheScreenFromBefore) {
    auto s = start_quick(fixture, {"pause", "before", "0.5", " after"});
    s->enable_screen();
    s->expect_screen_exact("before");
    // The screen is calm already; the wait is for the next change and the
    // calm after it.
    EXPECT_EQ(s->wait_screen_change(0.05, 20.0).row_text(0), "before after");
    // A change seen but not yet looked at counts.
    auto t = start_quick(fixture, {"print", painting});
    t->enable_screen();
    t->expect(sentinel::eof);
    EXPECT_EQ(t->wait_screen_change(0).row_text(0), "top");
}

TEST(Screen, KeysWithTheScreenOffGoAsInTheNormalModes) {
    auto s = start_quick(fixture, {"hexdump", "6"});
    s->expect_exact("ready");
    s->send_key(key::up);
    s->send_key(U'c', modifiers::ctrl);
    s->send_paste("a\n");  // unbracketed: nobody knows what the program asked
    s->expect_exact("1b 5b 41 03 61 0a");
}

TEST(Screen, AnswersTheProgramsQueriesWhenAsked) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> queries = {
        {{"query", "\x1b[3;7H\x1b[6n", "R"}, "got ^[[3;7R"},
        {{"query", "\x1b[5n", "n"}, "got ^[[0n"},
        {{"query", "\x1b[c", "c"}, "got ^[[?1;2c"},
        {{"query", "\x1b[>c", "c"}, "got ^[[>0;100;0c"},
    };
    for (const auto& [args, answer] : queries) {
        SCOPED_TRACE(answer);
        spawn s(fixture, args,
                spawn_options{.timeout = 20.0, .screen = screen_options{.answer_queries = true}});
        testing_support::make_quick(s);
        s.expect_screen_exact(answer);
    }
    // Off, as by default, the program waits for ever.
    auto s = start_quick(fixture, {"query", "\x1b[6n", "R"});
    s->enable_screen();
    EXPECT_THROW(s->expect_screen_exact("got", 0.5), TIMEOUT);
}

TEST(Screen, MovesWithTheSession) {
    auto s = start_quick(fixture, {"print", painting});
    s->enable_screen();
    s->expect_screen("painted");
    spawn moved(std::move(*s));
    EXPECT_FALSE(s->screen_enabled());
    ASSERT_TRUE(moved.screen_enabled());
    EXPECT_EQ(moved.screen().row_text(0), "top");
    EXPECT_EQ(moved.screen_match_span(), (screen_span{{1, 2}, {1, 9}}));
}

TEST(EscapeStripping, OrdinaryPatternsMatchColouredOutput) {
    const std::string coloured = "\x1b[1;32mok\x1b[0m: \x1b]0;title\x07\x1b[?2004hready $ ";
    auto raw = start_quick(fixture, {"print", coloured});
    EXPECT_FALSE(raw->escape_stripping());
    EXPECT_EQ(raw->expect({"ok: ready \\$ ", sentinel::eof}), 1);

    auto s = start_quick(fixture, {"print", coloured});
    s->set_escape_stripping(true);
    s->enable_screen();
    EXPECT_TRUE(s->escape_stripping());
    EXPECT_EQ(s->expect("ok: ready \\$ "), 0);
    EXPECT_EQ(s->before, "");
    // The screen still got every byte, colours included.
    EXPECT_TRUE(s->screen().at(0, 0).bold);
    EXPECT_EQ(s->screen().at(0, 0).foreground, colors::green);
}

TEST(EscapeStripping, ASequenceCutBetweenReadsIsStillTakenOut) {
    // The child writes the start of a colour, waits, then writes the rest.
    auto s = start_quick(fixture, {"pause", "\x1b[3", "0.3", "1mred\x1b[0m"});
    s->set_escape_stripping(true);
    // The first read gets nothing but a part of a sequence: it reads again.
    EXPECT_EQ(s->read_nonblocking(100, 10), "red");
    EXPECT_EQ(s->read(), "");

    // Nothing but escape sequences, then silence: a time-out, not "".
    auto quiet = start_quick(fixture, {"pause", "\x1b[31m\x1b[2J", "30", "late"});
    quiet->set_escape_stripping(true);
    EXPECT_THROW(quiet->read_nonblocking(100, 0.3), TIMEOUT);

    // Turned off, reads keep every byte again.
    auto t = start_quick(fixture, {"pause", "\x1b[1mA", "0.3", "\x1b[1mB"});
    t->set_escape_stripping(true);
    EXPECT_EQ(t->read_nonblocking(100, 10), "A");
    t->set_escape_stripping(false);
    EXPECT_FALSE(t->escape_stripping());
    EXPECT_EQ(t->read(), "\x1b[1mB");
}

// A chunk that strips to nothing may still change the screen: the screen's
// waits see it at once.
TEST(EscapeStripping, TheScreenSeesWhatOnlySequencesChanged) {
    auto s = start_quick(fixture, {"pause", "one\r\ntwo", "0.3", "\x1b[H\x1b[M"});
    s->set_escape_stripping(true);
    s->enable_screen();
    EXPECT_EQ(s->expect_screen("\\Atwo"), 0);

    auto t = start_quick(fixture, {"pause", "abc", "0.3", "\x1b[2J"});
    t->set_escape_stripping(true);
    t->enable_screen();
    EXPECT_EQ(t->wait_screen_settled(10.0, 20.0).row_text(0), "");
}

// The relay's output passes the escape stripping too: a sequence it leaves
// cut is still one for the next read.
TEST(EscapeStripping, ASequenceCutAfterTheRelayIsStillTakenOut) {
    auto s = start_quick(fixture, {"pause", "\x1b[3", "0.5", "1mred"});
    s->set_escape_stripping(true);
    int keyboard[2];
    ASSERT_EQ(::pipe2(keyboard, O_CLOEXEC), 0);
    s->STDIN_FILENO_ = keyboard[0];
    s->STDOUT_FILENO_ = open_null(O_WRONLY);
    s->interact("\x1d", nullptr, [&](std::string d) {
        (void)!::write(keyboard[1], "\x1d", 1);  // leave once the cut sequence has been shown
        return d;
    });
    ::close(s->STDOUT_FILENO_);
    ::close(keyboard[0]);
    ::close(keyboard[1]);
    EXPECT_EQ(s->read(), "red");
}

// The recording, read back by Python's json module: the format exactly, and
// every byte read, sent and resized, in order.
TEST(Recording, AsciicastOfReadsSendsAndResizes) {
    testing_support::scoped_temp_dir dir;
    const std::string path = dir.path() + "/session.cast";
    {
        auto s = start_quick(fixture, {"cat"});
        s->env = env_map{{"TERM", "xterm-256color"}};
        s->start_recording(path);
        EXPECT_TRUE(s->recording());
        s->sendline("caf\xc3\xa9 \"quoted\" \\ \x01");
        s->expect_exact("\x01\r\n");
        s->setwinsize(30, 100);
        s->stop_recording();
        s->sendline("not recorded");
        s->expect_exact("recorded");
    }
    const std::string check =
        "import json, sys\n"
        "lines = open(sys.argv[1], encoding='utf-8').read().split('\\n')\n"
        "h = json.loads(lines[0])\n"
        "assert h['version'] == 2 and h['width'] == 80 and h['height'] == 24, h\n"
        "assert h['env'] == {'TERM': 'xterm-256color'} and isinstance(h['timestamp'], int), h\n"
        "assert lines[-1] == '', 'no newline at the end'\n"
        "events = [json.loads(l) for l in lines[1:-1]]\n"
        "assert all(len(e) == 3 and isinstance(e[0], float) and e[1] in 'oir' for e in events), events\n"
        "assert all(a[0] <= b[0] for a, b in zip(events, events[1:])), 'time goes back'\n"
        "for k in 'oir': sys.stdout.write(json.dumps(''.join(e[2] for e in events if e[1] == k)) + '\\n')\n";
    const std::string got = testing_support::output_of_plain({"/usr/bin/python3", "-c", check, path});
    const std::string line = R"(caf\u00e9 \"quoted\" \\ )";
    EXPECT_EQ(got, "\"" + line + R"(^A\r\n)" + line + R"(\u0001\r\n")" + "\n\"" + line + R"(\u0001\n")" +
                       "\n\"100x30\"\n");
}

// A replay runs a script without its program: the outcomes of the session it
// was recorded from whatever the cuts between reads, the output on time when
// played as recorded, and a clear error for what is no recording.
TEST(Recording, ReplayGivesTheRecordedProgramsOutcomes) {
    testing_support::scoped_temp_dir dir;
    const std::string path = dir.path() + "/session.cast";
    const auto script = [](spawn& s) {
        std::string seen;
        for (const char* want : {"alpha", "beta\r\n", "gamma"}) {
            s.expect_exact(want);
            seen += *s.before + "|";
        }
        s.expect(sentinel::eof);
        return seen + *s.before + "|" + s.screen().row_text(4);
    };
    std::string live;
    {
        auto s = start_quick(fixture, {"cat"});
        s->enable_screen();
        s->start_recording(path);
        for (const char* line : {"one alpha", "beta", "and gamma", "done"}) s->sendline(line);
        s->sendeof();
        live = script(*s);
    }
    for (const std::optional<std::uint32_t> seed :
         {std::optional<std::uint32_t>{}, {1u}, {2u}, {3u}, {4u}, {5u}}) {
        spawn r = replay(path, {.speed = 0, .cut_seed = seed});
        r.enable_screen();
        EXPECT_EQ(script(r), live) << (seed ? *seed : 0);
        EXPECT_THROW((void)r.wait(), ExceptionPty);
        r.close();
    }

    const std::string timed = dir.path() + "/timed.cast";
    std::ofstream(timed) << "{\"version\": 2, \"width\": 40, \"height\": 10}\n[0.0, \"o\", \"early \"]\n"
                            "[3.0, \"o\", \"late\"]\n";
    spawn r = replay(timed);
    r.enable_screen();
    EXPECT_EQ(r.screen().rows, 10);
    r.expect_exact("early");
    EXPECT_EQ(r.expect_exact({"late", sentinel::timeout}, 0.1), 1);
    r.expect_exact("late", 30);
    EXPECT_EQ(replay(timed, {.speed = 0}).expect_exact("late", 2), 0);

    const std::string header = "{\"version\": 2, \"width\": 80, \"height\": 24}\n";
    const std::vector<std::pair<std::string, std::string>> refused = {
        {"", "line 1: no asciicast v2 header"},
        {"{\"version\": 1, \"width\": 80, \"height\": 24}\n", "line 1: not an asciicast v2 header"},
        {header + "[1, \"o\"]\n", "line 2: an event is [time, kind, text]"},
        {header + "[2, \"o\", \"a\"]\n[1, \"o\", \"b\"]\n", "line 3: event times go back"},
    };
    for (const auto& [text, why] : refused) {
        std::istringstream in(text);
        const std::string msg = message_of<std::invalid_argument>([&] { (void)replay(in); });
        EXPECT_NE(msg.find(why), std::string::npos) << msg;
    }
    EXPECT_THROW((void)replay(timed, {.speed = -1}), std::invalid_argument);
}

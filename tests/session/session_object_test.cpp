#include <gtest/gtest.h>

#include <sstream>

#include "support/helpers.hpp"

using namespace ptypilot;
using testing_support::message_of;

namespace {

std::vector<std::string> lines_of(const std::string& s) {
    std::vector<std::string> out;
    std::istringstream in(s);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

}  // namespace

// Nothing to read, write or end; the defaults show in the text dump below.
TEST(SessionObject, UnstartedSessionHasNothingToEnd) {
    spawn s(std::nullopt);
    EXPECT_EQ(s.fileno(), -1);
    EXPECT_FALSE(s.isatty());
    EXPECT_FALSE(s.isalive());
    EXPECT_TRUE(s.terminate());
    EXPECT_THROW(s.read_nonblocking(1, 0), std::logic_error);
    s.close();
    EXPECT_TRUE(s.closed);
}

// Each constructor argument, in its place, governs what it names.
TEST(SessionObject, ConstructorArgumentsTakeEffect) {
    std::ostringstream log;
    spawn s("/bin/sh", {"-c", "pwd; echo A=$A; echo " + std::string(200, 'x')}, std::nullopt, 77, 5, &log,
            std::string("/tmp"), env_map{{"A", "1"}});
    testing_support::make_quick(s);
    EXPECT_EQ(s.expect_exact("x"), 0);
    EXPECT_LT(s.buffer.size(), 77u);  // the rest of one read, though all 200 were written at once
    EXPECT_EQ(s.expect(EOF_{}), 0);
    EXPECT_EQ(log.str(), "/tmp\r\nA=1\r\n" + std::string(200, 'x') + "\r\n");
    EXPECT_NE(s.str().find("\ntimeout: None\n"), std::string::npos);
    EXPECT_NE(s.str().find("\nsearchwindowsize: 5\n"), std::string::npos);
}

TEST(SessionObject, TextDumpOfAFreshSession) {
    spawn s(std::nullopt);
    const auto lines = lines_of(s.str());
    ASSERT_EQ(lines.size(), 26u);
    EXPECT_EQ(lines[0], s.identity());
    EXPECT_EQ(lines[0].rfind("<ptypilot.spawn object at 0x", 0), 0u);
    EXPECT_EQ(lines[1], "version: 2.4 ($Revision: 516 $)");
    EXPECT_EQ(lines[2], "command: None");
    EXPECT_EQ(lines[3], "args: None");
    EXPECT_EQ(lines[4], "searcher: None");
    EXPECT_EQ(lines[5], "buffer (last 100 chars): ");
    EXPECT_EQ(lines[6], "before (last 100 chars): None");
    EXPECT_EQ(lines[7], "after: None");
    EXPECT_EQ(lines[11], "flag_eof: False");
    EXPECT_EQ(lines[13], "child_fd: -1");
    EXPECT_EQ(lines[14], "closed: True");
    EXPECT_EQ(lines[15], "timeout: 30");
    EXPECT_EQ(lines[16], "delimiter: ptypilot::EOF_");
    EXPECT_EQ(lines[17], "logfile: None");
    EXPECT_EQ(lines[20], "maxread: 2000");
    EXPECT_EQ(lines[22], "searchwindowsize: None");
    EXPECT_EQ(lines[23], "delaybeforesend: 0.05");
    EXPECT_EQ(lines[24], "delayafterclose: 0.1");
    EXPECT_EQ(lines[25], "delayafterterminate: 0.1");
    EXPECT_EQ(s.str().back(), '1');  // no newline after the last line
    EXPECT_EQ(s.name, "<ptypilot factory incomplete>");
}

TEST(SessionObject, TextDumpShowsTheLast100BytesOfBufferAndBefore) {
    spawn s(std::nullopt);
    s.buffer = std::string(50, 'a') + std::string(100, 'b');
    s.before = std::string(30, 'c') + std::string(100, 'd');
    const auto lines = lines_of(s.str());
    EXPECT_EQ(lines[5], "buffer (last 100 chars): " + std::string(100, 'b'));
    EXPECT_EQ(lines[6], "before (last 100 chars): " + std::string(100, 'd'));
}

TEST(SessionObject, TextDumpOfAStartedSession) {
    spawn s(testing_support::fixture + " exit 0");
    const auto lines = lines_of(s.str());
    ASSERT_EQ(lines.size(), 26u);
    EXPECT_EQ(lines[2], "command: " + testing_support::fixture);
    EXPECT_EQ(lines[3], "args: ['" + testing_support::fixture + "', 'exit', '0']");
    EXPECT_EQ(lines[12], "pid: " + std::to_string(*s.pid));
    EXPECT_EQ(lines[14], "closed: False");
}

TEST(SessionObject, OldSettersOnlyThrow) {
    spawn s(std::nullopt);
    EXPECT_EQ(message_of<ExceptionPty>([&] { s.setmaxread(100); }),
              "This method is no longer supported or allowed. Just assign a value to the "
              "maxread member variable.");
    EXPECT_EQ(s.maxread, 2000);
    std::ostringstream log;
    EXPECT_NE(message_of<ExceptionPty>([&] { s.setlog(&log); }).find("logfile member variable"),
              std::string::npos);
    EXPECT_EQ(s.logfile, nullptr);
}

// The test binary exports its symbols, so that every frame has a name to
// check: the caller's frames are kept, the engine's own left out.
TEST(Errors, TraceLeavesOutTheEnginesOwnFrames) {
    spawn s(std::nullopt);
    try {
        s.setmaxread(1);
    } catch (const ExceptionPty& e) {
        EXPECT_EQ(e.value, e.what());
        const std::string trace = e.get_trace();
        EXPECT_NE(trace.find("Errors_TraceLeavesOutTheEnginesOwnFrames_Test::TestBody()"), std::string::npos)
            << trace;
        EXPECT_EQ(trace.find(", in ptypilot::"), std::string::npos) << trace;
    }
}

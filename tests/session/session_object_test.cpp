#include <gtest/gtest.h>

#include <sstream>

#include "support/helpers.hpp"

using namespace ptypilot;

namespace {

std::vector<std::string> lines_of(const std::string& s) {
    std::vector<std::string> out;
    std::istringstream in(s);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

}  // namespace

TEST(SessionObject, UnstartedSessionHoldsTheDefaults) {
    spawn s(std::nullopt);
    EXPECT_EQ(s.name, "<ptypilot factory incomplete>");
    EXPECT_FALSE(s.pid);
    EXPECT_EQ(s.child_fd, -1);
    EXPECT_EQ(s.fileno(), -1);
    EXPECT_FALSE(s.isatty());
    EXPECT_TRUE(s.closed);
    EXPECT_TRUE(s.terminated);
    EXPECT_FALSE(s.isalive());
    EXPECT_EQ(s.timeout, 30.0);
    EXPECT_EQ(s.maxread, 2000);
    EXPECT_FALSE(s.searchwindowsize);
    EXPECT_EQ(s.delaybeforesend, 0.05);
    EXPECT_EQ(s.delayafterclose, 0.1);
    EXPECT_EQ(s.delayafterterminate, 0.1);
    EXPECT_EQ(s.delayafterread, 0.0001);
    EXPECT_TRUE(s.buffer.empty());
    EXPECT_TRUE(s.delimiter.is(sentinel::eof));
    EXPECT_FALSE(s.ignorecase);
    EXPECT_FALSE(s.irix_hack);
    EXPECT_TRUE(s.use_native_pty_fork);
    EXPECT_FALSE(s.command);
    EXPECT_FALSE(s.args);
    EXPECT_EQ(s.STDIN_FILENO_, 0);
    EXPECT_EQ(s.STDOUT_FILENO_, 1);
    EXPECT_EQ(s.STDERR_FILENO_, 2);
    s.close();  // closing a session that never started does nothing
    EXPECT_TRUE(s.closed);
}

TEST(SessionObject, ConstructorArgumentsBecomeFields) {
    std::ostringstream log;
    spawn s(std::nullopt, {}, std::nullopt, 77, 5, &log, std::string("/tmp"), env_map{{"A", "1"}});
    EXPECT_FALSE(s.timeout);
    EXPECT_EQ(s.maxread, 77);
    EXPECT_EQ(s.searchwindowsize, 5);
    EXPECT_EQ(s.logfile, &log);
    EXPECT_EQ(s.cwd, "/tmp");
    EXPECT_EQ(s.env, (env_map{{"A", "1"}}));
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
    try {
        s.setmaxread(100);
        FAIL();
    } catch (const ExceptionPty& e) {
        EXPECT_STREQ(e.what(),
                     "This method is no longer supported or allowed. Just assign a value to the "
                     "maxread member variable.");
    }
    EXPECT_EQ(s.maxread, 2000);
    std::ostringstream log;
    try {
        s.setlog(&log);
        FAIL();
    } catch (const ExceptionPty& e) {
        EXPECT_NE(std::string(e.what()).find("logfile member variable"), std::string::npos);
    }
    EXPECT_EQ(s.logfile, nullptr);
}

TEST(Errors, KindsAndMessages) {
    try {
        throw EOF_("end reached");
    } catch (const ExceptionPty& e) {
        EXPECT_STREQ(e.what(), "end reached");
        EXPECT_EQ(e.value, "end reached");
    }
    try {
        throw TIMEOUT("too slow");
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "too slow");
    }
    EXPECT_EQ(to_string(sentinel::eof), "ptypilot::EOF_");
    EXPECT_EQ(to_string(sentinel::timeout), "ptypilot::TIMEOUT");
}

TEST(Errors, TraceLeavesOutTheEnginesOwnFrames) {
    try {
        spawn s(std::nullopt);
        s.setmaxread(1);
        FAIL() << "setmaxread did not throw";
    } catch (const ExceptionPty& e) {
        const std::string trace = e.get_trace();
        EXPECT_FALSE(trace.empty());
        EXPECT_EQ(trace.find("ptypilot::spawn::setmaxread"), std::string::npos);
        EXPECT_EQ(trace.find("ptypilot::ExceptionPty::ExceptionPty"), std::string::npos);
    }
}

// Echo and window size of the child's terminal.
#include <gtest/gtest.h>
#include <termios.h>

#include "support/helpers.hpp"

using namespace ptypilot;
using testing_support::fixture;

TEST(Echo, SetAndGetChangeOnlyEcho) {
    spawn s(fixture + " sleep 5");
    testing_support::make_quick(s);
    termios before{};
    ASSERT_EQ(::tcgetattr(s.child_fd, &before), 0);
    EXPECT_TRUE(s.getecho());
    s.setecho(false);
    EXPECT_FALSE(s.getecho());
    termios after{};
    ASSERT_EQ(::tcgetattr(s.child_fd, &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag & ~static_cast<tcflag_t>(ECHO));
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_oflag, before.c_oflag);
    s.setecho(true);
    EXPECT_TRUE(s.getecho());
}

TEST(Echo, WithEchoOffTheInputIsNotSeenBack) {
    spawn s(fixture + " cat");
    testing_support::make_quick(s);
    s.delaybeforesend = 0;
    s.setecho(false);
    s.sendline("only once");
    EXPECT_EQ(s.expect("once\r\n"), 0);
    EXPECT_EQ(s.before, "only ");
}

TEST(WaitNoEcho, ReturnsWhenTheChildTurnsEchoOff) {
    spawn s(fixture + " echo-off-after 0.3");
    testing_support::make_quick(s);
    EXPECT_TRUE(s.getecho());
    EXPECT_TRUE(s.waitnoecho(10));
    EXPECT_FALSE(s.getecho());
    EXPECT_TRUE(s.waitnoecho(0));  // already off: at once, whatever the time-out
}

TEST(WaitNoEcho, TimesOutWhileEchoStaysOn) {
    spawn s(fixture + " sleep 5");
    testing_support::make_quick(s);
    EXPECT_FALSE(s.waitnoecho(0.3));
    EXPECT_FALSE(s.waitnoecho(0));
    EXPECT_FALSE(s.waitnoecho(-2));
}

TEST(WaitNoEcho, PasswordPrompt) {
    spawn s(fixture + " password");
    testing_support::make_quick(s);
    s.delaybeforesend = 0;
    s.expect("Password: ");
    EXPECT_TRUE(s.waitnoecho(10));
    s.sendline("secret");
    EXPECT_EQ(s.expect("got (\\w+)"), 0);
    EXPECT_EQ(std::get<match_result>(s.match).group(1), "secret");
    EXPECT_EQ(s.before->find("secret"), std::string::npos);  // never echoed
}

TEST(WindowSize, StartsAt24By80AndTheChildSeesChanges) {
    spawn s("sh -c 'trap \"stty size\" WINCH; echo ready; while :; do sleep 0.05; done'");
    testing_support::make_quick(s);
    s.delaybeforesend = 0;
    EXPECT_EQ(s.getwinsize(), (std::pair<int, int>(24, 80)));
    s.expect("ready");
    s.setwinsize(30, 100);
    EXPECT_EQ(s.getwinsize(), (std::pair<int, int>(30, 100)));
    EXPECT_EQ(s.expect("30 100"), 0);  // SIGWINCH reached the child, which read the size
}

// The program finds the size set before the start from its first look.
TEST(WindowSize, StartSizeIsTheChildsFromTheStart) {
    spawn s(fixture + " winsize", {.delayafterclose = 0.01, .window = {33, 77}});
    EXPECT_EQ(s.read(), "33 77\r\n");
}

TEST(WindowSize, ValuesMustFitSixteenBits) {
    spawn s(fixture + " sleep 5");
    testing_support::make_quick(s);
    EXPECT_THROW(s.setwinsize(65536, 80), std::out_of_range);
    EXPECT_THROW(s.setwinsize(24, -1), std::out_of_range);
    EXPECT_EQ(s.getwinsize(), (std::pair<int, int>(24, 80)));
    s.setwinsize(65535, 0);
    EXPECT_EQ(s.getwinsize(), (std::pair<int, int>(65535, 0)));
}

TEST(TerminalModes, ClosedSessionFails) {
    spawn s(std::nullopt);
    EXPECT_THROW(s.getecho(), std::system_error);
    EXPECT_THROW(s.setecho(true), std::system_error);
    EXPECT_THROW(s.getwinsize(), std::system_error);
    EXPECT_THROW(s.setwinsize(1, 1), std::system_error);
}

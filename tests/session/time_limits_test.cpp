// Time-outs hold whatever interrupts them and whatever number they are given.
#include <gtest/gtest.h>
#include <sys/time.h>

#include <chrono>
#include <cmath>
#include <functional>
#include <limits>

#include "support/helpers.hpp"

using namespace ptypilot;
using testing_support::fixture;
using testing_support::seconds_of;

namespace {

void on_alarm(int) {}

}  // namespace

// One signal late in the wait (no SA_RESTART, so the wait is interrupted):
// the wait goes on with what is left of the time-out, not all of it again.
TEST(TimeLimits, ASignalLateInTheWaitResumesWithTheTimeLeft) {
    const std::vector<std::function<void(spawn&)>> waits = {
        [](spawn& s) { EXPECT_THROW(s.read_nonblocking(10, 2.0), TIMEOUT); },
        [](spawn& s) {
            EXPECT_EQ(s.expect({"never", TIMEOUT{}}, 2.0), 1);
        },
    };
    struct sigaction sa {};
    sa.sa_handler = on_alarm;
    ::sigaction(SIGALRM, &sa, nullptr);
    for (const auto& wait : waits) {
        auto s = testing_support::start_quick(fixture + " sleep 20");
        itimerval once{{0, 0}, {1, 500000}};
        ::setitimer(ITIMER_REAL, &once, nullptr);
        const double waited = seconds_of([&] { wait(*s); });
        EXPECT_GE(waited, 1.99);
        EXPECT_LT(waited, 3.0);  // a restarted wait ends at 3.5 s
    }
    ::signal(SIGALRM, SIG_DFL);
}

TEST(TimeLimits, InfinityAndHugeValuesMeanNoLimit) {
    for (const double limit : {std::numeric_limits<double>::infinity(), 1e300, 1e12}) {
        auto s = testing_support::start_quick(fixture + " pause a 0.3 b");
        EXPECT_EQ(s->read_nonblocking(1, limit), "a");
        EXPECT_EQ(s->expect("b", limit), 0);
        s->timeout = limit;
        EXPECT_EQ(s->expect(EOF_{}), 0);
    }
    auto s = testing_support::start_quick(fixture + " echo-off-after 0.3");
    EXPECT_TRUE(s->waitnoecho(std::numeric_limits<double>::infinity()));
}

TEST(TimeLimits, NotANumberIsRefused) {
    const double nan = std::nan("");
    auto s = testing_support::start_quick(fixture + " sleep 5");
    EXPECT_THROW(s->read_nonblocking(1, nan), std::invalid_argument);
    EXPECT_THROW(s->expect("x", nan), std::invalid_argument);
    EXPECT_THROW(s->expect_exact("x", nan), std::invalid_argument);
    EXPECT_THROW(s->waitnoecho(nan), std::invalid_argument);
    s->timeout = nan;
    EXPECT_THROW(s->expect("x"), std::invalid_argument);
    EXPECT_TRUE(s->isalive());
}

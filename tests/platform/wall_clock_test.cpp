#include "platform/wall_clock.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/time.h>

#include <chrono>
#include <ctime>

namespace {

// Unix time 978307200 is 2001-01-01 00:00:00 UTC.
TEST(WallClock, CountsFromTheReferenceDate) {
    const double before = static_cast<double>(std::time(nullptr));
    const double now = platform::system_wall_clock().now() + 978307200.0;
    EXPECT_TRUE(now >= before && now <= static_cast<double>(std::time(nullptr)) + 1) << now;
}

void ignore_alarm(int) {}

TEST(WallClock, SleepsTheWholeTimeThroughSignals) {
    struct sigaction action {};
    action.sa_handler = ignore_alarm;  // no SA_RESTART: every alarm interrupts nanosleep
    struct sigaction previous {};
    ASSERT_EQ(sigaction(SIGALRM, &action, &previous), 0);
    itimerval timer{};
    timer.it_value.tv_usec = timer.it_interval.tv_usec = 5000;
    ASSERT_EQ(setitimer(ITIMER_REAL, &timer, nullptr), 0);

    const auto start = std::chrono::steady_clock::now();
    platform::system_wall_clock().sleep_for(0.05);
    const std::chrono::duration<double> slept = std::chrono::steady_clock::now() - start;

    timer = {};
    setitimer(ITIMER_REAL, &timer, nullptr);
    sigaction(SIGALRM, &previous, nullptr);
    EXPECT_GE(slept.count(), 0.05);
}

}  // namespace

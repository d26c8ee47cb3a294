#include "platform/wall_clock.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/time.h>

#include <chrono>
#include <ctime>
#include <limits>

namespace {

TEST(WallClock, CountsFromTheReferenceDate) {
    // 2001-01-01 00:00:00 UTC is Unix time 978307200.
    std::tm reference{};
    reference.tm_year = 101;
    reference.tm_mday = 1;
    EXPECT_EQ(static_cast<double>(timegm(&reference)), platform::kReferenceDateOffset);

    const double before = static_cast<double>(std::time(nullptr)) - platform::kReferenceDateOffset;
    const double now = platform::system_wall_clock().now();
    const double after = static_cast<double>(std::time(nullptr)) - platform::kReferenceDateOffset;
    EXPECT_GE(now, before);
    EXPECT_LE(now, after + 1);
}

void ignore_alarm(int) {}

double seconds_slept(double requested) {
    const auto start = std::chrono::steady_clock::now();
    platform::system_wall_clock().sleep_for(requested);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST(WallClock, SleepsTheWholeTimeThroughSignals) {
    struct sigaction action {};
    action.sa_handler = ignore_alarm;  // no SA_RESTART: the signal interrupts nanosleep
    struct sigaction previous {};
    ASSERT_EQ(sigaction(SIGALRM, &action, &previous), 0);
    itimerval timer{};
    timer.it_value.tv_usec = 5000;
    timer.it_interval.tv_usec = 5000;
    ASSERT_EQ(setitimer(ITIMER_REAL, &timer, nullptr), 0);

    const double slept = seconds_slept(0.05);

    timer = {};
    setitimer(ITIMER_REAL, &timer, nullptr);
    sigaction(SIGALRM, &previous, nullptr);
    EXPECT_GE(slept, 0.05);
}

TEST(WallClock, NothingToWaitForReturnsAtOnce) {
    // These must neither hang nor wrap around into a huge wait.
    for (const double requested : {0.0, -5.0, std::numeric_limits<double>::quiet_NaN()}) {
        EXPECT_LT(seconds_slept(requested), 1.0) << requested;
    }
}

}  // namespace

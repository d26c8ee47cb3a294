#include "platform/process_info.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

namespace {

TEST(ProcessInfo, StartTimeIsReadAfterTheLastParenthesisOfTheName) {
    const std::string tail = " S 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 123456789012 20 21\n";
    const std::pair<std::string, std::optional<std::uint64_t>> cases[] = {
        {"42 (sleep)" + tail, 123456789012},
        {"42 (a) S 1 (b)" + tail, 123456789012},  // a name that imitates the fields after it
        {"42 ()) )" + tail, 123456789012},
        {"42 (x 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20)" + tail, 123456789012},
        {"42 (sleep) S 1 2 3", std::nullopt},
        {"42 sleep" + tail, std::nullopt},
        {"42 (x) S 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 12x4", std::nullopt},
        {"42 (x) S 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 -5 1", std::nullopt},
    };
    for (const auto& [stat, expected] : cases) {
        EXPECT_EQ(platform::parse_stat_start_time(stat), expected) << stat;
    }
}

TEST(ProcessInfo, ReadsTheStartTimeOfALiveProcessOnly) {
    EXPECT_TRUE(platform::process_start_time(getpid()));
    EXPECT_FALSE(platform::process_start_time(-1));
}

}  // namespace

#include <gtest/gtest.h>

#include "Host/LogThrottle.h"

using namespace std::chrono_literals;

TEST(LogThrottleTest, LetsAFewLinesThroughEachIntervalAndCountsTheRest) {
    auto now = std::chrono::steady_clock::time_point{};
    host::LogThrottle throttle(2, 1s, [&] { return now; });
    auto admitted = [&](int lines) {
        std::vector<std::string> through;
        for (int i = 0; i < lines; ++i) {
            if (auto line = throttle.admit("line " + std::to_string(i))) {
                through.push_back(*line);
            }
        }
        return through;
    };

    EXPECT_EQ(admitted(5), (std::vector<std::string>{"line 0", "line 1"}));
    now += 999ms;
    EXPECT_TRUE(admitted(1).empty());
    now += 1ms;  // a new interval: the first line through says what was held back
    EXPECT_EQ(admitted(3), (std::vector<std::string>{"line 0 [4 like it held back]", "line 1"}));
    now += 10s;
    EXPECT_EQ(admitted(1), (std::vector<std::string>{"line 0 [1 like it held back]"}));
    EXPECT_EQ(admitted(1), (std::vector<std::string>{"line 0"}));
}

#include "app/model/activity_log.h"

#include <gtest/gtest.h>

#include <regex>

TEST(ActivityLog, KeepsTheNewestTwoHundredLines) {
    vsc::ActivityLog log([] { return std::string("12:00:00"); });
    for (int i = 1; i <= 201; ++i) log.append("message " + std::to_string(i));
    ASSERT_EQ(log.lines().size(), 200u);
    EXPECT_EQ(log.lines().front(), "12:00:00  message 2");
    EXPECT_EQ(log.lines().back(), "12:00:00  message 201");
}

TEST(ActivityLog, EmptyMessageStillMakesALine) {
    vsc::ActivityLog log([] { return std::string("2:03:27 PM"); });
    EXPECT_EQ(log.append(""), "2:03:27 PM  ");
}

TEST(ActivityLog, DefaultTimeHasHoursMinutesAndSecondsAndNoDate) {
    vsc::ActivityLog log;
    std::string line = log.append("hello");
    EXPECT_TRUE(std::regex_match(line, std::regex(R"(\d{1,2}:\d{2}:\d{2}( [AP]M)?  hello)")))
        << line;
}

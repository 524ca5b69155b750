#include "app/model/activity_log.h"

#include <gtest/gtest.h>

#include <cctype>

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
    // h:mm:ss or hh:mm:ss, perhaps with a day-period mark, then the message.
    auto end = line.find("  hello");
    ASSERT_NE(end, std::string::npos) << line;
    std::string time = line.substr(0, end);
    EXPECT_EQ(line.size(), end + 7);
    int digits = 0, colons = 0;
    for (char c : time.substr(0, time.find(' '))) {
        digits += std::isdigit(static_cast<unsigned char>(c)) != 0;
        colons += c == ':';
    }
    EXPECT_EQ(colons, 2) << time;
    EXPECT_GE(digits, 5) << time;
}

#include <gtest/gtest.h>

#include <ctime>

#include "logging/ErrorCodes.h"
#include "logging/EventLogServer.h"
#include "logging/LogTime.h"

namespace {

TEST(LogFormat, TimesNamesAndModes) {
    std::tm t{};
    t.tm_year = 2027 - 1900;
    t.tm_mday = 17;  // Sunday, 17 January 2027
    t.tm_hour = 7;
    t.tm_sec = 9;
    EXPECT_EQ(formatDateTime(t), "2027-Jan-17 07:00:09");
    EXPECT_EQ(formatFileStamp(t), "Sun_Jan_17_07-00-09_2027");

    EXPECT_STREQ(errorCodeName(EC_NO_ERROR), "EC_NO_ERROR");
    EXPECT_STREQ(errorCodeName(EC_PROC_ERROR2), "EC_PROC_ERROR2");
    EXPECT_STREQ(errorCodeName(17), "EC_BAD_CALIBRATION");
    EXPECT_STREQ(errorCodeName(0xFFFFFFFF), "");

    bool csv = true;
    EXPECT_EQ(parseLogOutput("Console", false, csv), LOG_OUTPUT_NONE) << "compared exactly";
    EXPECT_EQ(parseLogOutput("filecsv", false, csv), LOG_OUTPUT_NONE) << "not for debug output";
    EXPECT_FALSE(csv);
    EXPECT_EQ(parseLogOutput("filecsv", true, csv), LOG_OUTPUT_FILE);
    EXPECT_TRUE(csv);
}

}  // namespace

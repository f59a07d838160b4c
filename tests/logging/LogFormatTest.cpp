#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <sstream>

#include "config/Config.h"
#include "config/ConfigDefaults.h"
#include "logging/ErrorCodes.h"
#include "logging/EventLogServer.h"
#include "logging/LogTime.h"
#include "tests/logging/LogTestSupport.h"

namespace {

std::tm tuesday() {
    std::tm t{};
    t.tm_year = 2026 - 1900;
    t.tm_mon = 11;
    t.tm_mday = 8;
    t.tm_wday = 2;
    t.tm_hour = 10;
    t.tm_min = 12;
    t.tm_sec = 2;
    return t;
}

// --- times ----------------------------------------------------------------------

TEST(LogTimes, DateAndTimeUseEnglishMonthsAndFixedWidths) {
    EXPECT_EQ(formatDateTime(tuesday()), "2026-Dec-08 10:12:02");
    std::tm january = tuesday();
    january.tm_mon = 0;
    january.tm_mday = 31;
    january.tm_hour = 0;
    january.tm_min = 5;
    january.tm_sec = 9;
    EXPECT_EQ(formatDateTime(january), "2026-Jan-31 00:05:09");
}

TEST(LogTimes, FileStampIsCtimeWithoutSpacesOrColons) {
    EXPECT_EQ(formatFileStamp(tuesday()), "Tue_Dec__8_10-12-02_2026");
    std::tm later = tuesday();
    later.tm_mday = 18;
    later.tm_wday = 5;
    EXPECT_EQ(formatFileStamp(later), "Fri_Dec_18_10-12-02_2026");
}

TEST(LogTimes, LocalTimeOfAKnownInstant) {
    setenv("TZ", "UTC0", 1);
    tzset();
    std::tm t = localTime(1796724722);
    EXPECT_EQ(formatDateTime(t), "2026-Dec-08 10:12:02");
    EXPECT_EQ(formatFileStamp(t), "Tue_Dec__8_10-12-02_2026");
}

// --- names and modes --------------------------------------------------------

TEST(LogNames, ErrorCodesByName) {
    EXPECT_STREQ(errorCodeName(EC_NO_ERROR), "EC_NO_ERROR");
    EXPECT_STREQ(errorCodeName(5), "EC_BAD_LOGIN");
    EXPECT_STREQ(errorCodeName(EC_PROC_ERROR2), "EC_PROC_ERROR2");
    EXPECT_STREQ(errorCodeName(17), "EC_BAD_CALIBRATION");
    EXPECT_STREQ(errorCodeName(18), "");
    EXPECT_STREQ(errorCodeName(0xFFFFFFFF), "");
}

TEST(LogNames, OutputModesAreComparedExactly) {
    bool csv = true;
    EXPECT_EQ(parseLogOutput("file", false, csv), LOG_OUTPUT_FILE);
    EXPECT_FALSE(csv);
    EXPECT_EQ(parseLogOutput("console", false, csv), LOG_OUTPUT_CONSOLE);
    EXPECT_EQ(parseLogOutput("custom", true, csv), LOG_OUTPUT_CUSTOM);
    EXPECT_EQ(parseLogOutput("none", true, csv), LOG_OUTPUT_NONE);
    EXPECT_EQ(parseLogOutput("Console", false, csv), LOG_OUTPUT_NONE);
    EXPECT_EQ(parseLogOutput("filecsv", false, csv), LOG_OUTPUT_NONE) << "not for debug output";
    EXPECT_FALSE(csv);
    EXPECT_EQ(parseLogOutput("filecsv", true, csv), LOG_OUTPUT_FILE);
    EXPECT_TRUE(csv);
}

// --- lines ----------------------------------------------------------------------

class LineFormat : public ::testing::Test {
protected:
    LineFormat() {
        setenv("TZ", "UTC0", 1);
        tzset();
        Config::applyDefaults();
    }
    std::ostringstream console;
    EventLogServer server{std::make_shared<FakeLogClock>(), console};
};

TEST_F(LineFormat, TimestampSeverityAndText) {
    EXPECT_EQ(server.formatLine(-1, LOG_INFO, 0, "ResourceHost running"),
              "[2026-Dec-08 10:12:02] [Info] ResourceHost running");
    EXPECT_EQ(server.formatLine(-1, LOG_CRITICAL, 0, "x"), "[2026-Dec-08 10:12:02] [Critical] x");
    EXPECT_EQ(server.formatLine(-1, LOG_WARNING, 0, "x"), "[2026-Dec-08 10:12:02] [Warning] x");
}

TEST_F(LineFormat, FrameIdAndErrorCode) {
    Config::set("print_timestamps_in_log", Value(false));
    server.configure();
    EXPECT_EQ(server.formatLine(1234567890123, LOG_WARNING, 5, "late"), "Frame 1234567890123 [Warning] [EC_BAD_LOGIN] late");
    EXPECT_EQ(server.formatLine(0, LOG_INFO, 18, "odd"), "Frame 0 [Info] [] odd");
    EXPECT_EQ(server.formatLine(-5, 7, 0, "plain"), "plain");
}

}  // namespace

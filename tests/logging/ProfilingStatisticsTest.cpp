#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include "logging/ProfilingStatistics.h"

namespace {

TEST(RunningStatistic, MeanSpreadExtremesAndLargeOffsets) {
    RunningStatistic s;
    s.add(4.0);
    EXPECT_EQ(s.deviation(), 0.0) << "one sample has no spread";
    for (double x : {2.0, 4.0, 4.0, 5.0, 5.0, 7.0, 9.0}) s.add(x);
    EXPECT_DOUBLE_EQ(s.mean, 5.0);
    EXPECT_DOUBLE_EQ(s.deviation(), std::sqrt(32.0 / 7.0));
    EXPECT_EQ(s.minimum, 2.0);
    EXPECT_EQ(s.maximum, 9.0);
    RunningStatistic offset;  // where a naive sum of squares loses every digit
    for (double x : {1e9 + 4, 1e9 + 7, 1e9 + 13, 1e9 + 16}) offset.add(x);
    EXPECT_NEAR(offset.deviation(), std::sqrt(30.0), 1e-6);
}

class Profiling : public ::testing::Test {
protected:
    Profiling() {
        stats.recordFrame(100, 0.02, 10.0);
        stats.recordFrame(160, 0.04, 11.0);
        stats.recordTimer("b_timer", 0.5);
        stats.recordTimer("a_timer", 0.25);
        stats.recordSubTimer("b_timer", "zeta", 1.0);
        stats.recordSubTimer("b_timer", "alpha", 2.0);
    }
    std::string text(int level) {
        std::ostringstream out;
        stats.writeText(out, level);
        return out.str();
    }
    ProfilingStatistics stats;
};

TEST_F(Profiling, TextByLevelResetsWhatItPrints) {
    const std::string frames = "Frames 100 to 160 (60 fps): avg 0.03, std 0.0141421\n";
    EXPECT_EQ(text(3), frames +
                           "  a_timer: avg 0.25, std 0\n"
                           "  b_timer: avg 0.5, std 0\n"
                           "    zeta: avg 1, std 0\n"
                           "    alpha: avg 2, std 0\n")
        << "timers by name, sub-timers in recording order";
    stats.recordTimer("a_timer", 1.0);
    EXPECT_EQ(text(2), "Frames 0 to 0 (0 fps): avg 0, std 0\n  a_timer: avg 1, std 0\n  b_timer: avg 0, std 0\n");
    stats.recordTimer("a_timer", 1.0);
    EXPECT_EQ(text(1), "Frames 0 to 0 (0 fps): avg 0, std 0\n");
}

TEST_F(Profiling, CsvHeaderOnceThenMeansAndDeviations) {
    bool headerPending = true;
    std::ostringstream level1;
    stats.writeCsv(level1, 1, headerPending);
    stats.writeCsv(level1, 1, headerPending);
    EXPECT_EQ(level1.str(), ",Total,\navg,0.03,\nstd,0.0141421,\navg,0.03,\nstd,0.0141421,\n")
        << "level 1 keeps accumulating";

    headerPending = true;
    std::ostringstream level3;
    stats.writeCsv(level3, 3, headerPending);
    stats.recordFrame(1, 0.5, 20.0);
    stats.writeCsv(level3, 3, headerPending);
    EXPECT_EQ(level3.str(),
              ",Total,a_timer,b_timer,zeta,alpha,\navg,0.03,0.25,0.5,1,2,\nstd,0.0141421,0,0,0,0,\n"
              "avg,0.5,0,0,0,0,\nstd,0,0,0,0,0,\n");
}

TEST(ProfilingSmoothing, FrameTimeAndRateFollowRecentFrames) {
    ProfilingStatistics stats;
    stats.setSmoothing(0.5, 0.5);
    stats.recordFrame(1, 0.1, 1.0);
    EXPECT_DOUBLE_EQ(stats.smoothedFrameTime(), 0.05);
    EXPECT_EQ(stats.smoothedFrameRate(), 0.0) << "a rate needs two frames";
    stats.recordFrame(2, 0.1, 1.1);
    EXPECT_DOUBLE_EQ(stats.smoothedFrameTime(), 0.075);
    EXPECT_NEAR(stats.smoothedFrameRate(), 5.0, 1e-9);
}

}  // namespace

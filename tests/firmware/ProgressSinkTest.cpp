#include "firmware/ProgressSink.h"

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
using Clock = ProgressMeter::Clock;

TEST(ProgressMeter, PercentRateAndTimeLeftFollowTheBytesAndTheClock) {
    ProgressMeter meter;
    const auto t0 = Clock::time_point{} + 100s;
    meter.start(1000, t0);
    EXPECT_EQ(meter.percent(), 0u);
    EXPECT_FALSE(meter.rate()) << "no bytes, no rate";
    EXPECT_FALSE(meter.remaining());

    meter.update(250, t0 + 2s);
    EXPECT_EQ(meter.percent(), 25u);
    ASSERT_TRUE(meter.rate());
    EXPECT_DOUBLE_EQ(*meter.rate(), 125.0);
    EXPECT_EQ(meter.remaining(), 6s);

    meter.update(5000, t0 + 3s);
    EXPECT_EQ(meter.done(), 1000u) << "never more than the total";
    EXPECT_EQ(meter.percent(), 100u);
    EXPECT_EQ(meter.remaining(), 0s);
}

TEST(ProgressMeter, TheClockStartsWhenTheFirstBytesMoveAndEmptyWorkIsComplete) {
    ProgressMeter meter;
    const auto t0 = Clock::time_point{} + 100s;
    meter.start(1000, t0);
    meter.update(0, t0 + 10s);  // erasing: no bytes for ten seconds
    meter.update(500, t0 + 11s);
    ASSERT_TRUE(meter.rate());
    EXPECT_DOUBLE_EQ(*meter.rate(), 500.0) << "the wait before the bytes does not count";

    ProgressMeter empty;
    empty.start(0, t0);
    EXPECT_EQ(empty.percent(), 100u);
}

TEST(ProgressFormat, SizesAndDurationsReadAsAPersonReadsThem) {
    EXPECT_EQ(FormatByteCount(100), "100 B");
    EXPECT_EQ(FormatByteCount(2048), "2.0 KiB");
    EXPECT_EQ(FormatByteCount(300 * 1024), "300 KiB");
    EXPECT_EQ(FormatByteCount(1.5 * 1024 * 1024), "1.5 MiB");
    EXPECT_EQ(FormatDuration(7s), "0:07");
    EXPECT_EQ(FormatDuration(754s), "12:34");
    EXPECT_EQ(FormatDuration(3723s), "1:02:03");
}

}  // namespace

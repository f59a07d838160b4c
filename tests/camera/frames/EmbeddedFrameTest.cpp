#include "camera/frames/EmbeddedFrame.h"

#include <gtest/gtest.h>

#include <vector>

#include "tests/camera/frames/FrameTestSupport.h"

namespace {

// h lines of 2w bytes: the left camera's w bytes, then the right camera's.
// The last line is bright noise that must not matter.
template <class Left, class Right>
std::vector<std::uint8_t> embeddedRaw(int w, int h, Left left, Right right) {
    std::vector<std::uint8_t> raw(std::size_t(w) * h * 2, 255);
    for (int y = 0; y + 1 < h; ++y)
        for (int x = 0; x < w; ++x) {
            raw[std::size_t(y) * 2 * w + x] = static_cast<std::uint8_t>(left(x, y));
            raw[std::size_t(y) * 2 * w + w + x] = static_cast<std::uint8_t>(right(x, y));
        }
    return raw;
}

auto flat(int v) {
    return [v](int, int) { return v; };
}

}  // namespace

class EmbeddedFrames : public ::testing::Test {
protected:
    FrameReceivers receivers;
    TestDevice device;
    int smoothed = 0;
    EmbeddedFrame frames{receivers.proxy, fakeSmoother(&smoothed)};
};

TEST_F(EmbeddedFrames, RightHalfIsTheFirstImageSmoothedAndDarkened) {
    device.state.control1 = 360;
    device.state.control13 = 40;
    device.state.verticalDivisor = 2;
    // The filter keeps a linear ramp down the lines, so each smoothed row
    // still tells which line it came from.
    const auto raw = embeddedRaw(
        640, 241, [](int, int y) { return 40 + y; }, [](int, int y) { return 100 + (y % 32) * 4; });
    const auto rec = frames.onRawFrame(777, raw.data(), 640, 241, device.state);
    ASSERT_TRUE(rec);
    EXPECT_TRUE(rec->firstImage.width() == 640 && rec->firstImage.height() == 240 && rec->secondImage.height() == 240);
    EXPECT_EQ(rec->firstImage.at(0, 10), 110);  // right half, line 10: 140 - 30
    EXPECT_EQ(rec->firstImage.at(639, 10), 110);
    EXPECT_EQ(rec->secondImage.at(300, 10), 20);                                 // left half, line 10: 50 - 30
    for (int y : {0, 1, 238, 239}) EXPECT_EQ(rec->firstImage.at(5, y), 0) << y;  // not filtered
    EXPECT_EQ(rec->calibration.revision, 11);
    EXPECT_EQ(rec->distortionMap, device.map);
    EXPECT_EQ(rec->serial, "MKT-21012345");
    EXPECT_EQ(rec->timestamp, 1777);
    EXPECT_EQ(rec->frameIndex, 0);
    EXPECT_TRUE(rec->trailerCount == 2 && rec->trailerHighBit == 0);
    EXPECT_TRUE(rec->originX == -320.0f && rec->originY == -320.0f);
    EXPECT_EQ(rec->rowCentre, (std::array<float, 2>{0.5f - 240.0f, 0.5f - 240.0f}));
    EXPECT_EQ(rec->verticalScale, 2.0f);
    EXPECT_EQ(rec->exposureGainCode, (std::array<float, 3>{1.0f, 0.0f, 1.0f}));
    EXPECT_FLOAT_EQ(rec->exposure, 0.00036f);
    EXPECT_EQ(rec->gain, 2.5f);
    EXPECT_TRUE(rec->control5 == 1.0f && rec->control14 == 2.0f && rec->unitScale == 1.0f);
    EXPECT_EQ(rec->frameInterval, 0.0125f);
    EXPECT_EQ(rec->processingStart, 0);
    EXPECT_FALSE(rec->reversed);
}

TEST_F(EmbeddedFrames, ReversedTakesTheLeftHalfBottomUp) {
    device.state.control16 = 1;
    const auto raw = embeddedRaw(
        320, 121, [](int, int y) { return 10 + y; }, flat(90));
    const auto rec = frames.onRawFrame(5, raw.data(), 320, 121, device.state);
    ASSERT_TRUE(rec);
    EXPECT_EQ(rec->firstImage.at(17, 10), 10 + 109 - 30);  // image line 119 - 10
    EXPECT_EQ(rec->secondImage.at(17, 10), 60);
    EXPECT_TRUE(rec->reversed);
    EXPECT_TRUE(rec->originX == -321.0f && rec->originY == -321.0f);
    EXPECT_EQ(rec->calibration.revision, 77);
    EXPECT_EQ(rec->distortionMap, device.reversedMap);
}

TEST_F(EmbeddedFrames, ZeroTimestampAndUnusableFramesAreCountedButNotPassedOn) {
    const auto raw = embeddedRaw(640, 481, flat(70), flat(70));
    EXPECT_FALSE(frames.onRawFrame(0, raw.data(), 640, 481, device.state));
    EXPECT_FALSE(frames.onRawFrame(1, raw.data(), 640, 1, device.state));
    EXPECT_FALSE(frames.onRawFrame(1, nullptr, 640, 481, device.state));
    EXPECT_EQ(frames.frameIndex(), 2);
    EXPECT_EQ(receivers.listener->count() + smoothed, 0u);
    const auto rec = frames.onRawFrame(3, raw.data(), 640, 481, device.state);
    ASSERT_TRUE(rec);
    EXPECT_EQ(rec->frameIndex, 3);
    EXPECT_EQ(rec->firstImage.at(100, 100), 40);
    // One image line: too short to filter, so all dark.
    EXPECT_EQ(frames.onRawFrame(4, raw.data(), 16, 2, device.state)->firstImage.at(0, 0), 0);
}

#include "camera/frames/CypressFrame.h"

#include <gtest/gtest.h>

#include <vector>

#include "tests/camera/frames/FrameTestSupport.h"

namespace {

using Trailer = std::array<std::uint8_t, 6>;
const Trailer kTrailer{0x10, 0x02, 0x03, 0x15, 0x06, 0x48};

// w x h stereo pixels: even bytes (the first image in normal orientation)
// from one function, odd bytes from the other, and the trailer over the last
// six even bytes.
template <class Even, class Odd>
std::vector<std::uint8_t> cypressRaw(int w, int h, Even even, Odd odd, const Trailer& trailer = kTrailer) {
    std::vector<std::uint8_t> raw(std::size_t(w) * h * 2);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            raw[2 * (std::size_t(y) * w + x)] = static_cast<std::uint8_t>(even(x, y));
            raw[2 * (std::size_t(y) * w + x) + 1] = static_cast<std::uint8_t>(odd(x, y));
        }
    for (int k = 0; k < 6; ++k) raw[2 * (std::size_t(w) * h - 6 + k)] = trailer[k];
    return raw;
}

std::vector<std::uint8_t> flatRaw(int w, int h, int value, const Trailer& trailer = kTrailer) {
    return cypressRaw(
        w, h, [value](int, int) { return value; }, [value](int, int) { return value; }, trailer);
}

}  // namespace

TEST(CypressTrailer, Decodes) {
    CypressTrailer t = decodeCypressTrailer(kTrailer.data());
    EXPECT_EQ(t.a, 35);
    EXPECT_EQ(t.highBit, 0);
    EXPECT_EQ(t.count, 35);
    EXPECT_EQ(t.exposure, 166);
    EXPECT_EQ(t.gainCode, 8);
    EXPECT_EQ(t.rowOffset, 32);
    EXPECT_EQ(t.binningShift, 1);
    const std::uint8_t onlyB[6] = {0, 0, 0, 0x10, 0, 0};  // A = 0, B = 1: B wins
    EXPECT_EQ(decodeCypressTrailer(onlyB).count, 1);
    const std::uint8_t big[6] = {0xFF, 0x0F, 0x0F, 0xFF, 0xFF, 0xFF};  // A = 255: bit 7 apart
    t = decodeCypressTrailer(big);
    EXPECT_TRUE(t.highBit == 1 && t.count == 0x7F && t.exposure == 511 && t.gainCode == 31);
    EXPECT_TRUE(t.rowOffset == 510 && t.binningShift == 3);
}

TEST(CypressTrailer, ScaleAndRowCentre) {
    struct Case {
        int height, rowOffset, shift;
        bool reversed;
        float scale, centre;
    };
    const Case cases[] = {
        {240, 32, 0, false, 2.0f, 32 - 480 + 2.0f},    // adjustment = the scale
        {240, 32, 0, true, 2.0f, 32 - 480 - 1.0f},     // reversed: -1
        {480, 100, 0, false, 1.0f, 100 - 480},         // scale 1: (1 - 1) / 2
        {480, 100, 1, false, 0.0f, 100 - 360 - 0.5f},  // scale 0: -0.5
        {120, 64, 2, true, 1.0f, 64 - 300},
    };
    for (const Case& c : cases) {
        const CypressRowGeometry g = cypressRowGeometry(c.height, c.rowOffset, c.shift, c.reversed);
        EXPECT_EQ(g.verticalScale, c.scale) << c.height << " " << c.shift;
        EXPECT_EQ(g.rowCentre, c.centre) << c.height << " " << c.shift;
    }
}

class CypressFrames : public ::testing::Test {
protected:
    FrameReceivers receivers;
    TestDevice device;
    int smoothed = 0;
    CypressFrame frames{receivers.proxy, fakeSmoother(&smoothed)};
};

TEST_F(CypressFrames, SplitsBytesAndFillsTheRecord) {
    device.state.control5Request = 0.75f;
    device.state.control14 = 1;
    const auto raw = cypressRaw(
        640, 240, [](int x, int y) { return (x + y) & 0x7F; }, [](int x, int) { return 0x80 | x; });
    const auto rec = frames.onRawFrame(123456, raw.data(), 640, 240, device.state);
    ASSERT_TRUE(rec);
    ASSERT_EQ(receivers.listener->count(), 1u);
    EXPECT_EQ(receivers.listener->frames[0].lock(), rec);
    EXPECT_TRUE(rec->firstImage.width() == 640 && rec->firstImage.height() == 240);
    EXPECT_EQ(rec->firstImage.at(5, 7), 12);
    EXPECT_EQ(rec->secondImage.at(5, 7), 0x85);
    EXPECT_FALSE(rec->alternateBuffer);
    EXPECT_EQ(rec->calibration.revision, 11);
    EXPECT_EQ(rec->distortionMap, device.map);
    EXPECT_EQ(rec->serial, "MKT-21012345");
    EXPECT_EQ(rec->timestamp, 124456);  // smoothed
    EXPECT_EQ(rec->frameInterval, 0.0125f);
    EXPECT_EQ(rec->frameIndex, 0);
    EXPECT_EQ(rec->trailerCount, 35);
    EXPECT_EQ(rec->trailerHighBit, 0);
    EXPECT_TRUE(rec->originX == -320.0f && rec->originY == -320.0f);
    // T5 = 1: scale (480 / 240) >> 1 = 1, centre 32 - (240 + 480) / 2 + 0.
    EXPECT_EQ(rec->verticalScale, 1.0f);
    EXPECT_EQ(rec->rowCentre, (std::array<float, 2>{32.0f - 360.0f, 32.0f - 360.0f}));
    EXPECT_EQ(rec->unitScale, 1.0f);
    EXPECT_EQ(rec->exposureGainCode, (std::array<float, 3>{1328.0f, 0.0f, 1328.0f}));  // 166 x 8
    EXPECT_FLOAT_EQ(rec->exposure, 0.000166f);
    EXPECT_EQ(rec->gain, 0.5f);
    EXPECT_EQ(rec->control5, 0.75f);
    EXPECT_EQ(rec->control14, 2.001f);
    EXPECT_FALSE(rec->reversed);
    EXPECT_NE(rec->processingStart, 0);
    device.state.control14 = 0;
    EXPECT_EQ(frames.onRawFrame(200000, raw.data(), 640, 240, device.state)->control14, 1.0f);
}

TEST_F(CypressFrames, ReversedSwapsImagesAndCalibration) {
    device.state.control16 = 1;
    // The first image is now the odd bytes, and its trailer is read there.
    auto raw = cypressRaw(
        320, 120, [](int, int) { return 9; }, [](int, int) { return 200; }, Trailer{});
    for (int k = 0; k < 6; ++k) raw[2 * (320 * 120 - 6 + k) + 1] = kTrailer[k];
    const auto rec = frames.onRawFrame(1, raw.data(), 320, 120, device.state);
    ASSERT_TRUE(rec);
    EXPECT_TRUE(rec->firstImage.at(0, 0) == 200 && rec->secondImage.at(0, 0) == 9);
    EXPECT_EQ(rec->trailerCount, 35);
    EXPECT_TRUE(rec->reversed);
    EXPECT_EQ(rec->calibration.revision, 77);
    EXPECT_EQ(rec->distortionMap, device.reversedMap);
    EXPECT_EQ(rec->rowCentre[0], 32.0f - 360.0f - 1.0f);  // scale 2, reversed adjustment
}

TEST_F(CypressFrames, ZeroTimestampIsCountedButNotPassedOn) {
    const auto raw = flatRaw(640, 480, 50);
    EXPECT_FALSE(frames.onRawFrame(0, raw.data(), 640, 480, device.state));
    EXPECT_EQ(frames.frameIndex(), 0);
    EXPECT_EQ(receivers.listener->count() + smoothed + frames.history().size(), 0u);
    EXPECT_EQ(frames.lastRowOffset(), 32);  // its row offset still counts
    EXPECT_EQ(frames.onRawFrame(10, raw.data(), 640, 480, device.state)->frameIndex, 1);
}

TEST_F(CypressFrames, DarkFramesAreDroppedBelow32) {
    device.state.control19 = 1;
    // The last line is trailer, not image: a bright byte there does not count.
    auto withPeak = [](int peak) {
        return cypressRaw(
            640, 240, [peak](int x, int y) { return x == 100 && y == 50 ? peak
                                                    : y == 239          ? 250
                                                                        : 3; },
            [](int, int) { return 255; });
    };
    const auto dark = withPeak(31);
    EXPECT_FALSE(frames.onRawFrame(1, dark.data(), 640, 240, device.state));
    EXPECT_TRUE(frames.onRawFrame(2, withPeak(32).data(), 640, 240, device.state));
    EXPECT_EQ(frames.frameIndex(), 1);
    // No test without control 19, nor without a trailer count.
    device.state.control19 = 0;
    EXPECT_TRUE(frames.onRawFrame(3, dark.data(), 640, 240, device.state));
    device.state.control19 = 1;
    EXPECT_TRUE(
        frames.onRawFrame(4, flatRaw(640, 240, 3, {0x10, 0, 0, 0x05, 0x06, 0x48}).data(), 640, 240, device.state));
}

TEST_F(CypressFrames, RowOffsetIsKeptOnlyFromBinnedFrames) {
    frames.onRawFrame(5, flatRaw(640, 480, 40, {0x30, 0, 0, 0, 0, 0x08}).data(), 640, 480, device.state);
    EXPECT_EQ(frames.lastRowOffset(), 240);
    EXPECT_EQ(frames.lastBinningShift(), 0);
    frames.onRawFrame(6, flatRaw(640, 480, 40, {0x30, 0, 0, 0, 0, 0x88}).data(), 640, 480, device.state);
    EXPECT_EQ(frames.lastRowOffset(), 0x60);
    EXPECT_EQ(frames.lastBinningShift(), 2);
}

TEST_F(CypressFrames, NothingHappensWithoutAReceiver) {
    CypressFrame unheard(std::make_shared<EventReceiverProxy<DIFrameListener>>(), fakeSmoother(&smoothed));
    EXPECT_FALSE(unheard.onRawFrame(7, flatRaw(640, 240, 50).data(), 640, 240, device.state));
    EXPECT_EQ(unheard.frameIndex(), -1);
    EXPECT_EQ(unheard.pool().made() + smoothed, 0u);
    EXPECT_EQ(unheard.lastRowOffset(), 240);
}

TEST_F(CypressFrames, UnusableFrameSizesAreCountedAndDropped) {
    const std::uint8_t tiny[10] = {};
    EXPECT_FALSE(frames.onRawFrame(1, tiny, 1, 5, device.state));  // no room for the trailer
    EXPECT_FALSE(frames.onRawFrame(1, tiny, 0, 5, device.state));
    EXPECT_FALSE(frames.onRawFrame(1, nullptr, 640, 480, device.state));
    EXPECT_FALSE(frames.onRawFrame(1, tiny, 100000, 1, device.state));
    EXPECT_EQ(frames.frameIndex(), 3);
    EXPECT_EQ(receivers.listener->count(), 0u);
}

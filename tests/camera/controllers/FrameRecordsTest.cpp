// Frames from the emulated controllers reach a frame consumer as records
// with the calibration of the orientation they were taken in and the
// capture's metadata. The records are made on the capture thread and read
// here, on another one.

#include <gtest/gtest.h>

#include <cmath>
#include <map>

#include "tests/camera/controllers/ControllerFixture.h"

namespace controllertest {
namespace {

using tyvo::sim::UvcControllerOptions;

using FrameRecords = ControllerFixture;

// The difference most often seen between two images at the same pixel
// (modulo 160, the period of the emulated controller's test pattern) along
// one row.
int usualDifference(const Image<std::uint8_t>& a, const Image<std::uint8_t>& b, int row) {
    std::map<int, int> seen;
    for (int x = 8; x < a.width() - 8; ++x) ++seen[((a.at(x, row) - b.at(x, row)) % 160 + 160) % 160 - x % 160];
    int best = 0;
    int count = -1;
    for (const auto& [difference, n] : seen) {
        if (n > count) {
            best = difference;
            count = n;
        }
    }
    return best;
}

// The step most often seen from one row to the next.
int usualRowStep(const Image<std::uint8_t>& image, int x0, int row) {
    std::map<int, int> seen;
    for (int x = x0; x < x0 + 200; ++x) ++seen[image.at(x, row + 1) - image.at(x, row)];
    int best = 0;
    int count = -1;
    for (const auto& [step, n] : seen) {
        if (n > count) {
            best = step;
            count = n;
        }
    }
    return best;
}

bool sameParameters(const Calibration& a, const Calibration& b) {
    for (int c = 0; c < 2; ++c)
        for (std::size_t i = 0; i < LensParam::Stored; ++i)
            if (a.camera[c][i] != b.camera[c][i]) return false;
    return true;
}

TEST_F(FrameRecords, CypressRecordsCarryCalibrationAndTrailer) {
    startCypress();
    ASSERT_TRUE(frames->waitForFrames(10));
    const Calibration calibration = device->currentCalibration();
    const auto records = frames->records();
    ASSERT_GE(records.size(), 5u);
    for (std::size_t i = 0; i < records.size(); ++i) {
        const FrameRecord& r = *records[i];
        EXPECT_EQ(r.serial, "MKT-210012345");
        EXPECT_EQ(r.firstImage.width(), 640);
        EXPECT_EQ(r.firstImage.height(), 240);
        EXPECT_FALSE(r.reversed);
        EXPECT_TRUE(sameParameters(r.calibration, calibration));
        ASSERT_TRUE(r.distortionMap);
        EXPECT_EQ(r.distortionMap->image(DistortionMap::RectifiedToRawColumn0).width(), 640);
        // The controller reports the 200 µs and gain 16 it was given.
        EXPECT_FLOAT_EQ(r.exposure, 0.0002f);
        EXPECT_FLOAT_EQ(r.gain, 1.0f);
        EXPECT_FLOAT_EQ(r.verticalScale, 2.0f);
        EXPECT_FLOAT_EQ(r.rowCentre[0], 240 - 480 + 2.0f);  // row offset 2 x 120, binning 0
        EXPECT_FLOAT_EQ(r.control14, 2.001f);
        EXPECT_FLOAT_EQ(r.control5, 1.0f);
        EXPECT_GT(r.trailerCount, 0);
        EXPECT_GT(r.frameInterval, 0.0f);
        if (i > 0) {
            EXPECT_GT(r.frameIndex, records[i - 1]->frameIndex);
            EXPECT_GT(r.timestamp, records[i - 1]->timestamp);
        }
        // Camera 0 is in the even bytes: its pattern runs x behind camera 1's.
        EXPECT_EQ(usualDifference(r.secondImage, r.firstImage, 40), 0);
    }
    // Smoothed from the frames' timestamps (the controller sends 100 a
    // second, fewer on a busy machine); the first interval, from 0 to the
    // first timestamp, takes a few dozen frames to fade.
    ASSERT_TRUE(frames->waitForFrames(80));
    EXPECT_GT(device->frameRate(), 1.0);
    EXPECT_TRUE(std::isfinite(device->frameRate()));
}

TEST_F(FrameRecords, ReversedRecordsSwapTheCamerasAndTheirCalibration) {
    startCypress();
    const auto normalMap = frames->latest()->distortionMap;
    device->toggleOrientation();
    ASSERT_TRUE(eventually([&] { return frames->latest()->reversed; }));
    const std::size_t seen = frames->count();
    ASSERT_TRUE(frames->waitForFrames(seen + 3));
    const auto record = frames->latest();
    ASSERT_TRUE(record->reversed);
    EXPECT_TRUE(sameParameters(record->calibration, reversed(device->currentCalibration())));
    EXPECT_NE(record->distortionMap, normalMap);
    ASSERT_TRUE(record->distortionMap);
    // The even bytes went to the second image.
    EXPECT_EQ(usualDifference(record->firstImage, record->secondImage, 40), 0);
}

TEST_F(FrameRecords, EmbeddedRecordsSplitSideBySideHalves) {
    startEmbedded();
    ASSERT_TRUE(frames->waitForFrames(5));
    const auto record = frames->latest();
    ASSERT_TRUE(record);
    EXPECT_EQ(record->serial, "ZINDO");
    EXPECT_EQ(record->firstImage.width(), 640);
    EXPECT_EQ(record->firstImage.height(), 480) << "the line after the image is left out";
    EXPECT_EQ(record->trailerCount, 2);
    EXPECT_FLOAT_EQ(record->exposure, 0.00036f);
    EXPECT_FLOAT_EQ(record->gain, 2.0f);
    EXPECT_FLOAT_EQ(record->verticalScale, 1.0f);
    EXPECT_FLOAT_EQ(record->rowCentre[0], -240.0f);
    EXPECT_FLOAT_EQ(record->originX, -320.0f);
    EXPECT_FLOAT_EQ(record->control14, 2.0f);
    EXPECT_TRUE(sameParameters(record->calibration, embedded->currentCalibration()));
    // The right halves (whose pattern climbs 2 per line) are the first
    // camera, the left halves (1 per line) the second.
    EXPECT_EQ(usualRowStep(record->firstImage, 100, 200), 2);
    EXPECT_EQ(usualRowStep(record->secondImage, 100, 200), 1);
}

}  // namespace
}  // namespace controllertest

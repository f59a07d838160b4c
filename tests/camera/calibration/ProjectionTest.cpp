#include <gtest/gtest.h>

#include <cmath>

#include "camera/calibration/Calibration.h"
#include "camera/calibration/DistortionMap.h"
#include "tests/camera/calibration/CalibrationTestSupport.h"

namespace {

// The largest distance, over raw pixels covering the whole 640 x 480 image,
// between a raw pixel and the projection of its ideal point (normalised
// rectified coordinates, what `project` takes) back into the raw image.
double worstRoundTrip(const Calibration& c, int cam) {
    const CameraParameters& p = c.camera[cam];
    double worst = 0.0;
    for (int row = -240; row < 240; row += 3) {
        for (int column = -320; column < 320; column += 3) {
            const auto pixel =
                rawPixelToRectified(p, c.matrix(Calibration::RawToRectified, cam), float(column), float(row));
            const float t = p[LensParam::RectifiedFocal];
            const auto raw = project(c, cam, (pixel.x - p[LensParam::RectifiedCentreX]) / t,
                                     (pixel.y - p[LensParam::RectifiedCentreY]) / t);
            worst = std::max(worst, std::hypot(double(raw.x) - column, double(raw.y) - row));
        }
    }
    return worst;
}

}  // namespace

// The fitted inverse radial factor is good to about 0.1 px over the image
// (measured: mild lens 0.10 px, wide lens without tangential terms 0.16 px);
// the first-order removal of the tangential terms adds up to 0.6 px at the
// corners of the wide lens (measured 0.77 px in all).
TEST(Projection, IdealPointOfRawPixelProjectsBackOntoIt) {
    const Calibration c(1, 0, 0.04f, 1.5f, fitted(mildLens()), fitted(wideLens()));
    EXPECT_LT(worstRoundTrip(c, 0), 0.15);
    EXPECT_LT(worstRoundTrip(c, 1), 0.9);
    CameraParameters radialOnly = wideLens();
    radialOnly[LensParam::P1] = radialOnly[LensParam::P2] = 0.0f;
    EXPECT_LT(worstRoundTrip(Calibration(1, 0, 0.04f, 1.5f, fitted(radialOnly), radialOnly), 0), 0.2);
    // Without the fitted inverse the projection is off by many pixels.
    EXPECT_GT(worstRoundTrip(Calibration(1, 0, 0.04f, 1.5f, wideLens(), wideLens()), 0), 20.0);
}

TEST(Projection, UndistortedRecordIsAPinhole) {
    const CameraParameters p = lensWith(250, 2, -1, 0, 0, 0, 0, 0, 0, 250, 0, 0, 0, 0, 0);
    const Calibration c(0, 0, 0.0f, 0.0f, p, p);
    const auto raw = project(c, 1, 0.2f, -0.1f);
    EXPECT_FLOAT_EQ(raw.x, 0.2f * 250.0f + 2.0f);
    EXPECT_FLOAT_EQ(raw.y, -0.1f * 250.0f - 1.0f);
    EXPECT_THROW(project(c, 2, 0.0f, 0.0f), std::out_of_range);
}

// Both ways of computing the maps (4, and where the processor has AVX2, 8
// pixels at a time) give exactly the floats of the scalar formulas.
class DistortionMaps : public ::testing::TestWithParam<MapKernelPath> {
protected:
    void SetUp() override {
        if (!useMapKernels(GetParam())) GTEST_SKIP() << "this machine lacks the path";
    }
    void TearDown() override {
        if (!useMapKernels(MapKernelPath::Avx2)) useMapKernels(MapKernelPath::Generic);
    }
};

INSTANTIATE_TEST_SUITE_P(Kernels, DistortionMaps, ::testing::Values(MapKernelPath::Generic, MapKernelPath::Avx2));

TEST_P(DistortionMaps, HoldTheFormulasAtEveryPixel) {
    const Calibration c(1, 0, 0.04f, 1.5f, fitted(mildLens()), fitted(wideLens()));
    DistortionMap map;
    buildMaps(c, map, 637, 480);  // a width that leaves a tail after the vectors
    for (const MapImage& image : map.images) {
        ASSERT_TRUE(image.width() == 637 && image.height() == 480 && image.owned());
    }
    for (int cam = 0; cam < 2; ++cam) {
        const CameraParameters& p = c.camera[cam];
        const MapImage* m = &map.images[2 * cam];  // columns, rows; +4: the other direction
        for (int j = -240; j < 240; j += 37) {
            for (int i = -318; i <= 318; ++i) {
                const auto raw = projectThrough(p, c.matrix(Calibration::RectifiedToRaw, cam), float(i), float(j));
                const auto rect =
                    rawPixelToRectified(p, c.matrix(Calibration::RawToRectified, cam), float(i), float(j));
                ASSERT_EQ(m[0].at(i + 318, j + 240), raw.x + 318.0f) << i << "," << j;
                ASSERT_EQ(m[1].at(i + 318, j + 240), raw.y + 240.0f);
                ASSERT_EQ(m[4].at(i + 318, j + 240), rect.x + 318.0f);
                ASSERT_EQ(m[5].at(i + 318, j + 240), rect.y + 240.0f);
            }
        }
    }
}

TEST_P(DistortionMaps, SizeFollowsTheRequestWithSaneBounds) {
    const Calibration c(1.0f);
    DistortionMap map;
    buildMaps(c, map, 321, 11);  // odd sizes are filled to the last pixel
    const MapImage& x = map.image(DistortionMap::RectifiedToRawColumn1);
    ASSERT_TRUE(x.width() == 321 && x.height() == 11);
    // Default record: f 100 and t 1 scale rectified-to-raw by 100 about the
    // centre (160, 5).
    EXPECT_FLOAT_EQ(x.at(320, 10), 160.0f * 100.0f + 160.0f);
    EXPECT_FLOAT_EQ(map.image(DistortionMap::RectifiedToRawRow1).at(0, 0), -5.0f * 100.0f + 5.0f);
    buildMaps(c, map, 0, 480);
    EXPECT_EQ(map.image(DistortionMap::RawToRectifiedRow1).width(), 640);
    buildMaps(c, map, 640, 100000);
    EXPECT_EQ(map.image(DistortionMap::RawToRectifiedRow1).height(), 480);
    buildMaps(c, map);  // the configured size: 640 x 480 by default
    EXPECT_EQ(map.image(DistortionMap::RawToRectifiedRow0).width(), 640);
    EXPECT_EQ(map.image(DistortionMap::RawToRectifiedRow0).height(), 480);
}

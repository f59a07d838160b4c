#include <gtest/gtest.h>

#include <limits>

#include "camera/calibration/InverseRadialFit.h"
#include "camera/calibration/NelderMead.h"
#include "tests/camera/calibration/CalibrationTestSupport.h"

TEST(NelderMead, EndsAtTheIterationBoundWhenNothingButTheStartIsANumber) {
    auto f = [](const std::array<double, 6>& x) {
        return x == std::array<double, 6>{} ? 1.0 : std::numeric_limits<double>::quiet_NaN();
    };
    const auto r = minimiseNelderMead<6>(f, std::array<double, 6>{});
    EXPECT_EQ(r.iterations, 2000);
    EXPECT_EQ(r.point, (std::array<double, 6>{}));
    EXPECT_EQ(r.value, 1.0);
    // A flat objective is settled before the first iteration.
    const std::array<double, 6> start{1, 2, 3, 4, 5, 6};
    const auto flat = minimiseNelderMead<6>([](const std::array<double, 6>&) { return 0.0; }, start);
    EXPECT_EQ(flat.iterations, 0);
    EXPECT_EQ(flat.point, start);
}

TEST(RadialSamples, StopWhereTheModelStopsDescribingTheLens) {
    const RadialSamples all = sampleRadialFactor(CameraParameters{});
    ASSERT_EQ(all.count, 32u);
    EXPECT_DOUBLE_EQ(all.factor[0], 1.0);
    EXPECT_NEAR(all.radius[31], 1.0 / (0.37 * 0.37) - 1.0, 1e-12);
    CameraParameters pole{};  // pole at rho 2.5: sample 23 (rho 2.56) turns negative
    pole[LensParam::K4] = -0.4f;
    EXPECT_EQ(sampleRadialFactor(pole).count, 23u);
    CameraParameters shrinking{};  // the ideal radius stops growing
    shrinking[LensParam::K4] = 2.0f;
    shrinking[LensParam::K5] = 1.0f;
    const RadialSamples s = sampleRadialFactor(shrinking);
    ASSERT_TRUE(s.count > 1 && s.count < 32);
    for (std::size_t i = 1; i < s.count; ++i) EXPECT_GE(s.radius[i], s.radius[i - 1]);
    CameraParameters broken{};
    broken[LensParam::K1] = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(sampleRadialFactor(broken).count, 0u);
}

TEST(RadialSamples, ErrorCountsWholePairsOnly) {
    RadialSamples s;
    s.count = 3;
    s.factor = {1.0, 1.0, 5.0, 2.0};
    s.radius = {1.0, 2.0, 3.0, 4.0};
    const std::array<double, 6> identity{};        // G = 1 everywhere
    EXPECT_EQ(inverseFitError(s, identity), 0.0);  // the odd third sample is left out
    s.count = 4;
    EXPECT_DOUBLE_EQ(inverseFitError(s, identity), 3.0 * 16.0 + 4.0 * 1.0);
    s.count = 1;
    s.factor[0] = 9.0;
    EXPECT_EQ(inverseFitError(s, identity), 0.0);
}

TEST(InverseFit, InvertsTheForwardFactor) {
    for (const CameraParameters& c : {fitted(mildLens()), fitted(wideLens())}) {
        const RadialSamples s = sampleRadialFactor(c);
        for (std::size_t i = 0; i < s.count; ++i) {
            EXPECT_NEAR(radialRatio(c, LensParam::J1, LensParam::J4, s.radius[i]) * s.factor[i], 1.0, 2e-3);
        }
    }
    const CameraParameters none = fitted(lensWith(100, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0));
    for (std::size_t i = LensParam::J1; i < LensParam::Count; ++i) EXPECT_NEAR(none[i], 0.0f, 1e-6f);
}

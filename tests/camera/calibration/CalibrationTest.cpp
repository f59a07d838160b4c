#include "camera/calibration/Calibration.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "devices/core/DeviceExceptions.h"
#include "tests/camera/calibration/CalibrationTestSupport.h"

namespace {

std::string parseError(const CalibrationBlock& block) {
    try {
        Calibration c(block);
    } catch (const calibration_exception& e) {
        return e.what();
    }
    return "accepted";
}

}  // namespace

TEST(CalibrationBlock, ChecksSignatureThenChecksumThenVersion) {
    const std::string signature = "Unexpected header signature for the calibration";
    const std::string checksum = "Fatal error: Corrupt calibration data (Incorrect checksum)";
    const std::string version = "Fatal error: Corrupt calibration data (Incorrect version)";
    auto fixSum = [](CalibrationBlock& b) { putWord(b, 152, calibrationChecksum(b)); };
    const std::pair<std::function<void(CalibrationBlock&)>, std::string> cases[] = {
        {[](CalibrationBlock& b) { b[1] = 'B'; }, signature},  // checksum now wrong too
        {[&](CalibrationBlock& b) {
             b[0] = 'c';
             fixSum(b);
         },
         signature},
        // Off by one with a version that would also be refused: checksum first.
        {[](CalibrationBlock& b) {
             b[2] = 200;
             b[152] = static_cast<std::uint8_t>(b[152] + 1);
         },
         checksum},
        {[](CalibrationBlock& b) { b[100] ^= 1; }, checksum},
        {[&](CalibrationBlock& b) {
             b[2] = 128;
             fixSum(b);
         },
         "accepted"},
        {[&](CalibrationBlock& b) {
             b[2] = 129;
             fixSum(b);
         },
         version},
        {[&](CalibrationBlock& b) {
             b[2] = 255;
             fixSum(b);
         },
         version},
    };
    for (const auto& [damage, expected] : cases) {
        CalibrationBlock b = sampleBlock();
        damage(b);
        EXPECT_EQ(parseError(b), expected);
    }
    CalibrationBlock wrap{};
    wrap.fill(0xFF);  // the sum wraps modulo 2^32; the field itself is not summed
    EXPECT_EQ(calibrationChecksum(wrap), static_cast<std::uint32_t>(38u * 0xFFFFFFFFull));
}

TEST(CalibrationBlock, ParsesEveryFieldAndSerialisesBackToTheSameBytes) {
    const Calibration c(sampleBlock(7));
    EXPECT_EQ(c.version, 7);
    EXPECT_EQ(c.revision, 0x5C);
    EXPECT_EQ(c.created, 0x5F5E1234u);
    EXPECT_EQ(c.stereoS, 0.04f);
    EXPECT_EQ(c.stereoU, 1.5f);
    const CameraParameters expected[2] = {fitted(mildLens()), fitted(wideLens())};
    for (int cam = 0; cam < 2; ++cam) EXPECT_EQ(c.camera[cam], expected[cam]);
    EXPECT_NE(c.camera[0][LensParam::J1], 0.0f);  // fitted, not read
    EXPECT_FLOAT_EQ(c.pixelHalfScale, 0.5f / 180.0f);
    EXPECT_FLOAT_EQ(c.scaledStereo, 180.0f * 0.04f);

    for (std::uint8_t version : {0, 128}) EXPECT_EQ(serialise(Calibration(sampleBlock(version))), sampleBlock(version));
    // Odd float bit patterns (NaN with payload, denormal, -0) pass untouched.
    CalibrationBlock odd = sampleBlock();
    putWord(odd, 96, 0x7FC01234u);
    putWord(odd, 100, 0x00000001u);
    putWord(odd, 104, 0x80000000u);
    putWord(odd, 152, calibrationChecksum(odd));
    EXPECT_EQ(serialise(Calibration(odd)), odd);
}

TEST(CalibrationRecord, DefaultAndFromParameters) {
    const std::uint32_t before = calibrationNow();
    const Calibration d(2.5f);
    EXPECT_GE(d.created, before);
    EXPECT_EQ(d.version + d.revision, 0);
    EXPECT_EQ(d.stereoS + d.stereoU, 0.0f);
    const CameraParameters expected = {100, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2.5f};
    const Matrix3 k{2.5f, 0, 0, 0, 2.5f, 0, 0, 0, 1};
    const Matrix3 identity{1, 0, 0, 0, 1, 0, 0, 0, 1};
    for (int cam = 0; cam < 2; ++cam) {
        EXPECT_EQ(d.camera[cam], expected);
        EXPECT_EQ(d.matrix(Calibration::RawToRectified, cam), k);
        EXPECT_EQ(d.matrix(Calibration::Projection, cam), identity);
    }
    EXPECT_FLOAT_EQ(d.pixelHalfScale, 0.2f);

    // From parameters: all 23 taken as given, inverse coefficients included.
    CameraParameters a = mildLens();
    a[LensParam::J1 + 2] = 0.375f;
    const Calibration p(9, 4, 0.5f, 2.0f, a, wideLens());
    EXPECT_EQ(p.camera[0], a);
    EXPECT_EQ(p.version, 9);
    EXPECT_EQ(p.revision, 4);
}

TEST(CalibrationRecord, DerivedMatricesAreConsistent) {
    const Calibration c(1, 0, 0.04f, 1.5f, mildLens(), wideLens());
    for (int cam = 0; cam < 2; ++cam) {
        const Matrix3& a = c.matrix(Calibration::RawToRectified, cam);
        const Matrix3& b = c.matrix(Calibration::RectifiedToRaw, cam);
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) {
                double sum = 0;
                for (int k = 0; k < 3; ++k) sum += double(a[i * 3 + k]) * b[k * 3 + j];
                EXPECT_NEAR(sum, i == j ? 1.0 : 0.0, 1e-5);
                EXPECT_EQ(c.matrix(Calibration::TransposedProjection, cam)[i * 3 + j],
                          c.matrix(Calibration::Projection, cam)[j * 3 + i]);
            }
    }
    // Without rotation the optical axis lands at u0 + t s u / 2 for camera 0
    // and u0 - t s u / 2 for camera 1.
    CameraParameters straight = mildLens();
    straight[LensParam::RotationA] = straight[LensParam::RotationB] = straight[LensParam::RotationC] = 0;
    const Calibration s(1, 0, 0.04f, 1.5f, straight, straight);
    EXPECT_NEAR(applyHomography(s.matrix(Calibration::RawToRectified, 0), 0.0f, 0.0f).x, 1 + 320 * 0.03f, 1e-3);
    EXPECT_NEAR(applyHomography(s.matrix(Calibration::RawToRectified, 1), 0.0f, 0.0f).x, 1 - 320 * 0.03f, 1e-3);
}

TEST(CalibrationRecord, ReversalMirrorsAndSwapsTheCameras) {
    Calibration original(5, 6, 0.04f, 1.5f, mildLens(), wideLens());
    original.created = 1234;
    const Calibration r = reversed(original);
    EXPECT_EQ(r.version, 5);
    EXPECT_EQ(r.revision, 6);
    EXPECT_EQ(r.stereoS, 0.04f);
    EXPECT_EQ(r.stereoU, 1.5f);
    EXPECT_NE(r.created, 1234u);
    // Camera 1 of the reversed record is camera 0 mirrored: negated where
    // the table says -1, -1 - x for the raw principal point.
    const CameraParameters& o = original.camera[0];
    const int sign[17] = {1, 0, 0, -1, -1, 1, 1, 1, 1, 1, 1, 1, -1, -1, 1, -1, -1};
    for (std::size_t i = 0; i < LensParam::Stored; ++i) {
        const float expected = sign[i] == 0 ? -1.0f - o[i] : float(sign[i]) * o[i];
        EXPECT_EQ(r.camera[1][i], expected) << i;
    }
    EXPECT_EQ(r.camera[1][LensParam::J1], fitted(mildLens())[LensParam::J1]);
    EXPECT_EQ(r.camera[0][LensParam::Focal], 220.0f);
    EXPECT_FLOAT_EQ(r.pixelHalfScale, 0.5f / 320.0f);  // follows the new camera 1

    const Calibration twice = reversed(r);
    for (int cam = 0; cam < 2; ++cam)
        for (std::size_t i = 0; i < LensParam::Stored; ++i)
            // -1 - (-1 - cx) is exact here, though not for every float.
            EXPECT_NEAR(twice.camera[cam][i], original.camera[cam][i], 1e-6f) << cam << " " << i;
    for (int blk = 0; blk < 4; ++blk)
        for (int i = 0; i < 9; ++i) EXPECT_NEAR(twice.matrices[blk][1][i], original.matrices[blk][1][i], 1e-4f);
}

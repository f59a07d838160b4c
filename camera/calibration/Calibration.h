#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "camera/calibration/LensModel.h"

// The 156-byte calibration block a controller keeps in its memory.
inline constexpr std::size_t kCalibrationBlockSize = 156;
using CalibrationBlock = std::array<std::uint8_t, kCalibrationBlockSize>;

// The optical calibration of the controller's two cameras: the lens model of
// each camera, the stereo parameters, and the matrices derived from them.
//
// Derived matrices, per camera, from the rotation R (parameters a, b, c),
// the rectified camera matrix K (t, u0, v0) and the horizontal stereo offset
// O = [[1, 0, o], [0, 1, 0], [0, 0, 1]] with o = +s u / 2 for camera 0 and
// -s u / 2 for camera 1 (the offset acts on normalised rectified coordinates,
// before K):
//   block 1 = K O R        normalised raw point -> rectified pixel
//   block 2 = (O R)^-1     normalised rectified point -> normalised raw point
//   block 3 = (K O R)^-1   centred rectified pixel -> normalised raw point
//   block 0 = block 2 transposed
// The rotation built from three parameters is only nearly orthogonal, so
// blocks 2 and 3 are true inverses, not transposes: that keeps `project` the
// exact inverse of the lens model's matrix step.
class Calibration {
public:
    enum Block : std::size_t {
        TransposedProjection = 0,
        RawToRectified = 1,
        Projection = 2,
        RectifiedToRaw = 3,
    };

    // The default record: f = 100, t = scale, every other parameter 0.
    explicit Calibration(float scale = 1.0f);

    // A record from given parameters; all 23 per camera are taken as they
    // are (the inverse coefficients included) and only the matrices derived.
    Calibration(std::uint8_t version, std::uint8_t revision, float s, float u, const CameraParameters& camera0,
                const CameraParameters& camera1);

    // Parses a device block; throws calibration_exception when the
    // signature, the checksum or the version is wrong (checked in that order).
    explicit Calibration(const CalibrationBlock& block);

    virtual ~Calibration() = default;
    Calibration(const Calibration&) = default;
    Calibration& operator=(const Calibration&) = default;

    // Recomputes the derived matrices, the pixel half-scale and the scaled
    // stereo parameter from the parameters.
    void deriveMatrices();

    float stereoS = 0.0f;
    float stereoU = 0.0f;
    std::uint32_t created = 0;  // seconds since 1970, low 32 bits
    std::uint8_t version = 0;
    std::uint8_t revision = 0;
    std::array<CameraParameters, 2> camera{};
    std::array<std::array<Matrix3, 2>, 4> matrices{};  // [block][camera]
    float pixelHalfScale = 0.0f;                       // 0.5 / t of camera 1
    float scaledStereo = 0.0f;                         // t of camera 1 x s

    const Matrix3& matrix(Block block, int cam) const { return matrices[block][cam]; }
};

// The device block of a record: the exact reverse of the parser, with a fresh
// checksum.
CalibrationBlock serialise(const Calibration& calibration);

// The 32-bit sum of the 38 little-endian words before the checksum field.
std::uint32_t calibrationChecksum(const CalibrationBlock& block);

// The record for the reversed orientation: each camera mirrored, and the two
// cameras swapped.
Calibration reversed(const Calibration& calibration);

// A rectified point of a camera to its raw pixel (column, row), relative to
// the image centre.
LensPoint<float> project(const Calibration& calibration, int camera, float x, float y);

// The current time as a record's creation time.
std::uint32_t calibrationNow();

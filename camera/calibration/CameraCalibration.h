#pragma once

#include <cstdint>

#include "camera/calibration/LensModel.h"

namespace Tyvo::Message {
class LegacyCalibration;
}

// The lens model of one camera as an older per-controller calibration file
// carries it (one LegacyCalibration message per camera):
//   extrinsic (field 4): param_1 the calibration revision; param_4, param_5,
//       param_6 the rotation parameters a, b, c; param_7 and param_8 the
//       stereo parameters s and u
//   field 5 (a float image): the raw camera, at least 11 floats in this
//       order: f, cx, cy, p1, p2, k1, k2, k3, k4, k5, k6
//   field 6 (a float image): the rectified camera, at least 3 floats: t, u0, v0
// Float image data is little-endian IEEE floats, width x height of them.
class CameraCalibration {
public:
    // Throws calibration_exception when a sub-message is missing or a float
    // image holds too few values.
    explicit CameraCalibration(const Tyvo::Message::LegacyCalibration& message);

    // Parameters 0 to 16 from the message, the inverse coefficients fitted.
    const CameraParameters& parameters() const { return m_parameters; }
    float stereoS() const { return m_stereoS; }
    float stereoU() const { return m_stereoU; }
    std::uint8_t revision() const { return m_revision; }

private:
    CameraParameters m_parameters{};
    float m_stereoS = 0.0f;
    float m_stereoU = 0.0f;
    std::uint8_t m_revision = 0;
};

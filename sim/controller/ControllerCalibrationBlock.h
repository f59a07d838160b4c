#pragma once
// The 156-byte calibration block a controller keeps at address 100 of its
// memory, as the factory writes it: "CA", version, revision, creation time,
// the two stereo parameters, 17 lens parameters per camera (floats), and the
// 32-bit sum of the 38 words before it. The emulated controller's own encoder.

#include <array>
#include <cstdint>
#include <vector>

namespace tyvo::sim {

struct ControllerCalibration {
    uint8_t version = 3;
    uint8_t revision = 1;
    uint32_t created = 1700000000;
    float stereoS = 0.04f;
    float stereoU = 1.0f;
    // Per camera: f, cx, cy, p1, p2, k1..k6, t, u0, v0, a, b, c.
    std::array<std::array<float, 17>, 2> cameras{};
};

inline constexpr std::size_t kControllerCalibrationSize = 156;

// A plausible factory calibration of the two cameras.
ControllerCalibration sampleControllerCalibration();

std::vector<uint8_t> encodeControllerCalibration(const ControllerCalibration& calibration);

}  // namespace tyvo::sim

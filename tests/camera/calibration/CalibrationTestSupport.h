#pragma once

#include <bit>
#include <cstdint>

#include "camera/calibration/Calibration.h"
#include "camera/calibration/InverseRadialFit.h"

// Lenses close to what controllers carry. Mild: f = 400 px on 640 x 480,
// light barrel distortion. Wide: f = 220 px, strong rational radial term and
// tangential terms of the usual size. Inverse coefficients not fitted.
inline CameraParameters lensWith(float f, float cx, float cy, float p1, float p2, float k1, float k2, float k3,
                                 float k4, float t, float u0, float v0, float a, float b, float c) {
    return {f, cx, cy, p1, p2, k1, k2, k3, k4, 0, 0, t, u0, v0, a, b, c, 0, 0, 0, 0, 0, 0};
}
inline CameraParameters mildLens() {
    return lensWith(400, 3.5f, -2.25f, 0.0002f, -0.0001f, 0.08f, -0.02f, 0.003f, 0.01f, 320, 1, -2, 0.01f, -0.02f,
                    0.005f);
}
inline CameraParameters wideLens() {
    return lensWith(220, 4, -3, 0.001f, -0.0007f, 0.2f, 0.05f, 0, 0.05f, 180, -1.5f, 0.5f, -0.015f, 0.01f, -0.008f);
}
inline CameraParameters fitted(CameraParameters c) {
    fitInverseRadial(c);
    return c;
}

inline void putWord(CalibrationBlock& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// A well-formed device block: version as given, revision 0x5C, created
// 0x5F5E1234, s 0.04, u 1.5, camera 0 mild, camera 1 wide.
inline CalibrationBlock sampleBlock(std::uint8_t version = 3) {
    CalibrationBlock b{};
    b[0] = 'C';
    b[1] = 'A';
    b[2] = version;
    b[3] = 0x5C;
    putWord(b, 4, 0x5F5E1234u);
    putWord(b, 8, std::bit_cast<std::uint32_t>(0.04f));
    putWord(b, 12, std::bit_cast<std::uint32_t>(1.5f));
    const CameraParameters lenses[2] = {mildLens(), wideLens()};
    for (int c = 0; c < 2; ++c)
        for (std::size_t i = 0; i < LensParam::Stored; ++i)
            putWord(b, 16 + 68 * c + 4 * i, std::bit_cast<std::uint32_t>(lenses[c][i]));
    putWord(b, 152, calibrationChecksum(b));
    return b;
}

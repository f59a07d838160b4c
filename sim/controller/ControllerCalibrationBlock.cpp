#include "sim/controller/ControllerCalibrationBlock.h"

#include <cstring>

namespace tyvo::sim {
namespace {

void putU32(std::vector<uint8_t>& out, std::size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) out[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

void putFloat(std::vector<uint8_t>& out, std::size_t at, float value) {
    uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    putU32(out, at, bits);
}

}  // namespace

ControllerCalibration sampleControllerCalibration() {
    ControllerCalibration c;
    c.cameras[0] = {430.5f,  2.25f,   -1.5f, 0.0004f, -0.0003f, 0.11f,  -0.02f,  0.001f, 0.09f,
                    -0.015f, 0.0008f, 1.25f, 0.5f,    -0.25f,   0.002f, -0.001f, 0.0005f};
    c.cameras[1] = {428.75f, -1.75f,  0.75f, -0.0002f, 0.0005f, 0.105f,   -0.018f, 0.0009f, 0.085f,
                    -0.012f, 0.0007f, 1.25f, -0.5f,    0.25f,   -0.0015f, 0.0012f, -0.0004f};
    return c;
}

std::vector<uint8_t> encodeControllerCalibration(const ControllerCalibration& calibration) {
    std::vector<uint8_t> block(kControllerCalibrationSize, 0);
    block[0] = 'C';
    block[1] = 'A';
    block[2] = calibration.version;
    block[3] = calibration.revision;
    putU32(block, 4, calibration.created);
    putFloat(block, 8, calibration.stereoS);
    putFloat(block, 12, calibration.stereoU);
    for (std::size_t camera = 0; camera < 2; ++camera)
        for (std::size_t i = 0; i < 17; ++i) putFloat(block, 16 + camera * 68 + i * 4, calibration.cameras[camera][i]);
    uint32_t sum = 0;
    for (std::size_t at = 0; at < 152; at += 4)
        sum += static_cast<uint32_t>(block[at]) | static_cast<uint32_t>(block[at + 1]) << 8 |
               static_cast<uint32_t>(block[at + 2]) << 16 | static_cast<uint32_t>(block[at + 3]) << 24;
    putU32(block, 152, sum);
    return block;
}

}  // namespace tyvo::sim

#include "camera/calibration/Calibration.h"

#include <bit>
#include <cmath>
#include <ctime>

#include "camera/calibration/InverseRadialFit.h"
#include "devices/core/DeviceExceptions.h"

namespace {

// Block layout (little-endian).
constexpr std::size_t kVersionOffset = 2;
constexpr std::size_t kRevisionOffset = 3;
constexpr std::size_t kCreatedOffset = 4;
constexpr std::size_t kStereoSOffset = 8;
constexpr std::size_t kStereoUOffset = 12;
constexpr std::size_t kCameraOffset[2] = {16, 84};
constexpr std::size_t kChecksumOffset = 152;
constexpr int kHighestVersion = 128;

std::uint32_t readWord(const CalibrationBlock& b, std::size_t at) {
    return static_cast<std::uint32_t>(b[at]) | static_cast<std::uint32_t>(b[at + 1]) << 8 |
           static_cast<std::uint32_t>(b[at + 2]) << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}

float readFloat(const CalibrationBlock& b, std::size_t at) { return std::bit_cast<float>(readWord(b, at)); }

void writeWord(CalibrationBlock& b, std::size_t at, std::uint32_t v) {
    for (std::size_t i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

void writeFloat(CalibrationBlock& b, std::size_t at, float v) { writeWord(b, at, std::bit_cast<std::uint32_t>(v)); }

using Mat = std::array<double, 9>;

Mat multiply(const Mat& a, const Mat& b) {
    Mat r{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            for (int k = 0; k < 3; ++k) r[i * 3 + j] += a[i * 3 + k] * b[k * 3 + j];
    return r;
}

// The inverse by the adjugate. A singular matrix (damaged parameters) gives
// infinities or NaNs, which is what its maps then hold; nothing traps.
Mat invert(const Mat& m) {
    const Mat adj{
        m[4] * m[8] - m[5] * m[7], m[2] * m[7] - m[1] * m[8], m[1] * m[5] - m[2] * m[4],
        m[5] * m[6] - m[3] * m[8], m[0] * m[8] - m[2] * m[6], m[2] * m[3] - m[0] * m[5],
        m[3] * m[7] - m[4] * m[6], m[1] * m[6] - m[0] * m[7], m[0] * m[4] - m[1] * m[3],
    };
    const double det = m[0] * adj[0] + m[1] * adj[3] + m[2] * adj[6];
    Mat r;
    for (int i = 0; i < 9; ++i) r[i] = adj[i] / det;
    return r;
}

Mat transpose(const Mat& m) { return {m[0], m[3], m[6], m[1], m[4], m[7], m[2], m[5], m[8]}; }

Matrix3 toFloat(const Mat& m) {
    Matrix3 r;
    for (int i = 0; i < 9; ++i) r[i] = static_cast<float>(m[i]);
    return r;
}

CameraParameters mirrored(const CameraParameters& c) {
    CameraParameters m = c;
    m[LensParam::CentreX] = -1.0f - c[LensParam::CentreX];
    m[LensParam::CentreY] = -1.0f - c[LensParam::CentreY];
    m[LensParam::P1] = -c[LensParam::P1];
    m[LensParam::P2] = -c[LensParam::P2];
    m[LensParam::RectifiedCentreX] = -c[LensParam::RectifiedCentreX];
    m[LensParam::RectifiedCentreY] = -c[LensParam::RectifiedCentreY];
    m[LensParam::RotationB] = -c[LensParam::RotationB];
    m[LensParam::RotationC] = -c[LensParam::RotationC];
    return m;
}

}  // namespace

std::uint32_t calibrationNow() { return static_cast<std::uint32_t>(static_cast<std::uint64_t>(std::time(nullptr))); }

std::uint32_t calibrationChecksum(const CalibrationBlock& block) {
    std::uint32_t sum = 0;
    for (std::size_t at = 0; at < kChecksumOffset; at += 4) sum += readWord(block, at);
    return sum;
}

Calibration::Calibration(float scale) : created(calibrationNow()) {
    for (auto& c : camera) {
        c.fill(0.0f);
        c[LensParam::Focal] = 100.0f;
        c[LensParam::RectifiedFocal] = scale;
    }
    deriveMatrices();
}

Calibration::Calibration(std::uint8_t version_, std::uint8_t revision_, float s, float u,
                         const CameraParameters& camera0, const CameraParameters& camera1)
    : stereoS(s),
      stereoU(u),
      created(calibrationNow()),
      version(version_),
      revision(revision_),
      camera{camera0, camera1} {
    deriveMatrices();
}

Calibration::Calibration(const CalibrationBlock& block) {
    if (block[0] != 'C' || block[1] != 'A') {
        throw calibration_exception("Unexpected header signature for the calibration");
    }
    if (calibrationChecksum(block) != readWord(block, kChecksumOffset)) {
        throw calibration_exception("Fatal error: Corrupt calibration data (Incorrect checksum)");
    }
    if (block[kVersionOffset] > kHighestVersion) {
        throw calibration_exception("Fatal error: Corrupt calibration data (Incorrect version)");
    }
    version = block[kVersionOffset];
    revision = block[kRevisionOffset];
    created = readWord(block, kCreatedOffset);
    stereoS = readFloat(block, kStereoSOffset);
    stereoU = readFloat(block, kStereoUOffset);
    for (int c = 0; c < 2; ++c) {
        camera[c].fill(0.0f);
        for (std::size_t i = 0; i < LensParam::Stored; ++i) {
            camera[c][i] = readFloat(block, kCameraOffset[c] + 4 * i);
        }
        fitInverseRadial(camera[c]);
    }
    deriveMatrices();
}

void Calibration::deriveMatrices() {
    for (int c = 0; c < 2; ++c) {
        const CameraParameters& p = camera[c];
        const double a = p[LensParam::RotationA];
        const double b = p[LensParam::RotationB];
        const double cc = p[LensParam::RotationC];
        const Mat rotation{
            std::sqrt(1.0 - a * a - b * b),   a, b, -a, std::sqrt(1.0 - a * a - cc * cc), cc, -b, -cc,
            std::sqrt(1.0 - b * b - cc * cc),
        };
        const double t = p[LensParam::RectifiedFocal];
        const Mat k{t, 0.0, p[LensParam::RectifiedCentreX], 0.0, t, p[LensParam::RectifiedCentreY], 0.0, 0.0, 1.0};
        const double offset = (c == 0 ? 0.5 : -0.5) * static_cast<double>(stereoS) * stereoU;
        const Mat shift{1.0, 0.0, offset, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0};

        const Mat toRectifiedRay = multiply(shift, rotation);
        const Mat rawToRectified = multiply(k, toRectifiedRay);
        const Mat projection = invert(toRectifiedRay);
        matrices[RawToRectified][c] = toFloat(rawToRectified);
        matrices[Projection][c] = toFloat(projection);
        matrices[RectifiedToRaw][c] = toFloat(invert(rawToRectified));
        matrices[TransposedProjection][c] = toFloat(transpose(projection));
    }
    const float t1 = camera[1][LensParam::RectifiedFocal];
    pixelHalfScale = 0.5f / t1;
    scaledStereo = t1 * stereoS;
}

CalibrationBlock serialise(const Calibration& calibration) {
    CalibrationBlock block{};
    block[0] = 'C';
    block[1] = 'A';
    block[kVersionOffset] = calibration.version;
    block[kRevisionOffset] = calibration.revision;
    writeWord(block, kCreatedOffset, calibration.created);
    writeFloat(block, kStereoSOffset, calibration.stereoS);
    writeFloat(block, kStereoUOffset, calibration.stereoU);
    for (int c = 0; c < 2; ++c) {
        for (std::size_t i = 0; i < LensParam::Stored; ++i) {
            writeFloat(block, kCameraOffset[c] + 4 * i, calibration.camera[c][i]);
        }
    }
    writeWord(block, kChecksumOffset, calibrationChecksum(block));
    return block;
}

Calibration reversed(const Calibration& calibration) {
    // Mirroring swaps which physical camera is on the left, so the mirrored
    // camera 0 becomes camera 1 and the other way round.
    CameraParameters first = mirrored(calibration.camera[1]);
    CameraParameters second = mirrored(calibration.camera[0]);
    fitInverseRadial(first);
    fitInverseRadial(second);
    return Calibration(calibration.version, calibration.revision, calibration.stereoS, calibration.stereoU, first,
                       second);
}

LensPoint<float> project(const Calibration& calibration, int camera, float x, float y) {
    return projectThrough(calibration.camera.at(static_cast<std::size_t>(camera)),
                          calibration.matrices[Calibration::Projection].at(static_cast<std::size_t>(camera)), x, y);
}

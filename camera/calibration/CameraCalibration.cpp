#include "camera/calibration/CameraCalibration.h"

#include <bit>
#include <cmath>
#include <cstddef>
#include <limits>
#include <string>

#include "camera/calibration/InverseRadialFit.h"
#include "devices/core/DeviceExceptions.h"
#include "source/DataStructures/Tyvo.pb.h"

namespace {

constexpr std::size_t kRawCameraValues = 11;
constexpr std::size_t kRectifiedCameraValues = 3;

// Copies the first count floats of a float image to out; the image must say
// it holds at least that many and actually carry them.
void readFloats(const Tyvo::Message::FloatImage& image, std::size_t count, float* out) {
    const std::string& data = image.data();
    const long long declared = static_cast<long long>(image.width()) * image.height();
    if (image.width() <= 0 || image.height() <= 0 || declared < static_cast<long long>(count) ||
        data.size() < 4 * count) {
        throw calibration_exception("Calibration file holds an incomplete camera");
    }
    for (std::size_t i = 0; i < count; ++i) {
        std::uint32_t word = 0;
        for (std::size_t k = 0; k < 4; ++k) {
            word |= static_cast<std::uint32_t>(static_cast<std::uint8_t>(data[4 * i + k])) << (8 * k);
        }
        out[i] = std::bit_cast<float>(word);
    }
}

// A double of the file as a float; values beyond the float range become
// infinities instead of an undefined conversion.
float narrow(double v) {
    constexpr double top = std::numeric_limits<float>::max();
    if (v > top) return std::numeric_limits<float>::infinity();
    if (v < -top) return -std::numeric_limits<float>::infinity();
    return static_cast<float>(v);
}

}  // namespace

CameraCalibration::CameraCalibration(const Tyvo::Message::LegacyCalibration& message) {
    if (!message.has_extrinsic() || !message.has_map_x() || !message.has_map_y()) {
        throw calibration_exception("Calibration file holds an incomplete camera");
    }
    float raw[kRawCameraValues];
    float rectified[kRectifiedCameraValues];
    readFloats(message.map_x(), kRawCameraValues, raw);
    readFloats(message.map_y(), kRectifiedCameraValues, rectified);
    for (std::size_t i = 0; i < kRawCameraValues; ++i) m_parameters[LensParam::Focal + i] = raw[i];
    for (std::size_t i = 0; i < kRectifiedCameraValues; ++i) {
        m_parameters[LensParam::RectifiedFocal + i] = rectified[i];
    }

    const Tyvo::Message::CameraExtrinsic& extrinsic = message.extrinsic();
    m_parameters[LensParam::RotationA] = narrow(extrinsic.param_4());
    m_parameters[LensParam::RotationB] = narrow(extrinsic.param_5());
    m_parameters[LensParam::RotationC] = narrow(extrinsic.param_6());
    m_stereoS = narrow(extrinsic.param_7());
    m_stereoU = narrow(extrinsic.param_8());
    m_revision = static_cast<std::uint8_t>(extrinsic.param_1());
    fitInverseRadial(m_parameters);
}

#include "camera/controllers/CyUVCDevice.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <iostream>
#include <limits>
#include <string>

#include "camera/calibration/LegacyLoader.h"
#include "camera/capture/DeviceClass.h"
#include "camera/capture/MemoryWindow.h"
#include "camera/controllers/StatusNotifier.h"
#include "config/Config.h"
#include "devices/core/DeviceExceptions.h"
#include "firmware/update/FirmwareUpdate.h"
#include "firmware/update/UpdateSession.h"

namespace {

using namespace controller_memory;

// The selector of each setting in the low 6 bits of capture control 6.
int multiplexedSelector(int control) {
    switch (control) {
        case kControl17: return 0;
        case kOrientationControl: return 1;
        case kControl18: return 2;
        case kControl19: return 3;
        case kControl20: return 4;
        case kRegionFirstRowControl: return 5;
        case kRowBinningControl: return 6;
        default: return -1;
    }
}

// Sensor rows, and the windows of the three row-binning codes.
constexpr int kSensorRows = 480;
constexpr int kRowCentreOffset = 240;

}  // namespace

CyUVCDevice::CyUVCDevice() : m_frames(m_frameEvents.Proxy(), timestampSmoother()) { startCapture(); }

CyUVCDevice::~CyUVCDevice() {
    const std::string& serial = serialNumber();
    if (!serial.empty()) m_log.info("Tyvo Controller disconnected: " + serial);
}

// ------------------------------------------------------------- identity

bool CyUVCDevice::identify() {
    AuthenticationMessage message{};
    AuthenticationOptions options;
    options.readBlankSalt = true;
    options.failureText = "Tyvo Controller authentication failed.";
    if (!authenticateController(*this, message, options, m_log)) return false;
    const std::string serial = serialFromAuthenticationMessage(message);
    setIdentity(serial, deviceClassForSerial(serial));
    return true;
}

// --------------------------------------------------------------- memory

void CyUVCDevice::writeMemory(std::uint32_t address, const std::uint8_t* buffer, std::uint32_t length) {
    const auto lock = lockMemory();
    writeMemoryWindowVerified(*m_capture, address, buffer, length);
}

int CyUVCDevice::firmwareVersion() {
    std::uint8_t bytes[2] = {};
    readMemory(kFirmwareVersionAddress, bytes, 2);
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8));
}

// ---------------------------------------------------------- calibration

Calibration CyUVCDevice::readCalibration() {
    const CalibrationBlock block = readCalibrationBlock();
    try {
        return Calibration(block);
    } catch (const calibration_exception&) {
        // The first kits kept their calibration in a file beside the
        // software; it is moved into the controller when one is found.
        const int deviceClass = this->deviceClass();
        if (deviceClass != kDeviceClassMkt21 && deviceClass != kDeviceClassMkt36 && deviceClass != kDeviceClassMkt57)
            throw;
        const LegacyLoader legacy(LegacyLoader::pathForSerial(serialNumber()));
        const Calibration& record = legacy.calibration();
        // The loader's default record has t = 1.0: no usable file.
        if (!(record.camera[0][LensParam::RectifiedFocal] > 1.0f)) throw;
        writeCalibration(record);
        return record;
    }
}

void CyUVCDevice::writeCalibration(const Calibration& calibration) {
    const CalibrationBlock block = serialise(calibration);
    writeMemory(kCalibrationAddress, block.data(), static_cast<std::uint32_t>(block.size()));
    const std::uint8_t written = 1;
    writeMemory(kCalibrationFlagAddress, &written, 1);
}

Calibration CyUVCDevice::setupCalibration() {
    try {
        return readCalibration();
    } catch (const NotConnectedException&) {
        // The controller went away during the read: that says nothing about
        // its calibration, and must not keep it from being taken again.
        throw;
    } catch (...) {
        bool required = true;
        Config::get("camera_requires_calib", required);
        if (!required) return Calibration(1.0f);
        m_log.critical("You must recalibrate your device (Settings -> Troubleshooting)", -1, EC_BAD_CALIB);
        notifyStatus("bad_calib");
        throw scorch_exception("Failed to load calibration.");
    }
}

// ---------------------------------------------------------- camera opened

void CyUVCDevice::onCameraOpened() {
    noteCameraOpening();
    if (!identify()) throw device_exception("Device authentication failed.");
    if (configured()) return;

    m_log.info("Tyvo Controller detected: " + serialNumber());
    // Prints the version lines; old firmware is updated here, and the
    // exception that follows ends this device's context.
    const auto progress = UpdateSession::ProgressForCurrentContext();
    requireCurrentFirmware(*this, std::cout, {}, progress.get());

    installCalibration(setupCalibration());

    std::string mode;
    Config::get("camera_mode", mode);
    int horizontal = 1;
    int vertical = 2;
    if (mode == "VGA") {
        vertical = 1;
    } else if (mode == "QVGA") {
        horizontal = 2;
    } else if (mode == "HHVGA") {
        vertical = 4;
    } else if (mode == "QHVGA") {
        horizontal = 2;
        vertical = 4;
    }
    setResolution(horizontal, vertical);

    setControl5Request(1.0f);
    setControl5(1.0f);
    setFrameRateRequest(FLT_MAX);
    setFrameRate(FLT_MAX);

    setControlCached(kExposureControl, 200);
    setControlCached(kGainControl, 16);
    setControlCached(kControl14, 1);
    setControlCached(kControl17, 0);
    setControlCached(kOrientationControl, 0);
    setControlCached(kControl18, 1);
    setControlCached(kControl19, 1);
    setControlCached(kControl20, 1);
    markConfigured();
}

void CyUVCDevice::onRawFrame(std::int64_t timestampMicroseconds, const std::uint8_t* data, int width, int height) {
    const auto set = calibrations();
    m_frames.onRawFrame(timestampMicroseconds, data, width, height, frameState(*set));
}

// --------------------------------------------------------------- controls

bool CyUVCDevice::isReversed() const { return cachedControl(kOrientationControl) == 1; }

bool CyUVCDevice::setControl(int control, int value) {
    switch (control) {
        case kExposureControl: return m_capture->putControl(kCaptureZoom, value);
        case kControl3:
        case kControl7:
        case kGainControl: return m_capture->putControl(control, value);
        case kControl14: return m_capture->putControl(kCaptureGamma, value);
        case kControl15: {
            const bool ok = m_capture->putControl(kCaptureBacklightCompensation, value);
            setResolution(1, verticalDivisor());
            return ok;
        }
        default: break;
    }
    const int selector = multiplexedSelector(control);
    if (selector < 0) return false;
    // The value occupies the bits above the selector; unsigned arithmetic
    // keeps a value beyond the register's range from overflowing.
    const auto word = static_cast<std::uint32_t>(value) * 64u + static_cast<std::uint32_t>(selector);
    return m_capture->putControl(kMultiplexedControl, static_cast<int>(word));
}

void CyUVCDevice::setExposure(float seconds) {
    applyExposure(seconds, {kExposureLimitPerSensitivity, kShortestExposure, kLongestExposure, kMaxGain});
}

void CyUVCDevice::setControl5(float value) {
    setControl5Request(value);
    setControlCached(kControl5, truncatedValue(4.0f * value + 0.5f));
}

void CyUVCDevice::setFrameRate(float framesPerSecond) {
    setFrameRateRequest(framesPerSecond);
    const int vertical = verticalDivisor();
    const float k = vertical == 2 ? 8.695652f : vertical == 4 ? 4.6728973f : 17.391304f;
    const float cap = m_rateLimited.load() ? kRateLimitedCap : kFrameRateCap;
    // A rate beyond the float range still means "as fast as allowed".
    const float value = std::min(k * framesPerSecond + 0.5f, cap);
    m_capture->putControl(kCaptureFocus, truncatedValue(value));
}

void CyUVCDevice::setAlternateMode(bool on) {
    if (!on) {
        setControlCached(kControl17, 0);
        return;
    }
    setResolution(1, 1);
    setControlCached(kControl17, 1);
    setControlCached(kControl14, 1);
    setControlCached(kExposureControl, 64);
    setControlCached(kControl15, 0);
}

void CyUVCDevice::setRegionOfInterest(const float box[6]) {
    const auto set = calibrations();
    const Calibration& calibration = set->calibration;
    const float xA = (box[0] + box[2]) / 2.0f;
    const float xB = (box[1] + box[3]) / 2.0f;
    float topRow = std::numeric_limits<float>::infinity();
    float bottomRow = -std::numeric_limits<float>::infinity();
    for (int camera = 0; camera < 2; ++camera) {
        for (const float x : {xA, xB}) {
            topRow = std::min(topRow, project(calibration, camera, x, box[4]).y);
            bottomRow = std::max(bottomRow, project(calibration, camera, x, box[5]).y);
        }
    }
    // Rows relative to the image centre become sensor rows; the sums stay
    // in 64 bits so that a wild projection cannot overflow them.
    const long long top = static_cast<long long>(truncatedValue(topRow)) + kRowCentreOffset;
    const long long bottom = static_cast<long long>(truncatedValue(bottomRow)) + kRowCentreOffset;
    const long long span = bottom - top;
    long long centre = (top + bottom) / 2;

    const int vertical = verticalDivisor();
    int code = 2;
    int window = kSensorRows / 4;
    if (vertical < 2 || span > kSensorRows / 2) {
        code = 0;
        window = kSensorRows;
    } else if (vertical < 4 || span > kSensorRows / 4) {
        code = 1;
        window = kSensorRows / 2;
    }
    centre = std::clamp<long long>(centre, window / 2, kSensorRows - window / 2);
    setControlCached(kRowBinningControl, code);
    setControlCached(kRegionFirstRowControl, static_cast<int>(centre) & ~1);
}

void CyUVCDevice::applyResolution(int, int verticalDivisor) {
    const int height = verticalDivisor == 2 ? 240 : verticalDivisor == 4 ? 120 : 480;
    requestCaptureFormat(640, height);
}

void CyUVCDevice::toggleOrientation() { toggleOrientationControl("Reversed tracking orientation"); }

// ------------------------------------------------------ pipeline requests

void CyUVCDevice::onRateLimit(bool limited) { m_rateLimited.store(limited); }

void CyUVCDevice::onToggleOrientation() { toggleOrientation(); }

void CyUVCDevice::onResolutionRequest(int level) {
    switch (level) {
        case 0: setResolution(1, 1); break;
        case 1: setResolution(1, 2); break;
        case 2: setResolution(1, 4); break;
        default: break;
    }
}

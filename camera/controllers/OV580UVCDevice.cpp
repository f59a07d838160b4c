#include "camera/controllers/OV580UVCDevice.h"

#include <algorithm>
#include <iostream>
#include <string>

#include "camera/capture/DeviceClass.h"
#include "camera/capture/MemoryWindow.h"
#include "logging/ConsoleLine.h"

namespace {

using namespace controller_memory;

// Microseconds per sensor line.
constexpr long long kMicrosecondsPerLine = 36;

}  // namespace

OV580UVCDevice::OV580UVCDevice() : m_frames(m_frameEvents.Proxy(), timestampSmoother()) {
    // The full format from the start: a controller that fails
    // authentication is never set up, yet it streams.
    setResolution(1, 1);
    startCapture();
}

OV580UVCDevice::~OV580UVCDevice() = default;

// ------------------------------------------------------------- identity

bool OV580UVCDevice::identify() {
    if (firmwareVersion() > kLastUnauthenticatedVersion) {
        AuthenticationMessage message{};
        AuthenticationOptions options;
        options.readBlankSalt = false;
        options.failureText = "Device authentication failed.";
        if (!authenticateController(*this, message, options, m_log)) return false;
    }
    setIdentity(kEmbeddedSerial, kDeviceClassEmbedded);
    return true;
}

// --------------------------------------------------------------- memory

void OV580UVCDevice::writeMemory(std::uint32_t address, const std::uint8_t* buffer, std::uint32_t length) {
    const auto lock = lockMemory();
    writeMemoryWindow(*m_capture, address, buffer, length);
}

void OV580UVCDevice::writeRegister(std::uint32_t address, std::uint8_t value) { writeMemory(address, &value, 1); }

int OV580UVCDevice::firmwareVersion() {
    std::uint8_t bytes[2] = {};
    readMemory(kFirmwareVersionAddress, bytes, 2);
    return bytes[0] * 100 + bytes[1];
}

Calibration OV580UVCDevice::readCalibration() { return Calibration(readCalibrationBlock()); }

// ---------------------------------------------------------- camera opened

void OV580UVCDevice::onCameraOpened() {
    noteCameraOpening();
    // A controller that fails authentication only logs it: it streams, but
    // is never set up.
    if (!identify() || configured()) return;

    m_log.info("Tyvo Embedded Controller detected: " + serialNumber());
    WriteConsoleLine(std::cout, "Zindo Firmware v" + std::to_string(firmwareVersion()));

    installCalibration(readCalibration());

    setAlternateMode(false);
    setControl15(0);
    setControlCached(kControl19, 1);
    setControlCached(kOrientationControl, 0);
    markConfigured();
}

void OV580UVCDevice::onRawFrame(std::int64_t timestampMicroseconds, const std::uint8_t* data, int width, int height) {
    const auto set = calibrations();
    m_frames.onRawFrame(timestampMicroseconds, data, width, height, frameState(*set));
}

// --------------------------------------------------------------- controls

bool OV580UVCDevice::isReversed() const { return false; }

int OV580UVCDevice::sensorGainCode(int d) {
    // Piecewise linear: finer steps at low gain; the divisions are shifts.
    if (d <= 15) return 0;
    if (d <= 31) return d - 16;
    if (d <= 62) return ((d - 31) >> 1) + 16;
    if (d <= 125) return ((d - 62) >> 2) + 32;
    if (d <= 251) return ((d - 124) >> 3) + 48;
    return ((d - 248) >> 4) + 64;
}

int OV580UVCDevice::exposureLines(int microseconds) {
    return static_cast<int>((static_cast<long long>(microseconds) + kMicrosecondsPerLine / 2) / kMicrosecondsPerLine);
}

bool OV580UVCDevice::setControl(int control, int value) {
    switch (control) {
        case kExposureControl: return m_capture->putControl(kCaptureBacklightCompensation, exposureLines(value));
        case kGainControl: return m_capture->putControl(kCaptureGain, sensorGainCode(value));
        case kControl15:
            writeRegister(kControl15Register, value == 1 ? 0x00 : value == 2 ? 0xAA : 0xFF);
            setResolution(1, verticalDivisor());
            return true;
        case kOrientationControl: {
            std::uint8_t mirror = 0;
            readMemory(kMirrorRegister, &mirror, 1);
            mirror = static_cast<std::uint8_t>(mirror & ~kMirrorBit);
            if (value == 1) mirror |= kMirrorBit;
            writeRegister(kMirrorRegister, mirror);
            return true;
        }
        case kControl19: writeRegister(kControl19Register, value == 1 ? 8 : 0); return true;
        case kControl21: writeRegister(kResolutionRegister, value == 1 ? 1 : 0); return true;
        default: return false;
    }
}

void OV580UVCDevice::setExposure(float seconds) {
    // The exposure control always receives the one exposure; the rest of
    // the time becomes gain.
    applyExposure(seconds, {kExposureLimitPerSensitivity, kExposure, kExposure, kMaxGain});
}

void OV580UVCDevice::setControl5(float) {}

void OV580UVCDevice::setFrameRate(float framesPerSecond) {
    setFrameRateRequest(framesPerSecond);
    const int vertical = verticalDivisor();
    const float k = vertical == 2 ? 10.0f : vertical == 4 ? 5.714286f : 18.181818f;
    // Control 2 has no mapping on this controller: the rate stays the
    // module's own.
    setControl(2, truncatedValue(k * framesPerSecond + 0.5f));
}

void OV580UVCDevice::setAlternateMode(bool on) {
    setResolution(1, 1);
    if (on) {
        setControlCached(kExposureControl, 0);
        setControlCached(kGainControl, 16);
        setControlCached(kControl15, 0);
    } else {
        setControlCached(kExposureControl, 360);
        setControlCached(kGainControl, 32);
    }
}

void OV580UVCDevice::applyResolution(int, int verticalDivisor) {
    // One line more than the image: the module appends a line of its own.
    const int height = verticalDivisor == 2 ? 241 : verticalDivisor == 4 ? 121 : 481;
    requestCaptureFormat(640, height);
}

void OV580UVCDevice::toggleOrientation() { toggleOrientationControl("Reversed device orientation"); }

void OV580UVCDevice::onResolutionRequest(int level) {
    int vertical = 0;
    int resolution = 0;
    switch (level) {
        case 0:
            vertical = 1;
            resolution = 4;
            break;
        case 1:
            vertical = 2;
            resolution = 1;
            break;
        case 2:
            vertical = 4;
            resolution = 0;
            break;
        default: return;
    }
    setResolution(1, vertical);
    setControlCached(kControl21, resolution);
}

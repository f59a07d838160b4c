#include "camera/controllers/UVCControllerDevice.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <utility>

#include "camera/capture/MemoryWindow.h"
#include "config/Config.h"

UVCControllerDevice::UVCControllerDevice() : m_calibrations(std::make_shared<const CalibrationSet>()) {}

UVCControllerDevice::~UVCControllerDevice() = default;

void UVCControllerDevice::startCapture() { m_capture->post(UVCInterface::kCommandStream); }

Calibration UVCControllerDevice::currentCalibration() const { return calibrations()->calibration; }

void UVCControllerDevice::readMemory(std::uint32_t address, std::uint8_t* buffer, std::uint32_t length) {
    const auto lock = lockMemory();
    readMemoryWindow(*m_capture, address, buffer, length);
}

bool UVCControllerDevice::putControl(int control, int value) { return m_capture->putControl(control, value); }

void UVCControllerDevice::setControl15(int value) { setControlCached(kControl15, value); }

CalibrationBlock UVCControllerDevice::readCalibrationBlock() {
    CalibrationBlock block{};
    readMemory(controller_memory::kCalibrationAddress, block.data(), static_cast<std::uint32_t>(block.size()));
    return block;
}

void UVCControllerDevice::installCalibration(const Calibration& calibration) {
    // Built aside and published in one step: frames in progress keep the
    // set they started with.
    auto set = std::make_shared<CalibrationSet>();
    set->calibration = calibration;
    set->reversedCalibration = reversed(calibration);
    buildMaps(set->calibration, *set->distortionMap);
    buildMaps(set->reversedCalibration, *set->reversedDistortionMap);
    std::lock_guard<std::mutex> lock(m_calibrationLock);
    m_calibrations = std::move(set);
}

std::shared_ptr<const UVCControllerDevice::CalibrationSet> UVCControllerDevice::calibrations() const {
    std::lock_guard<std::mutex> lock(m_calibrationLock);
    return m_calibrations;
}

FrameDeviceState UVCControllerDevice::frameState(const CalibrationSet& set) const {
    FrameDeviceState state;
    state.control1 = cachedControl(kExposureControl);
    state.control13 = cachedControl(kGainControl);
    state.control14 = cachedControl(kControl14);
    state.control16 = cachedControl(kOrientationControl);
    state.control19 = cachedControl(kControl19);
    state.control5Request = control5Request();
    state.verticalDivisor = verticalDivisor();
    state.calibration = &set.calibration;
    state.reversedCalibration = &set.reversedCalibration;
    state.distortionMap = set.distortionMap;
    state.reversedDistortionMap = set.reversedDistortionMap;
    state.serial = serialNumber();
    return state;
}

FrameProcessor::TimestampSmoother UVCControllerDevice::timestampSmoother() {
    return [this](std::int64_t& timestamp) {
        smoothTimestamp(timestamp);
        return frameInterval();
    };
}

void UVCControllerDevice::applyExposure(float seconds, const ExposureRule& rule) {
    double sensitivity = 1.0;
    Config::get("camera_sensitivity", sensitivity);
    const float limit = static_cast<float>(sensitivity * sensitivity) * rule.limitPerSensitivity;
    float t = std::min(seconds, limit);
    if (!(t >= rule.shortest)) t = rule.shortest;  // not-a-number too
    const float exposure = std::min(t, rule.longest);
    const float gain = std::min(t / exposure, rule.maxGain);
    setEffectiveExposure(gain * exposure);
    setControlCached(kExposureControl, truncatedValue(exposure * 1000000.0f + 0.5f));
    setControlCached(kGainControl, truncatedValue(gain * 16.0f + 0.5f));
}

void UVCControllerDevice::noteCameraOpening() {
    m_captureThread.store(std::this_thread::get_id());
    m_openings.fetch_add(1);
}

void UVCControllerDevice::requestCaptureFormat(int width, int height) {
    const bool wasStreaming = m_capture->streamState() == UVCInterface::kStreaming;
    const unsigned openings = m_openings.load();
    if (!m_capture->requestFormat(width, height, 0.0f)) return;
    // The capture thread itself rebuilds the stream after it returns.
    if (!wasStreaming || std::this_thread::get_id() == m_captureThread.load()) return;
    const auto deadline = std::chrono::steady_clock::now() + kRestartWait;
    while (std::chrono::steady_clock::now() < deadline) {
        if (m_openings.load() != openings && m_capture->streamState() == UVCInterface::kStreaming) return;
        // A stream that cannot be rebuilt ends the capture thread.
        if (m_capture->ShouldStop() || m_capture->IsCompleted()) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void UVCControllerDevice::toggleOrientationControl(const char* reversedText) {
    const int toggled = 1 - cachedControl(kOrientationControl);
    setControlCached(kOrientationControl, toggled);
    if (cachedControl(kOrientationControl) != 0) m_log.info(reversedText);
}

int UVCControllerDevice::truncatedValue(double value) {
    if (std::isnan(value)) return 0;
    if (value >= static_cast<double>(INT_MAX)) return INT_MAX;
    if (value <= static_cast<double>(INT_MIN)) return INT_MIN;
    return static_cast<int>(value);
}

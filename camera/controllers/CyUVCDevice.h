#pragma once

#include <atomic>
#include <cstdint>

#include "camera/controllers/UVCControllerDevice.h"
#include "camera/frames/CypressFrame.h"

// A controller in normal operation whose USB bridge runs the Cypress UVC
// firmware (0xF182/0x0003). At every camera opening it identifies and
// authenticates the controller over the memory window; at the first one it
// also checks the firmware version (an old controller is updated in place,
// after which the exception that ends the setup stops the device's context
// and the updated controller is taken as a new device), loads the
// calibration and configures the camera. Every raw stereo frame becomes a
// frame record for the DIFrameListener receivers of the device's context.
//
// Device controls reach the hardware as capture controls; capture control 6
// is a multiplexed register whose low 6 bits select one of seven firmware
// settings and whose upper bits carry the value (see setControl).
class CyUVCDevice : public UVCControllerDevice {
public:
    // The USB identity of the controller in normal operation.
    static constexpr uint32_t kVendorId = 0xF182;
    static constexpr uint32_t kProductId = 0x0003;

    // Constants of the exposure and frame rate rules.
    static constexpr float kExposureLimitPerSensitivity = 0.0002875f;  // seconds at sensitivity 1
    static constexpr float kShortestExposure = 0.00006f;
    static constexpr float kLongestExposure = 0.0002f;
    static constexpr float kMaxGain = 1.4375f;
    static constexpr float kRateLimitedCap = 382.0f;
    static constexpr float kFrameRateCap = 1000.0f;

    CyUVCDevice();
    // Logs the disconnected line when the controller was identified.
    ~CyUVCDevice() override;

    Calibration readCalibration() override;
    bool isReversed() const override;
    void writeMemory(std::uint32_t address, const std::uint8_t* buffer, std::uint32_t length) override;
    int firmwareVersion() override;
    void writeCalibration(const Calibration& calibration) override;
    bool setControl(int control, int value) override;
    void setExposure(float seconds) override;
    void setControl5(float value) override;
    void setFrameRate(float framesPerSecond) override;
    void setAlternateMode(bool on) override;
    void setRegionOfInterest(const float box[6]) override;
    void applyResolution(int horizontalDivisor, int verticalDivisor) override;
    void toggleOrientation() override;

    // DataPipelineListener.
    void onRateLimit(bool limited) override;
    void onToggleOrientation() override;
    void onResolutionRequest(int level) override;

    // HardwareStateListener: identification, then (once) the setup.
    void onCameraOpened() override;
    // RawFrameListener.
    void onRawFrame(std::int64_t timestampMicroseconds, const std::uint8_t* data, int width, int height) override;

    bool rateLimited() const { return m_rateLimited.load(); }
    const CypressFrame& frames() const { return m_frames; }

private:
    // Identification and authentication; false when the controller answered
    // wrongly.
    bool identify();
    // The calibration for the setup, by the "camera_requires_calib" rule.
    Calibration setupCalibration();

    CypressFrame m_frames;
    std::atomic<bool> m_rateLimited{false};
};

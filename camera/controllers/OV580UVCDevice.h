#pragma once

#include <cstdint>

#include "camera/controllers/UVCControllerDevice.h"
#include "camera/frames/EmbeddedFrame.h"

// The embedded controller variant ("Zindo"; 0x05A9/0xF580 and
// 0xF182/0x1001): a camera module whose UVC bridge exposes the same memory
// window as the Cypress controller, reaches its sensor registers directly
// through it, delivers the two camera images side by side (one line more
// than the image), and has no firmware update path. Authentication exists
// only from firmware 7.18 on; every embedded controller goes by the serial
// "ZINDO" and device class 8.
class OV580UVCDevice : public UVCControllerDevice {
public:
    // The two USB identities the embedded controller comes with.
    static constexpr uint32_t kModuleVendorId = 0x05A9;
    static constexpr uint32_t kModuleProductId = 0xF580;
    static constexpr uint32_t kVendorId = 0xF182;
    static constexpr uint32_t kProductId = 0x1001;

    // Sensor registers in the memory window.
    static constexpr std::uint32_t kResolutionRegister = 60;     // control 21
    static constexpr std::uint32_t kControl19Register = 0x3005;  // control 19
    static constexpr std::uint32_t kMirrorRegister = 0x3821;     // bit 2: orientation (control 16)
    static constexpr std::uint32_t kControl15Register = 0x3B81;  // control 15
    static constexpr std::uint8_t kMirrorBit = 0x04;
    // Firmware from above this version authenticates.
    static constexpr int kLastUnauthenticatedVersion = 717;

    static constexpr float kExposureLimitPerSensitivity = 0.00072f;
    static constexpr float kExposure = 0.00036f;  // the shortest, and the longest sent
    static constexpr float kMaxGain = 2.4f;

    OV580UVCDevice();
    ~OV580UVCDevice() override;

    Calibration readCalibration() override;
    bool isReversed() const override;
    void writeMemory(std::uint32_t address, const std::uint8_t* buffer, std::uint32_t length) override;
    int firmwareVersion() override;
    bool setControl(int control, int value) override;
    void setExposure(float seconds) override;
    void setControl5(float value) override;
    void setFrameRate(float framesPerSecond) override;
    void setAlternateMode(bool on) override;
    void applyResolution(int horizontalDivisor, int verticalDivisor) override;
    void toggleOrientation() override;

    // DataPipelineListener: only resolution requests mean something here.
    void onResolutionRequest(int level) override;

    // HardwareStateListener: identification, then (once) the setup.
    void onCameraOpened() override;
    // RawFrameListener.
    void onRawFrame(std::int64_t timestampMicroseconds, const std::uint8_t* data, int width, int height) override;

    // The sensor's gain code for a gain x 16.
    static int sensorGainCode(int gainTimes16);
    // Exposure in microseconds as sensor lines.
    static int exposureLines(int microseconds);

    const EmbeddedFrame& frames() const { return m_frames; }

private:
    bool identify();
    void writeRegister(std::uint32_t address, std::uint8_t value);

    EmbeddedFrame m_frames;
};

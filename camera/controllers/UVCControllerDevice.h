#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "camera/calibration/Calibration.h"
#include "camera/calibration/DistortionMap.h"
#include "camera/capture/HardwareAbstraction.h"
#include "camera/capture/HardwareStateListener.h"
#include "camera/capture/RawFrameListener.h"
#include "camera/capture/UVCInterfaceV4L2.h"
#include "camera/controllers/ControllerIdentity.h"
#include "camera/frames/FrameProcessor.h"
#include "context/Autowired.h"

// What the two controllers in normal operation share: the capture object in
// the device's context (resolved or created there), the memory window on its
// control channel, the calibrations of both orientations with their lookup
// maps, and the configured flag. The Cypress controller (CyUVCDevice) and the
// embedded controller (OV580UVCDevice) add their identification, setup,
// controls and frame format.
//
// Threads: the capture object's thread calls onCameraOpened and, while it
// streams, onRawFrame; the tracking pipeline (DataPipelineListener) and
// consumers of the device interface call in from their own threads. The
// calibrations are replaced as a whole under m_calibrationLock and read as
// a shared snapshot, so a frame in progress keeps the set it started with.
class UVCControllerDevice : public HardwareAbstraction, public RawFrameListener, public HardwareStateListener {
public:
    ~UVCControllerDevice() override;

    // The calibration of the normal orientation.
    Calibration currentCalibration() const override;

    // The memory window of the control channel, under the memory lock.
    void readMemory(std::uint32_t address, std::uint8_t* buffer, std::uint32_t length) override;

    // A control of the control channel as it is (no device mapping).
    bool putControl(int control, int value) override;

    // setControl(15, value), cached on success.
    void setControl15(int value) override;

    // The capture object (the device's UVC control channel and frame source).
    UVCInterfaceV4L2& capture() const { return *m_capture; }

    // True once the first camera opening has set the device up.
    bool configured() const { return m_configured.load(); }

protected:
    // The two calibrations and their maps, replaced together.
    struct CalibrationSet {
        Calibration calibration{1.0f};
        Calibration reversedCalibration{1.0f};
        std::shared_ptr<DistortionMap> distortionMap = std::make_shared<DistortionMap>();
        std::shared_ptr<DistortionMap> reversedDistortionMap = std::make_shared<DistortionMap>();
    };

    // Resolves or creates the capture object in the current context.
    UVCControllerDevice();

    // Last step of a controller's construction: asks the capture object to
    // open the camera and stream once its context runs.
    void startCapture();

    // The 156-byte block at the calibration address.
    CalibrationBlock readCalibrationBlock();

    // Stores the calibration, derives the reversed one and builds both maps.
    void installCalibration(const Calibration& calibration);

    std::shared_ptr<const CalibrationSet> calibrations() const;

    // The state a frame record takes from the device, with the calibrations
    // of `set` (which the caller keeps alive for the frame).
    FrameDeviceState frameState(const CalibrationSet& set) const;

    // The timestamp smoothing of the device core, for the frame processor.
    FrameProcessor::TimestampSmoother timestampSmoother();

    // How a requested exposure time becomes exposure and gain.
    struct ExposureRule {
        float limitPerSensitivity;  // the longest time at sensitivity 1, seconds
        float shortest;             // seconds
        float longest;              // the longest exposure sent, seconds
        float maxGain;
    };
    // The time is bounded by the limit (scaled by the square of
    // "camera_sensitivity") and the shortest time; up to the longest time it
    // is exposure, beyond it gain. Exposure (µs) and gain (x 16) are set as
    // controls 1 and 13, each cached on success.
    void applyExposure(float seconds, const ExposureRule& rule);

    // Flips control 16 between 0 and 1; logs `reversedText` when the result
    // is reversed.
    void toggleOrientationControl(const char* reversedText);

    void markConfigured() { m_configured.store(true); }

    // First step of every onCameraOpened (on the capture thread).
    void noteCameraOpening();

    // Asks the capture object for a video format. A changed format restarts
    // a running stream, and while the camera is closed for that, requests
    // succeed without reaching the controller: a memory-window write or a
    // second setting of the multiplexed register would be lost. So a caller
    // other than the capture thread waits, a bounded time, until the stream
    // runs again in the new format.
    void requestCaptureFormat(int width, int height);
    static constexpr std::chrono::milliseconds kRestartWait{5000};

    // A computed control value truncated toward zero, saturated to the int
    // range; not-a-number gives 0. Requests from outside (exposure, frame
    // rate) may be any float, and the conversion must not be undefined.
    static int truncatedValue(double value);

    AutoRequired<UVCInterfaceV4L2> m_capture;

private:
    mutable std::mutex m_calibrationLock;  // guards the pointer, not the set it points to
    std::shared_ptr<const CalibrationSet> m_calibrations;
    std::atomic<bool> m_configured{false};
    std::atomic<std::thread::id> m_captureThread{};
    std::atomic<unsigned> m_openings{0};
};

#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "camera/calibration/Calibration.h"
#include "camera/capture/ControlNumbers.h"
#include "camera/capture/DataPipelineListener.h"
#include "camera/capture/HardwareFrameSupplier.h"
#include "camera/frames/DIFrameListener.h"
#include "context/EventSender.h"
#include "firmware/update/FirmwareStatusListener.h"
#include "firmware/update/UpdateTarget.h"
#include "logging/LogHandle.h"

// The device interface of a controller in normal operation: identity,
// calibration, the memory window, the firmware version, the numbered device
// controls, exposure, frame rate, resolution and orientation. The concrete
// controllers override what their hardware does; the base behaviour of each
// operation is given at its declaration.
//
// A device lives in its per-device context and fires its events there: frame
// records (DIFrameListener, also onDeviceGone when it is destroyed) and the
// firmware update's progress (FirmwareStatusListener, as the firmware layer's
// UpdateTarget).
class HardwareAbstraction : public HardwareFrameSupplier, public DataPipelineListener, public UpdateTarget {
public:
    HardwareAbstraction();
    // Fires DIFrameListener::onDeviceGone to the receivers of the device's
    // context before anything is released.
    ~HardwareAbstraction() override;

    HardwareAbstraction(const HardwareAbstraction&) = delete;
    HardwareAbstraction& operator=(const HardwareAbstraction&) = delete;

    // IdentifiableDevice: what the identification step stored.
    const std::string& serialNumber() const override;
    int deviceClass() const override;

    // HardwareFrameSupplier. 1 / the smoothed frame interval.
    double frameRate() const override;

    // Device memory, byte by byte; each call holds the memory lock for its
    // whole transfer (see lockMemory).
    void readMemory(std::uint32_t address, std::uint8_t* buffer, std::uint32_t length) override = 0;
    void writeMemory(std::uint32_t address, const std::uint8_t* buffer, std::uint32_t length) override = 0;

    // 0 unless the device knows better.
    int firmwareVersion() override;
    // False for every device of this system.
    virtual bool reservedQuery();
    // Does nothing.
    virtual void writeCalibration(const Calibration& calibration);

    // Sets one device control (ControlNumbers.h); true on success. A control
    // the device does not list returns false. The caller caches the value on
    // success only (setControlCached).
    virtual bool setControl(int control, int value) = 0;

    // The following do nothing unless the device overrides them.
    virtual void setExposure(float seconds);
    virtual void setControl5(float value);
    virtual void setFrameRate(float framesPerSecond);
    virtual void setControl15(int value);
    virtual void setAlternateMode(bool on);
    virtual void setRegionOfInterest(const float box[6]);
    virtual void applyResolution(int horizontalDivisor, int verticalDivisor);

    // Flips the orientation control between 0 and 1.
    virtual void toggleOrientation() = 0;

    // The stored divisors.
    virtual int horizontalDivisor() const;
    virtual int verticalDivisor() const;

    // Stores both divisors, then applies them through the virtual operations,
    // so a device that overrides a divisor changes what is applied.
    void setResolution(int horizontalDivisor, int verticalDivisor);

    // Makes a camera timestamp (µs) monotonic and smooths the frame interval:
    // a backward jump of the camera clock continues one microsecond after the
    // last timestamp and keeps that offset until the next jump.
    void smoothTimestamp(std::int64_t& timestamp);

    // DataPipelineListener: nothing, unless the device overrides.
    void onRateLimit(bool limited) override;
    void onToggleOrientation() override;
    void onResolutionRequest(int level) override;
    void onPipelineMessage(const std::string& message) override;
    void onReserved1() override;
    void onReserved2() override;
    void onReserved3() override;

    // UpdateTarget: the events go to the receivers of the device's context.
    void fireFirmwareUpdateStarted(const std::string& serialNumber) override;
    void fireFirmwareUpdateFinished() override;
    const LogHandle& updateLog() const override;

    // The last value successfully set per control (0 before any).
    int cachedControl(int control) const;

protected:
    // setControl, and the cache entry on success.
    bool setControlCached(int control, int value);
    void cacheControl(int control, int value);

    // Held for one whole readMemory or writeMemory.
    std::unique_lock<std::mutex> lockMemory() { return std::unique_lock<std::mutex>(m_memoryLock); }

    void setIdentity(const std::string& serial, int deviceClass);
    void storeDivisors(int horizontalDivisor, int verticalDivisor);

    float effectiveExposure() const { return m_effectiveExposure.load(); }
    void setEffectiveExposure(float value) { m_effectiveExposure.store(value); }
    float control5Request() const { return m_control5Request.load(); }
    void setControl5Request(float value) { m_control5Request.store(value); }
    float frameRateRequest() const { return m_frameRateRequest.load(); }
    void setFrameRateRequest(float value) { m_frameRateRequest.store(value); }
    float frameInterval() const { return m_frameInterval.load(); }

    LogHandle m_log;
    EventSender<DIFrameListener> m_frameEvents;
    EventSender<FirmwareStatusListener> m_firmwareEvents;

private:
    std::mutex m_memoryLock;
    // Written by the identification step on the capture thread, which
    // repeats at every camera opening: only a changed identity is stored, so
    // readers of the reference serialNumber hands out never meet a write
    // after the first identification. The lock orders the writers.
    mutable std::mutex m_identityLock;
    std::string m_serial;
    int m_deviceClass = 0;

    std::atomic<float> m_effectiveExposure{1.0f};
    std::atomic<float> m_control5Request{1.0f};
    std::atomic<float> m_frameRateRequest{1000.0f};
    std::array<std::atomic<int>, kControlCount> m_controlValues{};

    // Timestamp smoothing: touched by the frame thread; the interval is also
    // read by frameRate from any thread.
    std::atomic<float> m_frameInterval{0.02f};
    std::int64_t m_lastTimestamp = 0;
    std::int64_t m_timestampOffset = 0;

    std::atomic<int> m_horizontalDivisor{1};
    std::atomic<int> m_verticalDivisor{1};
};

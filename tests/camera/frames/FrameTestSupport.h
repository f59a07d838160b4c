#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <random>
#include <vector>

#include "camera/frames/DIFrameListener.h"
#include "camera/frames/FrameProcessor.h"

// Keeps the weak pointers it is handed.
class RecordingListener : public DIFrameListener {
public:
    void onFrame(std::weak_ptr<FrameRecord> frame) override {
        std::lock_guard<std::mutex> lock(m_lock);
        frames.push_back(std::move(frame));
    }
    void onDeviceGone() override {}
    std::size_t count() {
        std::lock_guard<std::mutex> lock(m_lock);
        return frames.size();
    }
    std::vector<std::weak_ptr<FrameRecord>> frames;

private:
    std::mutex m_lock;
};

// A proxy with one recording receiver, as a device context would have.
struct FrameReceivers {
    FrameReceivers() { proxy->AddReceiver(listener); }
    std::shared_ptr<RecordingListener> listener = std::make_shared<RecordingListener>();
    std::shared_ptr<EventReceiverProxy<DIFrameListener>> proxy =
        std::make_shared<EventReceiverProxy<DIFrameListener>>();
};

// The state a device hands its processor, with calibrations and maps that
// tell the two orientations apart (revision 11 normal, 77 reversed).
struct TestDevice {
    TestDevice() {
        calibration.revision = 11;
        reversedCalibration.revision = 77;
        state.calibration = &calibration;
        state.reversedCalibration = &reversedCalibration;
        state.distortionMap = map;
        state.reversedDistortionMap = reversedMap;
        state.serial = serial;
    }
    Calibration calibration{1.0f};
    Calibration reversedCalibration{2.0f};
    std::shared_ptr<DistortionMap> map = std::make_shared<DistortionMap>();
    std::shared_ptr<DistortionMap> reversedMap = std::make_shared<DistortionMap>();
    std::string serial = "MKT-21012345";
    FrameDeviceState state;
};

// Adds 1000 to the timestamp and reports an interval of 12.5 ms, so the
// smoothed values are told from the raw ones.
inline FrameProcessor::TimestampSmoother fakeSmoother(int* calls = nullptr) {
    return [calls](std::int64_t& t) {
        if (calls) ++*calls;
        t += 1000;
        return 0.0125f;
    };
}

inline std::vector<std::uint8_t> randomBytes(std::size_t n, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<std::uint8_t> bytes(n);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(rng() >> 24);
    return bytes;
}

#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

#include "camera/frames/DIFrameListener.h"
#include "camera/frames/FrameHistory.h"
#include "camera/frames/FrameKernels.h"
#include "camera/frames/ImagePool.h"
#include "camera/frames/SourceImage.h"
#include "context/EventReceiverProxy.h"

// What a frame record takes from its device, gathered by the device for each
// raw frame. The calibrations must stay valid for the duration of the call.
struct FrameDeviceState {
    int control1 = 0;   // exposure, microseconds
    int control13 = 0;  // gain x 16
    int control14 = 0;
    int control16 = 0;  // orientation: 1 is reversed
    int control19 = 0;  // dark-frame test on
    float control5Request = 1.0f;
    int verticalDivisor = 1;
    const Calibration* calibration = nullptr;
    const Calibration* reversedCalibration = nullptr;
    std::shared_ptr<DistortionMap> distortionMap;
    std::shared_ptr<DistortionMap> reversedDistortionMap;
    std::string_view serial;
};

// The per-device frame state and the steps both controllers share: the pool
// that recycles records, the five-frame history, the frame index, and the
// firing of DIFrameListener::onFrame. A device owns one processor of its
// kind and hands it every raw frame, on the streaming thread only; the
// processor is not meant to be shared between threads (its pool is).
class FrameProcessor {
public:
    // Smooths a camera timestamp in place (never going backwards) and returns
    // the smoothed frame interval in seconds; the device core provides it.
    using TimestampSmoother = std::function<float(std::int64_t& timestamp)>;

    FrameProcessor(std::shared_ptr<EventReceiverProxy<DIFrameListener>> receivers, TimestampSmoother smoother,
                   std::size_t poolLimit = 0);
    virtual ~FrameProcessor() = default;

    FrameProcessor(const FrameProcessor&) = delete;
    FrameProcessor& operator=(const FrameProcessor&) = delete;

    // Chooses the byte kernels (the fastest by default).
    void useKernels(const FrameKernels& kernels) { m_kernels = &kernels; }
    const FrameKernels& kernels() const { return *m_kernels; }

    // -1 until the first raw frame is processed.
    std::int64_t frameIndex() const { return m_frameIndex; }
    const FrameHistory& history() const { return m_history; }
    const ImagePool<FrameRecord>& pool() const { return m_pool; }

protected:
    // The common start: null when nobody listens for frame records (the raw
    // frame is then not processed at all) or the pool has no record to give.
    std::shared_ptr<FrameRecord> begin();
    // Counts a raw frame that got past the common start, passed on or not.
    void countFrame() { ++m_frameIndex; }
    // The common end: calibration and map of the orientation, serial,
    // smoothed timestamp and interval, frame index; then the record joins the
    // history and goes to the receivers. Returns the record.
    std::shared_ptr<FrameRecord> finish(std::shared_ptr<FrameRecord> record, std::int64_t timestamp,
                                        const FrameDeviceState& state);

    static bool isReversed(const FrameDeviceState& state) { return state.control16 == 1; }

    // Both devices deliver at most 640 x 481 pixels of two bytes; this bound
    // only keeps a damaged frame size from turning into a huge allocation.
    static constexpr int kMaxSide = 4096;

private:
    std::shared_ptr<EventReceiverProxy<DIFrameListener>> m_receivers;
    TimestampSmoother m_smoother;
    ImagePool<FrameRecord> m_pool;
    FrameHistory m_history;
    std::int64_t m_frameIndex = -1;
    const FrameKernels* m_kernels;
};

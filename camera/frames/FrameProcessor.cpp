#include "camera/frames/FrameProcessor.h"

#include <utility>

FrameProcessor::FrameProcessor(std::shared_ptr<EventReceiverProxy<DIFrameListener>> receivers,
                               TimestampSmoother smoother, std::size_t poolLimit)
    : m_receivers(std::move(receivers)),
      m_smoother(std::move(smoother)),
      m_pool(poolLimit),
      m_kernels(&bestFrameKernels()) {}

std::shared_ptr<FrameRecord> FrameProcessor::begin() {
    if (!m_receivers || !m_receivers->HasReceivers()) return nullptr;
    m_history.dropOldestIfFull();
    return m_pool.take();
}

std::shared_ptr<FrameRecord> FrameProcessor::finish(std::shared_ptr<FrameRecord> record, std::int64_t timestamp,
                                                    const FrameDeviceState& state) {
    const bool reversed = isReversed(state);
    const Calibration* calibration = reversed ? state.reversedCalibration : state.calibration;
    // A device always has both calibrations (the default record until one
    // is loaded); without one the record says so rather than keep a stale one.
    record->calibration = calibration ? *calibration : Calibration(1.0f);
    record->distortionMap = reversed ? state.reversedDistortionMap : state.distortionMap;
    record->serial.assign(state.serial);
    const float interval = m_smoother ? m_smoother(timestamp) : 0.0f;
    record->timestamp = timestamp;
    record->frameInterval = interval;
    record->frameIndex = m_frameIndex;
    record->reversed = reversed;
    m_history.append(record);
    m_receivers->Fire(&DIFrameListener::onFrame, std::weak_ptr<FrameRecord>(record));
    return record;
}

#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "camera/frames/FrameProcessor.h"

// Turns the embedded controller's raw frames into frame records. A raw frame
// is h lines of 2 w bytes: each of the first h - 1 lines holds a line of
// both cameras side by side (w bytes each); the last line is not image.
// The images are smoothed with a 5-tap binomial filter and the sensor's dark
// level is taken off.
class EmbeddedFrame : public FrameProcessor {
public:
    using FrameProcessor::FrameProcessor;

    std::shared_ptr<FrameRecord> onRawFrame(std::int64_t timestamp, const std::uint8_t* data, int width, int height,
                                            const FrameDeviceState& state);

    static constexpr std::uint8_t kDarkOffset = 30;

private:
    std::vector<std::uint8_t> m_scratch;
};

#pragma once

#include <cstdint>
#include <memory>

#include "camera/frames/FrameProcessor.h"

// The 6-byte trailer the Cypress controller writes over the end of the
// first camera image (the last six bytes of its last line).
struct CypressTrailer {
    int a = 0;             // low nibbles of r1 and r2
    int b = 0;             // bit 4 of r3
    int count = 0;         // T1: the larger of a and b, low 7 bits
    int highBit = 0;       // T0: bit 7 of that value
    int exposure = 0;      // T2: microseconds
    int gainCode = 0;      // T3: gain x 16
    int rowOffset = 0;     // T4
    int binningShift = 0;  // T5
};

CypressTrailer decodeCypressTrailer(const std::uint8_t r[6]);

// Vertical scale and row centre of a frame of the given height.
struct CypressRowGeometry {
    float verticalScale = 1.0f;
    float rowCentre = 0.0f;
};

CypressRowGeometry cypressRowGeometry(int height, int rowOffset, int binningShift, bool reversed);

// Turns the Cypress controller's raw frames into frame records. A raw frame
// is h lines of 2 w bytes with the two cameras' pixels interleaved byte by
// byte.
class CypressFrame : public FrameProcessor {
public:
    using FrameProcessor::FrameProcessor;

    // Processes one raw frame; returns the record passed on to the
    // receivers, or null when the frame was not processed or was dropped.
    std::shared_ptr<FrameRecord> onRawFrame(std::int64_t timestamp, const std::uint8_t* data, int width, int height,
                                            const FrameDeviceState& state);

    // Row offset and binning shift of the last frame whose binning shift was
    // above 0.
    int lastRowOffset() const { return m_lastRowOffset; }
    int lastBinningShift() const { return m_lastBinningShift; }

    static constexpr std::uint8_t kDarkThreshold = 32;

private:
    int m_lastRowOffset = 240;
    int m_lastBinningShift = 0;
};

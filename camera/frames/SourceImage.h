#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "camera/calibration/Calibration.h"
#include "camera/calibration/DistortionMap.h"
#include "camera/frames/Image.h"

// A frame record: the two camera images of one raw frame, the calibration
// that belongs to them, and the capture metadata. Records are made only by
// an ImagePool and shared through reference-counted pointers; when the last
// reference goes the record returns to its pool.
template <class T>
struct SourceImage {
    Image<T> firstImage;
    Image<T> secondImage;
    bool alternateBuffer = false;
    // Calibration and lookup maps of the orientation the frame was taken in.
    Calibration calibration;
    std::shared_ptr<DistortionMap> distortionMap;
    std::string serial;
    std::int64_t timestamp = 0;  // microseconds, smoothed
    std::int64_t frameIndex = 0;
    int trailerCount = 0;
    int trailerHighBit = 0;
    float originX = 0.0f;
    float originY = 0.0f;
    std::array<float, 2> rowCentre{};  // the same value, stored twice
    float unitScale = 1.0f;
    float verticalScale = 1.0f;
    std::array<float, 3> exposureGainCode{};  // exposure x gain code, 0, the same again
    float exposure = 0.0f;                    // seconds
    float gain = 0.0f;
    float control5 = 1.0f;
    float control14 = 1.0f;
    float frameInterval = 0.0f;  // seconds, smoothed
    bool reversed = false;
    // Monotonic clock ticks when processing of the raw frame began; 0 when
    // the device does not record it.
    std::int64_t processingStart = 0;
};

using FrameRecord = SourceImage<std::uint8_t>;

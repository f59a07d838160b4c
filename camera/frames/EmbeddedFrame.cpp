#include "camera/frames/EmbeddedFrame.h"

#include <cstddef>

std::shared_ptr<FrameRecord> EmbeddedFrame::onRawFrame(std::int64_t timestamp, const std::uint8_t* data, int width,
                                                       int height, const FrameDeviceState& state) {
    std::shared_ptr<FrameRecord> record = begin();
    if (!record) return nullptr;

    record->processingStart = 0;
    record->alternateBuffer = false;

    if (!data || width <= 0 || height < 2 || width > kMaxSide || height > kMaxSide) {
        countFrame();
        return nullptr;
    }

    // A frame without a timestamp is dropped after it is counted; nothing
    // of it would be seen, so it is not smoothed either.
    if (timestamp == 0) {
        countFrame();
        return nullptr;
    }

    // Camera A and camera B are read straight from the raw lines: normally A
    // is the right halves and B the left halves, top line first; reversed, A
    // is the left halves and B the right halves, bottom line first.
    const bool reversed = isReversed(state);
    const int lines = height - 1;
    const std::ptrdiff_t lineBytes = 2 * static_cast<std::ptrdiff_t>(width);
    const std::uint8_t* firstLine = reversed ? data + (lines - 1) * lineBytes : data;
    const std::ptrdiff_t stride = reversed ? -lineBytes : lineBytes;
    const std::uint8_t* cameraA = reversed ? firstLine : firstLine + width;
    const std::uint8_t* cameraB = reversed ? firstLine + width : firstLine;

    record->firstImage.reshape(width, lines);
    record->secondImage.reshape(width, lines);
    smoothImage(kernels(), cameraA, stride, width, lines, record->firstImage.data(), kDarkOffset, m_scratch);
    smoothImage(kernels(), cameraB, stride, width, lines, record->secondImage.data(), kDarkOffset, m_scratch);
    countFrame();

    const float origin = (reversed ? -1.0f : 0.0f) - 320.0f;
    const float rowCentre = static_cast<float>(state.verticalDivisor - 1) * 0.5f - 240.0f;
    record->trailerCount = 2;
    record->trailerHighBit = 0;
    record->originX = origin;
    record->originY = origin;
    record->rowCentre = {rowCentre, rowCentre};
    record->unitScale = 1.0f;
    record->verticalScale = static_cast<float>(state.verticalDivisor);
    record->exposureGainCode = {1.0f, 0.0f, 1.0f};
    record->exposure = static_cast<float>(state.control1) * 0.000001f;
    record->gain = static_cast<float>(state.control13) * 0.0625f;
    record->control5 = 1.0f;
    record->control14 = 2.0f;
    return finish(std::move(record), timestamp, state);
}

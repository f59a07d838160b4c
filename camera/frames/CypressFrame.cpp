#include "camera/frames/CypressFrame.h"

#include <chrono>
#include <cstddef>

CypressTrailer decodeCypressTrailer(const std::uint8_t r[6]) {
    CypressTrailer t;
    t.a = (r[1] & 0x0F) * 16 + (r[2] & 0x0F);
    t.b = (r[3] >> 4) & 1;
    const int v = t.b < t.a ? t.a : t.b;
    t.highBit = v >> 7;
    t.count = v & 0x7F;
    t.exposure = (r[3] & 0x0F) * 32 + (r[4] & 0x1F);
    t.gainCode = r[5] & 0x1F;
    t.rowOffset = r[0] * 2;
    t.binningShift = r[5] >> 6;
    return t;
}

CypressRowGeometry cypressRowGeometry(int height, int rowOffset, int binningShift, bool reversed) {
    // The binning shift is a 2-bit field of the trailer.
    CypressRowGeometry g;
    const int rows = height > 0 ? 480 / height : 0;
    const float x = static_cast<float>(rows >> (binningShift & 3));
    const float adjust = x <= 1.0f ? (x - 1.0f) * 0.5f : (reversed ? -1.0f : x);
    g.verticalScale = x;
    // Whole rows: the half is taken in integers, as the controller counts.
    const int centreRow = ((480 >> (binningShift & 3)) + 480) / 2;
    g.rowCentre = static_cast<float>(rowOffset - centreRow) + adjust;
    return g;
}

std::shared_ptr<FrameRecord> CypressFrame::onRawFrame(std::int64_t timestamp, const std::uint8_t* data, int width,
                                                      int height, const FrameDeviceState& state) {
    std::shared_ptr<FrameRecord> record = begin();
    if (!record) return nullptr;

    record->processingStart = std::chrono::steady_clock::now().time_since_epoch().count();
    record->alternateBuffer = false;

    // A frame too small to hold its trailer (or absurdly large) is dropped
    // like any other unusable frame: counted, not passed on.
    if (!data || width <= 0 || height <= 0 || width > kMaxSide || height > kMaxSide ||
        static_cast<long>(width) * height < 6) {
        countFrame();
        return nullptr;
    }

    const bool reversed = isReversed(state);
    const std::size_t pixels = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    record->firstImage.reshape(width, height);
    record->secondImage.reshape(width, height);
    std::uint8_t* even = reversed ? record->secondImage.data() : record->firstImage.data();
    std::uint8_t* odd = reversed ? record->firstImage.data() : record->secondImage.data();
    kernels().deinterleave(data, even, odd, pixels);
    countFrame();

    const CypressTrailer trailer = decodeCypressTrailer(record->firstImage.data() + pixels - 6);

    if (trailer.count > 0 && state.control19 > 0) {
        // The last line carries the trailer, not image: it is left out.
        const std::size_t imageBytes = pixels - static_cast<std::size_t>(width);
        if (kernels().maxByte(record->firstImage.data(), imageBytes) < kDarkThreshold) {
            return nullptr;
        }
    }

    if (trailer.binningShift > 0) {
        m_lastRowOffset = trailer.rowOffset;
        m_lastBinningShift = trailer.binningShift;
    }
    const CypressRowGeometry geometry = cypressRowGeometry(height, trailer.rowOffset, trailer.binningShift, reversed);

    if (timestamp == 0) return nullptr;

    const float exposureGain = static_cast<float>(trailer.exposure * trailer.gainCode);
    record->trailerCount = trailer.count;
    record->trailerHighBit = trailer.highBit;
    record->originX = -320.0f;
    record->originY = -320.0f;
    record->rowCentre = {geometry.rowCentre, geometry.rowCentre};
    record->unitScale = 1.0f;
    record->verticalScale = geometry.verticalScale;
    record->exposureGainCode = {exposureGain, 0.0f, exposureGain};
    record->exposure = static_cast<float>(trailer.exposure) * 0.000001f;
    record->gain = static_cast<float>(trailer.gainCode) * 0.0625f;
    record->control5 = state.control5Request;
    record->control14 = state.control14 != 0 ? 2.001f : 1.0f;
    return finish(std::move(record), timestamp, state);
}

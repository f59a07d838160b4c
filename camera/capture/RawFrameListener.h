#pragma once

#include <cstdint>

#include "context/EventReceiver.h"

// Receivers of the capture layer's raw frames: h lines of 2 x w bytes each.
// The data is valid only during the call; the event comes on the thread that
// delivers frames.
class RawFrameListener : public virtual EventReceiver {
public:
    virtual void onRawFrame(std::int64_t timestampMicroseconds, const std::uint8_t* data, int width, int height) = 0;
};

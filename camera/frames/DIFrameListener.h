#pragma once

#include <memory>

#include "camera/frames/SourceImage.h"
#include "context/EventReceiver.h"

// Receivers of frame records. A device fires onFrame for every raw frame it
// turns into a record, on the thread that delivered the raw frame, and
// onDeviceGone from its destructor. The record comes as a weak pointer: a
// receiver that wants to keep it locks it, and the device's five-frame
// history keeps it alive meanwhile.
//
// The base is virtual so that one member may implement several listener
// interfaces and still be registered as one event receiver.
class DIFrameListener : public virtual EventReceiver {
public:
    virtual void onFrame(std::weak_ptr<FrameRecord> frame) = 0;
    virtual void onDeviceGone() = 0;
};

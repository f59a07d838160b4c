#pragma once

#include "context/EventReceiver.h"

// Receivers of the capture layer's state changes. onCameraOpened comes on the
// capture thread after the camera was opened and before it streams; a device
// identifies and configures its controller there.
class HardwareStateListener : public virtual EventReceiver {
public:
    virtual void onCameraOpened() {}
};

#pragma once

#include <string>

#include "context/EventReceiver.h"

// Receivers of the progress of an in-place firmware update of a running
// controller. Both events are fired on the thread that runs the update (the
// device's setup), to every receiver of the device's context.
class FirmwareStatusListener : public virtual EventReceiver {
public:
    // The update is about to start on the controller with this serial number.
    virtual void onFirmwareUpdateStarted(const std::string& serialNumber) = 0;

    // The update is over: the image was sent, or the update gave up.
    virtual void onFirmwareUpdateFinished() = 0;
};

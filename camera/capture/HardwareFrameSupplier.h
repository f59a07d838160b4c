#pragma once

#include "camera/calibration/Calibration.h"
#include "devices/core/IdentifiableDevice.h"

// A device that delivers calibrated stereo frames.
class HardwareFrameSupplier : public IdentifiableDevice {
public:
    // A copy of the calibration record in use.
    virtual Calibration currentCalibration() const = 0;

    // Reads the calibration block from device memory; throws
    // calibration_exception when the block fails its checks.
    virtual Calibration readCalibration() = 0;

    // True when the orientation control (16) is 1.
    virtual bool isReversed() const = 0;

    // Frames per second.
    virtual double frameRate() const = 0;
};

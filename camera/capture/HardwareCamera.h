#pragma once

// The capture layer's face towards the device objects.
class HardwareCamera {
public:
    virtual ~HardwareCamera() = default;

    // False once the capture layer has found that the device was lost; true
    // otherwise (also before the camera was ever opened).
    virtual bool isConnected() const = 0;
};

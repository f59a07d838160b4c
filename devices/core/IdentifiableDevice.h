#pragma once

#include <string>

#include "context/Object.h"

// The identity every device object shares, whether it runs a restore stage
// or is a controller in normal operation.
class IdentifiableDevice : public virtual Object {
public:
    // The serial number of a controller, or the fixed name of a boot-mode
    // device.
    virtual const std::string& serialNumber() const = 0;

    // The revision class code; 0 for the boot-mode devices.
    virtual int deviceClass() const = 0;
};

#pragma once

#include <string>

#include "devices/DeviceExceptions.h"
#include "devices/IdentifiableDevice.h"

// Not built yet: the device cannot be handled, so its object is never kept.
// Construction fails the way any unusable device fails, and the attach
// monitor drops the device's context.
class CyBootLoaderDevice : public IdentifiableDevice {
public:
    CyBootLoaderDevice() { throw device_exception(""); }

    const std::string& serialNumber() const override { return m_name; }
    int deviceClass() const override { return 0; }

private:
    std::string m_name;
};

#pragma once

#include <string>

// Revision class codes of the controllers (IdentifiableDevice::deviceClass).
enum DeviceClassCode : int {
    kDeviceClassUnknown = 0,
    kDeviceClassOldKit = 2,  // serial "OLDKIT"
    kDeviceClassMkt21 = 3,   // serial "MKT-21…" (but see kDeviceClassQk)
    kDeviceClassMkt36 = 4,
    kDeviceClassMkt48 = 5,
    kDeviceClassMkt57 = 6,
    kDeviceClassQk = 7,        // serial "QK…" or "MKT-21900…"
    kDeviceClassEmbedded = 8,  // the embedded controller
};

// The class of a Cypress controller from its serial number.
int deviceClassForSerial(const std::string& serial);

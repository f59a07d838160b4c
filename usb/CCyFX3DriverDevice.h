#pragma once
// The FX3 flavour of the driver device: vendor requests on endpoint zero.
// The image loaders of the restore stages live beside it, in files of
// their own.

#include "usb/CCyDriverDevice.h"

class CCyFX3DriverDevice : public CCyDriverDevice {
public:
    static constexpr int32_t kMaxVendorPiece = 65535;

    using CCyDriverDevice::CCyDriverDevice;

    // A vendor request to the device: value's low half is wValue, its high
    // half wIndex; longer requests go in pieces of at most 65 535 bytes with
    // the same wValue and wIndex. For device-to-host requests the bytes
    // received land in buffer. A piece that moves nothing ends the request
    // as a failure.
    bool SendVendorRequest(uint8_t* buffer, uint8_t request, uint32_t value, int32_t length, bool deviceToHost);
};

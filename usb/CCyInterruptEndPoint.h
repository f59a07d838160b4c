#pragma once
#include "usb/CCyUSBEndPoint.h"

// Interrupt endpoint: transfers as a bulk endpoint's.
class CCyInterruptEndPoint : public CCyUSBEndPoint {
public:
    using CCyUSBEndPoint::CCyUSBEndPoint;
    std::unique_ptr<DriverTransferBlock> StartTransfer(uint8_t* buffer, int32_t length,
                                                       DriverOverlapped* overlapped) override;
};

#pragma once
#include "usb/CCyUSBEndPoint.h"

// Bulk endpoint: direct or buffered transfers as its transfer mode says.
class CCyBulkEndPoint : public CCyUSBEndPoint {
public:
    using CCyUSBEndPoint::CCyUSBEndPoint;
    std::unique_ptr<DriverTransferBlock> StartTransfer(uint8_t* buffer, int32_t length,
                                                       DriverOverlapped* overlapped) override;
};

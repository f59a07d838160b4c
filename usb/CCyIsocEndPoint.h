#pragma once
#include "usb/CCyUSBEndPoint.h"

// Isochronous endpoint: the block carries a packet table of one 8-byte
// record per packet (u32 bytes moved, u32 USBD status), one packet per
// maximum packet size of data.
class CCyIsocEndPoint : public CCyUSBEndPoint {
public:
    using CCyUSBEndPoint::CCyUSBEndPoint;
    std::unique_ptr<DriverTransferBlock> StartDirectTransfer(uint8_t* buffer, int32_t length,
                                                             DriverOverlapped* overlapped) override;
    std::unique_ptr<DriverTransferBlock> StartBufferedTransfer(uint8_t* buffer, int32_t length,
                                                               DriverOverlapped* overlapped) override;
    std::unique_ptr<DriverTransferBlock> StartTransfer(uint8_t* buffer, int32_t length,
                                                       DriverOverlapped* overlapped) override;
};

#include "usb/CCyBulkEndPoint.h"

std::unique_ptr<DriverTransferBlock> CCyBulkEndPoint::StartTransfer(uint8_t* buffer, int32_t length,
                                                                    DriverOverlapped* overlapped) {
    return StartInTransferMode(buffer, length, overlapped);
}

#include "usb/CCyInterruptEndPoint.h"

std::unique_ptr<DriverTransferBlock> CCyInterruptEndPoint::StartTransfer(uint8_t* buffer, int32_t length,
                                                                         DriverOverlapped* overlapped) {
    return StartInTransferMode(buffer, length, overlapped);
}

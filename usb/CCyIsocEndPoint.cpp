#include "usb/CCyIsocEndPoint.h"

std::unique_ptr<DriverTransferBlock> CCyIsocEndPoint::StartDirectTransfer(uint8_t* buffer, int32_t length,
                                                                          DriverOverlapped* overlapped) {
    return StartIsochronous(buffer, length, overlapped, false);
}

std::unique_ptr<DriverTransferBlock> CCyIsocEndPoint::StartBufferedTransfer(uint8_t* buffer, int32_t length,
                                                                            DriverOverlapped* overlapped) {
    return StartIsochronous(buffer, length, overlapped, true);
}

std::unique_ptr<DriverTransferBlock> CCyIsocEndPoint::StartTransfer(uint8_t* buffer, int32_t length,
                                                                    DriverOverlapped* overlapped) {
    return StartInTransferMode(buffer, length, overlapped);
}

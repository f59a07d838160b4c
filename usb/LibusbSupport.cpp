#include "usb/LibusbSupport.h"

#include <cerrno>
#include <cstdio>

namespace tyvo::usb {

uint32_t errnoFromLibusb(int e) {
    switch (e) {
        case LIBUSB_SUCCESS: return 0;
        case LIBUSB_ERROR_IO: return EIO;
        case LIBUSB_ERROR_INVALID_PARAM: return EINVAL;
        case LIBUSB_ERROR_ACCESS: return EACCES;
        case LIBUSB_ERROR_NO_DEVICE: return ENODEV;
        case LIBUSB_ERROR_NOT_FOUND: return ENOENT;
        case LIBUSB_ERROR_BUSY: return EBUSY;
        case LIBUSB_ERROR_TIMEOUT: return ETIMEDOUT;
        case LIBUSB_ERROR_OVERFLOW: return EOVERFLOW;
        case LIBUSB_ERROR_PIPE: return EPIPE;
        case LIBUSB_ERROR_INTERRUPTED: return EINTR;
        case LIBUSB_ERROR_NO_MEM: return ENOMEM;
        case LIBUSB_ERROR_NOT_SUPPORTED: return ENOTSUP;
        default: return EIO;
    }
}

std::string portChainOf(libusb_device* device) {
    uint8_t ports[8];
    const int n = libusb_get_port_numbers(device, ports, sizeof ports);
    const std::string bus = std::to_string(libusb_get_bus_number(device));
    if (n <= 0) return "usb" + bus;
    std::string chain = bus + "-";
    for (int i = 0; i < n; ++i) {
        if (i) chain += '.';
        chain += std::to_string(ports[i]);
    }
    return chain;
}

std::string usbDevicePath(uint16_t vendorId, uint16_t productId, const std::string& portChain) {
    char ids[40];
    std::snprintf(ids, sizeof ids, "usb#vid_%04x&pid_%04x#", vendorId, productId);
    return ids + portChain;
}

}  // namespace tyvo::usb

#pragma once
// Small libusb helpers shared by the driver port and the bus enumerator.

#include <libusb.h>

#include <cstdint>
#include <string>

namespace tyvo::usb {

// errno value for a libusb error code (EACCES for LIBUSB_ERROR_ACCESS, ...).
uint32_t errnoFromLibusb(int libusbError);

// "<bus>-<port>.<port>..." as sysfs names the device; "usb<bus>" for a root hub.
std::string portChainOf(libusb_device* device);

// The device path of a USB device in the lower-case form the device
// monitor keys its contexts by: usb#vid_04b4&pid_00f3#<port chain>.
std::string usbDevicePath(uint16_t vendorId, uint16_t productId, const std::string& portChain);

}  // namespace tyvo::usb

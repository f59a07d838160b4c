#pragma once
// What the chip vendor's kernel driver did, in user space over libusb: it
// serves FX3 devices in boot-loader or boot-programmer mode, lists them in
// enumeration order, and opens one as a DriverHandle. Each port owns its
// own libusb context; nothing is global.

#include "usb/DriverHandle.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct DriverDeviceInfo {
    std::string path;  // usb#vid_04b4&pid_00f3#1-2
    uint8_t busNumber = 0;
    std::string portChain;  // 1-2, 1-2.3
    uint8_t address = 0;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
};

class UsbDriverPort {
public:
    static constexpr uint16_t kVendorId = 0x04B4;
    static constexpr uint16_t kBootLoaderProductId = 0x00F3;
    static constexpr uint16_t kBootProgrammerProductId = 0x4720;

    UsbDriverPort();
    ~UsbDriverPort();
    UsbDriverPort(const UsbDriverPort&) = delete;
    UsbDriverPort& operator=(const UsbDriverPort&) = delete;

    // 0 when libusb started; else the errno value of the failure.
    uint32_t initError() const { return m_initError; }

    // The present devices of the driver's interface class, in enumeration order.
    std::vector<DriverDeviceInfo> presentDevices(uint32_t& error) const;
    // Opens a device by its path; null with error set on failure (EACCES
    // when the device node may not be opened: a missing udev rule).
    std::unique_ptr<DriverHandle> open(const std::string& path, uint32_t& error) const;

    static bool servesDevice(uint16_t vendorId, uint16_t productId);

    struct Context;

private:
    std::shared_ptr<Context> m_context;
    uint32_t m_initError = 0;
};

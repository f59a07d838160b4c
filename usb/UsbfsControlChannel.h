#pragma once
// Endpoint-zero transfers with more data than libusb carries on Linux
// (4096 bytes), sent as asynchronous usbfs URBs on a file of their own.
// The kernel takes a control URB of up to 64 KiB; the driver's requests of
// up to 65 535 bytes therefore stay single transfers on the wire.

#include <linux/usbdevice_fs.h>

#include <cstdint>
#include <string>

namespace tyvo::usb {

class UsbfsControlChannel {
public:
    // Largest data stage libusb's Linux backend accepts in one control transfer.
    static constexpr uint32_t kLibusbControlLimit = 4096;

    explicit UsbfsControlChannel(std::string devNode);
    ~UsbfsControlChannel();
    UsbfsControlChannel(const UsbfsControlChannel&) = delete;
    UsbfsControlChannel& operator=(const UsbfsControlChannel&) = delete;

    // 0 or an errno value. The URB and its buffer must stay put until reaped.
    uint32_t submit(usbdevfs_urb& urb);
    // One finished URB, or null: error is 0 when none is finished yet,
    // ENODEV when the device is gone, or another errno value.
    usbdevfs_urb* reap(uint32_t& error);
    uint32_t discard(usbdevfs_urb& urb);

private:
    uint32_t openNode();

    std::string m_devNode;
    int m_fd = -1;
};

}  // namespace tyvo::usb

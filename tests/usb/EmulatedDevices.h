#pragma once
// Emulated devices for the transport tests: a vendor-request device that
// records and answers what it is sent, devices with unusual descriptor sets,
// and the fixture that puts them on the emulated bus.

#include "sim/EmulatedUsbBus.h"
#include "sim/UsbDeviceModel.h"
#include "usb/UsbDriverPort.h"

#include <functional>
#include <map>
#include <memory>

namespace tyvo::usbtest {

using sim::Bytes;

// A device of the driver's class (0x04B4/0x00F3 by default) answering vendor
// requests: host-to-device data is stored per (bRequest, wValue, wIndex);
// device-to-host requests get the stored bytes, or the pattern, truncated
// to the reply limit when one is set.
class VendorDevice : public sim::StandardUsbDevice {
public:
    explicit VendorDevice(sim::DeviceDescriptors descriptors);
    static std::shared_ptr<VendorDevice> fx3(uint16_t productId = UsbDriverPort::kBootLoaderProductId);

    // Device-to-host answers carry at most this many bytes.
    void limitReplies(std::size_t bytes);
    // Bulk and interrupt OUT data is kept; IN transfers echo the last OUT.
    Bytes lastEndpointData() const;

protected:
    sim::TransferReply vendorRequest(const sim::SetupPacket& setup, const Bytes& out) override;
    sim::TransferReply endpointTransfer(const sim::TransferRequest& request) override;

private:
    std::map<uint32_t, Bytes> m_stored;
    std::optional<std::size_t> m_replyLimit;
    Bytes m_endpointData;
};

// Descriptors of a device of the driver's class with the given
// configurations (raw sets) and optional BOS.
sim::DeviceDescriptors fx3Descriptors(uint16_t bcdUSB, uint8_t maxPacket0, std::vector<Bytes> configurations,
                                      std::optional<Bytes> bos = std::nullopt);

// A configuration with one vendor interface and the given endpoints.
Bytes configurationWith(std::vector<sim::EndpointLayout> endpoints, uint8_t value = 1);

}  // namespace tyvo::usbtest

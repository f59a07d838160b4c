#include "tests/usb/EmulatedDevices.h"

namespace tyvo::usbtest {

VendorDevice::VendorDevice(sim::DeviceDescriptors descriptors)
    : StandardUsbDevice("vendor test device", std::move(descriptors)) {}

std::shared_ptr<VendorDevice> VendorDevice::fx3(uint16_t productId) {
    auto d = fx3Descriptors(0x0200, 64, {configurationWith({})});
    d.device[10] = static_cast<uint8_t>(productId);
    d.device[11] = static_cast<uint8_t>(productId >> 8);
    return std::make_shared<VendorDevice>(std::move(d));
}

void VendorDevice::limitReplies(std::size_t bytes) {
    std::lock_guard lock(m_stateLock);
    m_replyLimit = bytes;
}

Bytes VendorDevice::lastEndpointData() const {
    std::lock_guard lock(m_stateLock);
    return m_endpointData;
}

sim::TransferReply VendorDevice::vendorRequest(const sim::SetupPacket& s, const Bytes& out) {
    const uint32_t key = static_cast<uint32_t>(s.bRequest) << 24 ^ static_cast<uint32_t>(s.wIndex) << 16 ^ s.wValue;
    if (!s.deviceToHost()) {
        m_stored[key] = out;
        return sim::TransferReply::accepted(out.size());
    }
    Bytes reply;
    if (auto it = m_stored.find(key); it != m_stored.end()) {
        reply = it->second;
    } else {
        reply.resize(s.wLength);
        for (std::size_t i = 0; i < reply.size(); ++i) reply[i] = static_cast<uint8_t>(s.bRequest + i);
    }
    if (reply.size() > s.wLength) reply.resize(s.wLength);
    if (m_replyLimit && reply.size() > *m_replyLimit) reply.resize(*m_replyLimit);
    return sim::TransferReply::data(std::move(reply));
}

sim::TransferReply VendorDevice::endpointTransfer(const sim::TransferRequest& request) {
    if (!request.deviceToHost()) {
        m_endpointData = request.out;
        return sim::TransferReply::accepted(request.out.size());
    }
    Bytes reply = m_endpointData;
    if (reply.size() > request.inLength) reply.resize(request.inLength);
    return sim::TransferReply::data(std::move(reply));
}

sim::DeviceDescriptors fx3Descriptors(uint16_t bcdUSB, uint8_t maxPacket0, std::vector<Bytes> configurations,
                                      std::optional<Bytes> bos) {
    sim::DeviceDescriptors d;
    d.speed = bcdUSB >= 0x0300 ? sim::UsbSpeed::Super : sim::UsbSpeed::High;
    sim::DeviceLayout layout;
    layout.bcdUSB = bcdUSB;
    layout.maxPacketSize0 = maxPacket0;
    layout.vendorId = UsbDriverPort::kVendorId;
    layout.productId = UsbDriverPort::kBootLoaderProductId;
    layout.iManufacturer = 1;
    layout.iProduct = 2;
    layout.iSerialNumber = 3;
    layout.numConfigurations = static_cast<uint8_t>(configurations.size());
    d.device = sim::buildDeviceDescriptor(layout);
    d.configurations = std::move(configurations);
    d.bos = std::move(bos);
    d.strings[1] = u"Cypress";
    d.strings[2] = u"Test FX3";
    d.strings[3] = u"0001";
    return d;
}

Bytes configurationWith(std::vector<sim::EndpointLayout> endpoints, uint8_t value) {
    sim::ConfigurationLayout config;
    config.value = value;
    sim::InterfaceLayout itf;
    itf.endpoints = std::move(endpoints);
    config.interfaces.push_back(itf);
    return sim::buildConfiguration(config);
}

}  // namespace tyvo::usbtest

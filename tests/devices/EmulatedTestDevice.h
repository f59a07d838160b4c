#pragma once

// A plain USB device for the emulated bus: the ids given, and one interface
// of the Video class or of a vendor class.

#include <cstdint>
#include <memory>

#include "sim/UsbDeviceModel.h"

namespace monitortest {

inline std::shared_ptr<tyvo::sim::StandardUsbDevice> MakeDevice(uint16_t vendorId, uint16_t productId, bool video) {
    namespace sim = tyvo::sim;
    sim::DeviceLayout device;
    device.vendorId = vendorId;
    device.productId = productId;
    sim::ConfigurationLayout configuration;
    sim::InterfaceLayout interface;
    interface.interfaceClass = video ? 0x0E : 0xFF;
    interface.interfaceSubClass = video ? 0x01 : 0x00;
    configuration.interfaces.push_back(interface);
    sim::DeviceDescriptors descriptors;
    descriptors.device = sim::buildDeviceDescriptor(device);
    descriptors.configurations.push_back(sim::buildConfiguration(configuration));
    return std::make_shared<sim::StandardUsbDevice>("test device", descriptors);
}

}  // namespace monitortest

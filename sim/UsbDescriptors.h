#pragma once
// Builders for the standard USB descriptors a device model presents, so that
// tests can describe ordinary and unusual devices (several configurations,
// isochronous endpoints, SuperSpeed companions, a BOS) field by field, and
// raw byte sets where a malformed table is wanted.

#include "sim/UsbTransfer.h"

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tyvo::sim {

using Bytes = std::vector<uint8_t>;

struct SuperSpeedCompanionLayout {
    uint8_t maxBurst = 0;
    uint8_t attributes = 0;
    uint16_t bytesPerInterval = 0;
};

struct EndpointLayout {
    uint8_t address = 0x81;
    uint8_t attributes = 2;        // transfer type in bits 1-0
    uint16_t maxPacketSize = 512;  // raw wMaxPacketSize, multiplier bits included
    uint8_t interval = 0;
    std::optional<SuperSpeedCompanionLayout> companion;
    Bytes extraAfter;  // class-specific descriptors after this endpoint
};

struct InterfaceLayout {
    uint8_t number = 0;
    uint8_t alternate = 0;
    uint8_t interfaceClass = 0xFF;
    uint8_t interfaceSubClass = 0;
    uint8_t interfaceProtocol = 0;
    uint8_t iInterface = 0;
    Bytes extraBefore;  // class-specific descriptors before the endpoints
    std::vector<EndpointLayout> endpoints;
};

struct ConfigurationLayout {
    uint8_t value = 1;
    uint8_t attributes = 0x80;
    uint8_t maxPower = 50;
    uint8_t iConfiguration = 0;
    std::vector<InterfaceLayout> interfaces;
};

struct DeviceLayout {
    uint16_t bcdUSB = 0x0200;
    uint8_t deviceClass = 0;
    uint8_t deviceSubClass = 0;
    uint8_t deviceProtocol = 0;
    uint8_t maxPacketSize0 = 64;  // exponent from bcdUSB 0x0300 on
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    uint16_t bcdDevice = 0x0100;
    uint8_t iManufacturer = 0;
    uint8_t iProduct = 0;
    uint8_t iSerialNumber = 0;
    uint8_t numConfigurations = 1;
};

struct BosLayout {
    std::optional<uint32_t> usb20ExtensionAttributes;
    struct SuperSpeed {
        uint8_t attributes = 0;
        uint16_t speedsSupported = 0x000E;
        uint8_t functionalitySupport = 1;
        uint8_t u1ExitLatency = 10;
        uint16_t u2ExitLatency = 2047;
    };
    std::optional<SuperSpeed> superSpeed;
    std::optional<std::array<uint8_t, 16>> containerId;
    std::vector<Bytes> extraCapabilities;  // raw capability descriptors, appended last
};

Bytes buildDeviceDescriptor(const DeviceLayout& layout);
Bytes buildConfiguration(const ConfigurationLayout& layout);
Bytes buildBos(const BosLayout& layout);
Bytes buildStringDescriptor(const std::u16string& text);
Bytes buildLanguageList(const std::vector<uint16_t>& languages);

// Everything a device answers to GET_DESCRIPTOR, and what the kernel shows in
// sysfs. Configuration sets are kept raw so that malformed ones can be served.
struct DeviceDescriptors {
    UsbSpeed speed = UsbSpeed::High;
    Bytes device;
    std::vector<Bytes> configurations;
    std::optional<Bytes> bos;
    std::vector<uint16_t> languages{0x0409};
    std::map<uint8_t, std::u16string> strings;
    // The kernel shows the configuration it selected; 0 = unconfigured.
    uint8_t activeConfiguration = 1;
    // What sysfs "descriptors" holds when it must differ from device +
    // configurations (the kernel drops what it cannot parse).
    std::optional<Bytes> sysfsDescriptors;

    uint16_t vendorId() const;
    uint16_t productId() const;
    Bytes sysfsBlob() const;
    // The answer to GET_DESCRIPTOR(type, index, language), before truncation
    // to wLength; nullopt when the device stalls.
    std::optional<Bytes> descriptor(uint8_t type, uint8_t index, uint16_t language) const;
};

}  // namespace tyvo::sim

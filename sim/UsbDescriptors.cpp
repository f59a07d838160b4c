#include "sim/UsbDescriptors.h"

#include <algorithm>
#include <set>

namespace tyvo::sim {
namespace {

void put16(Bytes& b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}

void put32(Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void append(Bytes& to, const Bytes& from) { to.insert(to.end(), from.begin(), from.end()); }

}  // namespace

Bytes buildDeviceDescriptor(const DeviceLayout& s) {
    Bytes b{18, 1};
    put16(b, s.bcdUSB);
    b.insert(b.end(), {s.deviceClass, s.deviceSubClass, s.deviceProtocol, s.maxPacketSize0});
    put16(b, s.vendorId);
    put16(b, s.productId);
    put16(b, s.bcdDevice);
    b.insert(b.end(), {s.iManufacturer, s.iProduct, s.iSerialNumber, s.numConfigurations});
    return b;
}

Bytes buildConfiguration(const ConfigurationLayout& s) {
    Bytes body;
    std::set<uint8_t> numbers;
    for (const auto& itf : s.interfaces) {
        numbers.insert(itf.number);
        body.insert(body.end(), {9, 4, itf.number, itf.alternate, static_cast<uint8_t>(itf.endpoints.size()),
                                 itf.interfaceClass, itf.interfaceSubClass, itf.interfaceProtocol, itf.iInterface});
        append(body, itf.extraBefore);
        for (const auto& ep : itf.endpoints) {
            body.insert(body.end(), {7, 5, ep.address, ep.attributes});
            put16(body, ep.maxPacketSize);
            body.push_back(ep.interval);
            if (ep.companion) {
                body.insert(body.end(), {6, 0x30, ep.companion->maxBurst, ep.companion->attributes});
                put16(body, ep.companion->bytesPerInterval);
            }
            append(body, ep.extraAfter);
        }
    }
    Bytes b{9, 2};
    put16(b, static_cast<uint16_t>(9 + body.size()));
    b.insert(b.end(), {static_cast<uint8_t>(numbers.size()), s.value, s.iConfiguration, s.attributes, s.maxPower});
    append(b, body);
    return b;
}

Bytes buildBos(const BosLayout& s) {
    Bytes caps;
    uint8_t count = 0;
    if (s.usb20ExtensionAttributes) {
        caps.insert(caps.end(), {7, 0x10, 2});
        put32(caps, *s.usb20ExtensionAttributes);
        ++count;
    }
    if (s.superSpeed) {
        caps.insert(caps.end(), {10, 0x10, 3, s.superSpeed->attributes});
        put16(caps, s.superSpeed->speedsSupported);
        caps.insert(caps.end(), {s.superSpeed->functionalitySupport, s.superSpeed->u1ExitLatency});
        put16(caps, s.superSpeed->u2ExitLatency);
        ++count;
    }
    if (s.containerId) {
        caps.insert(caps.end(), {20, 0x10, 4, 0});
        caps.insert(caps.end(), s.containerId->begin(), s.containerId->end());
        ++count;
    }
    for (const auto& extra : s.extraCapabilities) {
        append(caps, extra);
        ++count;
    }
    Bytes b{5, 0x0F};
    put16(b, static_cast<uint16_t>(5 + caps.size()));
    b.push_back(count);
    append(b, caps);
    return b;
}

Bytes buildStringDescriptor(const std::u16string& text) {
    // bLength is one byte: at most 126 code units fit.
    const std::size_t units = std::min<std::size_t>(text.size(), 126);
    Bytes b{static_cast<uint8_t>(2 + 2 * units), 3};
    for (std::size_t i = 0; i < units; ++i) put16(b, static_cast<uint16_t>(text[i]));
    return b;
}

Bytes buildLanguageList(const std::vector<uint16_t>& languages) {
    const std::size_t n = std::min<std::size_t>(languages.size(), 126);
    Bytes b{static_cast<uint8_t>(2 + 2 * n), 3};
    for (std::size_t i = 0; i < n; ++i) put16(b, languages[i]);
    return b;
}

uint16_t DeviceDescriptors::vendorId() const {
    return device.size() >= 12 ? static_cast<uint16_t>(device[8] | device[9] << 8) : 0;
}

uint16_t DeviceDescriptors::productId() const {
    return device.size() >= 12 ? static_cast<uint16_t>(device[10] | device[11] << 8) : 0;
}

Bytes DeviceDescriptors::sysfsBlob() const {
    if (sysfsDescriptors) return *sysfsDescriptors;
    Bytes b = device;
    for (const auto& c : configurations) append(b, c);
    return b;
}

std::optional<Bytes> DeviceDescriptors::descriptor(uint8_t type, uint8_t index, uint16_t language) const {
    switch (type) {
        case 1: return device;
        case 2:
            if (index < configurations.size()) return configurations[index];
            return std::nullopt;
        case 3: {
            if (index == 0) return buildLanguageList(languages);
            if (std::find(languages.begin(), languages.end(), language) == languages.end()) return std::nullopt;
            auto it = strings.find(index);
            if (it == strings.end()) return std::nullopt;
            return buildStringDescriptor(it->second);
        }
        case 0x0F: return bos;
        default: return std::nullopt;
    }
}

}  // namespace tyvo::sim

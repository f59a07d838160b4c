#pragma once
// The device capabilities of a USB 3 device's BOS descriptor: at most one
// each of container identifier, USB 2.0 extension and SuperSpeed USB.

#include <array>
#include <cstdint>
#include <memory>
#include <span>

struct CCyContainerIdCapability {
    uint8_t bLength = 0;
    uint8_t bDescriptorType = 0;
    uint8_t bDevCapabilityType = 0;
    uint8_t bReserved = 0;
    std::array<uint8_t, 16> containerId{};
};

struct CCyUsb20ExtensionCapability {
    uint8_t bLength = 0;
    uint8_t bDescriptorType = 0;
    uint8_t bDevCapabilityType = 0;
    uint32_t bmAttributes = 0;
};

struct CCySuperSpeedCapability {
    uint8_t bLength = 0;
    uint8_t bDescriptorType = 0;
    uint8_t bDevCapabilityType = 0;
    uint8_t bmAttributes = 0;
    uint16_t wSpeedsSupported = 0;
    uint8_t bFunctionalitySupport = 0;
    uint8_t bU1DevExitLat = 0;
    uint16_t wU2DevExitLat = 0;
};

class CCyCapabilitySet {
public:
    // Builds from a BOS descriptor set. A capability with bLength 0, one
    // running past wTotalLength (or the bytes), one too short for its
    // fields, or fewer capabilities than bNumDeviceCaps announces sets
    // malformed (cleared otherwise) and ends the walk; a capability of an
    // unknown type just ends
    // it. Null when the bytes do not hold a BOS descriptor.
    static std::unique_ptr<CCyCapabilitySet> Build(std::span<const uint8_t> bos, bool& malformed);

    const CCyContainerIdCapability* ContainerId() const { return m_containerId.get(); }
    const CCyUsb20ExtensionCapability* Usb20Extension() const { return m_usb20.get(); }
    const CCySuperSpeedCapability* SuperSpeed() const { return m_superSpeed.get(); }

    uint8_t DscLength() const { return m_bLength; }
    uint8_t DscType() const { return m_bDescriptorType; }
    uint16_t TotalLength() const { return m_wTotalLength; }
    uint8_t NumDeviceCaps() const { return m_bNumDeviceCaps; }

private:
    CCyCapabilitySet() = default;

    std::unique_ptr<CCyContainerIdCapability> m_containerId;
    std::unique_ptr<CCyUsb20ExtensionCapability> m_usb20;
    std::unique_ptr<CCySuperSpeedCapability> m_superSpeed;
    uint8_t m_bLength = 0;
    uint8_t m_bDescriptorType = 0;
    uint16_t m_wTotalLength = 0;
    uint8_t m_bNumDeviceCaps = 0;
};

#pragma once
// One interface descriptor of a configuration (each alternate setting is its
// own) with the endpoints that follow it. Slot 0 receives the device's
// control endpoint while the setting is current; slots 1..31 hold its own
// endpoints in descriptor order.

#include "usb/CCyUSBEndPoint.h"

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

enum class CCyDescriptorForm { Usb2, SuperSpeed };

class CCyInterfaceSetting {
public:
    static constexpr int kEndpointSlots = 32;
    // Descriptors of other types stepped over among the endpoints, at most.
    static constexpr int kMaxOtherDescriptors = 11;

    // Builds from the bytes starting at the interface descriptor and ending
    // with the configuration set. A descriptor with bLength 0, one running
    // past the end, a short endpoint descriptor, or a set that ends (or
    // reaches the next interface) before bNumEndpoints endpoints sets
    // malformed (cleared otherwise) and ends the walk. Returns null when not even the interface
    // descriptor is there.
    static std::unique_ptr<CCyInterfaceSetting> Build(std::span<const uint8_t> bytes, CCyDescriptorForm form,
                                                      DriverHandle* handle, bool& malformed);

    CCyUSBEndPoint* EndPoint(int slot) const { return slot >= 0 && slot < kEndpointSlots ? m_slots[slot] : nullptr; }
    // Number of endpoints found (slots 1..EndPointCount()).
    int EndPointCount() const { return static_cast<int>(m_owned.size()); }
    void SetControlEndPoint(CCyUSBEndPoint* control) { m_slots[0] = control; }

    uint8_t DscLength() const { return m_bLength; }
    uint8_t DscType() const { return m_bDescriptorType; }
    uint8_t InterfaceNumber() const { return m_bInterfaceNumber; }
    uint8_t AlternateSetting() const { return m_bAlternateSetting; }
    uint8_t NumEndpoints() const { return m_bNumEndpoints; }
    uint8_t InterfaceClass() const { return m_bInterfaceClass; }
    uint8_t InterfaceSubClass() const { return m_bInterfaceSubClass; }
    uint8_t InterfaceProtocol() const { return m_bInterfaceProtocol; }
    uint8_t InterfaceString() const { return m_iInterface; }
    uint8_t AltSettingCount() const { return m_altSettingCount; }
    void SetAltSettingCount(uint8_t n) { m_altSettingCount = n; }
    uint16_t TotalLength() const { return m_totalLength; }

    // Drops the driver handle from every endpoint (the device is closing).
    void DetachEndpoints();

private:
    CCyInterfaceSetting() = default;

    std::array<CCyUSBEndPoint*, kEndpointSlots> m_slots{};
    std::vector<std::unique_ptr<CCyUSBEndPoint>> m_owned;  // slots 1.. in order
    uint8_t m_bLength = 0;
    uint8_t m_bDescriptorType = 0;
    uint8_t m_bInterfaceNumber = 0;
    uint8_t m_bAlternateSetting = 0;
    uint8_t m_bNumEndpoints = 0;
    uint8_t m_bInterfaceClass = 0;
    uint8_t m_bInterfaceSubClass = 0;
    uint8_t m_bInterfaceProtocol = 0;
    uint8_t m_iInterface = 0;
    uint8_t m_altSettingCount = 0;
    uint16_t m_totalLength = 0;
};
